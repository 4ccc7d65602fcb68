#include "support/log_capture.h"

#include <stdarg.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>

#include "support/platform_log.h"

namespace krvtest {
namespace {
// The library's threads may still log while the process exits, so the store
// is never destroyed: no exit handler frees it under a writer.
std::mutex g_mu;
std::condition_variable& g_cv = *new std::condition_variable;
std::vector<LogLine>& g_lines = *new std::vector<LogLine>;
std::vector<LogLine>& g_errors = *new std::vector<LogLine>;
constexpr int kErrorPriority = 6;  // ANDROID_LOG_ERROR
std::atomic<bool> g_capture{true};
bool g_track_errors = false;  // under g_mu
}  // namespace

size_t wait_logs(size_t n, int ms) {
    std::unique_lock<std::mutex> lk(g_mu);
    g_cv.wait_for(lk, std::chrono::milliseconds(ms), [&] { return g_lines.size() >= n; });
    return g_lines.size();
}

void set_capture(bool on) { g_capture = on; }

std::vector<LogLine> logs() {
    std::lock_guard<std::mutex> lk(g_mu);
    return g_lines;
}

void clear_logs() {
    std::lock_guard<std::mutex> lk(g_mu);
    g_lines.clear();
}

std::vector<LogLine> take_logs() {
    std::lock_guard<std::mutex> lk(g_mu);
    std::vector<LogLine> out;
    out.swap(g_lines);
    return out;
}

std::vector<LogLine> take_error_lines() {
    std::lock_guard<std::mutex> lk(g_mu);
    g_track_errors = true;
    std::vector<LogLine> out;
    out.swap(g_errors);
    return out;
}

std::vector<std::string> log_texts() {
    std::vector<std::string> out;
    for (auto& l : logs()) out.push_back(l.text);
    return out;
}

}  // namespace krvtest

extern "C" int __android_log_print(int prio, const char* tag, const char* fmt, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (!krvtest::g_capture) return 1;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long us = now.tv_sec * 1000000LL + now.tv_nsec / 1000;
    int tid = static_cast<int>(syscall(SYS_gettid));
    std::lock_guard<std::mutex> lk(krvtest::g_mu);
    krvtest::g_lines.push_back({prio, tag ? tag : "", buf, us, tid});
    if (prio >= krvtest::kErrorPriority && krvtest::g_track_errors)
        krvtest::g_errors.push_back(krvtest::g_lines.back());
    krvtest::g_cv.notify_all();
    return 1;
}
