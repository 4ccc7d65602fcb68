// What the simulator learns about the library from outside: its log lines
// (through the log capture) and the state of the simulated sensor.
#pragma once

#include <stddef.h>

#include <functional>
#include <string>

#include "support/log_capture.h"

namespace krvsim {

long long mono_us();
void sleep_ms(long ms);

// A log text without its line ends.
std::string bare(const std::string& text);

// The navigation thread has settled after a touch: it waits again, or it
// has stopped or ended.
bool is_settle_line(const krvtest::LogLine& l);

// Index of the first line at or after `from` that matches, waiting up to
// `ms`; -1 when none came.
long find_line(size_t from, const std::function<bool(const krvtest::LogLine&)>& pred, int ms);
long find_text(size_t from, const std::string& text, int ms);

// A worker runs when its entry trace ("++name") has been logged more often
// than its exit trace.
bool worker_alive(const char* name);

}  // namespace krvsim
