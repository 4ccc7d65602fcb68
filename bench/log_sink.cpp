#include "log_sink.h"

#include "support/platform_log.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <atomic>

namespace krvbench {
namespace {

std::atomic<bool> g_format{true};
std::atomic<const char*> g_watch{nullptr};
std::atomic<int64_t> g_watch_ns{0};

}  // namespace

int64_t now_ns(int clock) {
    struct timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void log_set_formatting(bool on) { g_format = on; }

void log_watch(const char* format) {
    g_watch_ns = 0;
    g_watch = format;
}

int64_t log_watch_time_ns() { return g_watch_ns.load(); }

}  // namespace krvbench

using namespace krvbench;

extern "C" int __android_log_print(int /*prio*/, const char* /*tag*/, const char* fmt, ...) {
    if (const char* w = g_watch.load(std::memory_order_relaxed)) {
        if (strcmp(w, fmt) == 0) {
            g_watch_ns = now_ns(CLOCK_MONOTONIC);
            g_watch = nullptr;
        }
    }
    if (!g_format.load(std::memory_order_relaxed)) return 1;
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    // Keeps the formatting from being optimised away.
    asm volatile("" : : "r"(buf), "r"(n) : "memory");
    return 1;
}
