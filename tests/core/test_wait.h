// Waiting helpers with generous bounds for thread tests.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "support/log_capture.h"

namespace krvtest {

inline bool eventually(const std::function<bool()>& cond, int ms = 5000) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return cond();
}

inline int count_lines(const std::string& text) {
    auto t = log_texts();
    return static_cast<int>(std::count(t.begin(), t.end(), text));
}

inline bool wait_line(const std::string& text, int times = 1, int ms = 5000) {
    return eventually([&] { return count_lines(text) >= times; }, ms);
}

}  // namespace krvtest
