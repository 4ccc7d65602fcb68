#include "log_capture.h"

#include <stdarg.h>
#include <stdio.h>

#include <atomic>

namespace krvtest {
namespace {
std::mutex g_mu;
std::vector<LogLine> g_lines;
std::atomic<bool> g_capture{true};
}  // namespace

void set_capture(bool on) { g_capture = on; }

std::vector<LogLine> logs() {
    std::lock_guard<std::mutex> lk(g_mu);
    return g_lines;
}

void clear_logs() {
    std::lock_guard<std::mutex> lk(g_mu);
    g_lines.clear();
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
    std::lock_guard<std::mutex> lk(krvtest::g_mu);
    krvtest::g_lines.push_back({prio, tag ? tag : "", buf});
    return 1;
}
