// Reporting and waiting for the system test's guest program: one "ok" or
// "FAIL" line per check, counted for the closing line.
#pragma once

#include <stdint.h>

#include <functional>
#include <vector>

namespace krvsys {

bool check(bool ok, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
int checks_passed();
int checks_failed();

int64_t mono_ns();
// Sleeps the whole time, however often SIGIO cuts a sleep short.
void sleep_ms(int ms);
// Waits up to `ms` for `cond`, checking every 5 ms.
bool wait_until(int ms, const std::function<bool()>& cond);
// -1 for no values.
double median(std::vector<double> v);

}  // namespace krvsys
