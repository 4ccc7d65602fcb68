#include "common/log_checks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

#include "support/log_capture.h"

namespace krvtest {

namespace {

std::mutex g_mu;
bool g_allow_all = false;
std::vector<std::string> g_allowed;

bool allowed(const std::string& text) {
    std::lock_guard<std::mutex> lk(g_mu);
    return g_allow_all || std::find(g_allowed.begin(), g_allowed.end(), text) != g_allowed.end();
}

class ErrorLineCheck : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override {
        take_error_lines();
        std::lock_guard<std::mutex> lk(g_mu);
        g_allow_all = false;
        g_allowed.clear();
    }
    void OnTestEnd(const ::testing::TestInfo&) override {
        for (const LogLine& l : take_error_lines())
            if (!allowed(l.text)) ADD_FAILURE() << "unexpected error line (" << l.tag << "): \"" << l.text << "\"";
    }
};

// Appended after the result printer: the end of a test reaches the
// listeners in reverse order, so the check runs while the test is still the
// current one and before its result is printed.
[[maybe_unused]] const bool g_installed = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new ErrorLineCheck);
    return true;
}();

}  // namespace

void allow_error_lines(std::vector<std::string> texts) {
    std::lock_guard<std::mutex> lk(g_mu);
    if (texts.empty())
        g_allow_all = true;
    else
        g_allowed.insert(g_allowed.end(), texts.begin(), texts.end());
}

}  // namespace krvtest
