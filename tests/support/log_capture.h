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
};

std::vector<LogLine> logs();
void clear_logs();
// Texts of the captured lines, in order.
std::vector<std::string> log_texts();
// Stops (false) or resumes (true) recording; lines are still formatted.
void set_capture(bool on);

}  // namespace krvtest
