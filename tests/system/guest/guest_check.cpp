#include "guest_check.h"

#include <stdarg.h>
#include <stdio.h>
#include <time.h>

#include <algorithm>

namespace krvsys {

namespace {
int g_passed = 0, g_failed = 0;
}  // namespace

bool check(bool ok, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    printf("%s ", ok ? "ok  " : "FAIL");
    vprintf(fmt, ap);
    printf("\n");
    va_end(ap);
    fflush(stdout);
    (ok ? g_passed : g_failed)++;
    return ok;
}

int64_t mono_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void sleep_ms(int ms) {
    int64_t until = mono_ns() + int64_t(ms) * 1000000;
    for (int64_t now = mono_ns(); now < until; now = mono_ns()) {
        struct timespec ts = {time_t((until - now) / 1000000000), long((until - now) % 1000000000)};
        nanosleep(&ts, nullptr);
    }
}

bool wait_until(int ms, const std::function<bool()>& cond) {
    int64_t until = mono_ns() + int64_t(ms) * 1000000;
    for (;;) {
        if (cond()) return true;
        if (mono_ns() > until) return false;
        sleep_ms(5);
    }
}

int checks_passed() { return g_passed; }
int checks_failed() { return g_failed; }

double median(std::vector<double> v) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace krvsys
