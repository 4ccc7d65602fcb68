// Captures the library's log lines: the test binary defines
// __android_log_print, which takes precedence over liblog's.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace krvtest {

struct LogLine {
    int prio;
    std::string tag;
    std::string text;
    long long mono_us = 0;  // CLOCK_MONOTONIC time of the call
    int tid = 0;            // calling thread
};

std::vector<LogLine> logs();
void clear_logs();
// The captured lines, which are then cleared.
std::vector<LogLine> take_logs();
// Texts of the captured lines, in order.
std::vector<std::string> log_texts();
// Stops (false) or resumes (true) recording; lines are still formatted.
void set_capture(bool on);
// Waits up to `ms` until at least n lines are recorded; returns the count.
size_t wait_logs(size_t n, int ms);
// Error-priority lines (6 and above) recorded since the last call, kept
// apart from the lines above, which tests clear as they go. They are kept
// only from the first call on (a program that never asks keeps none).
std::vector<LogLine> take_error_lines();

}  // namespace krvtest
