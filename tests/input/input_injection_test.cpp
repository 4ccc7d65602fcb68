// The event scripts on a descriptor the caller opened: direction flags,
// per-step timestamps, traces and write failures. The records are read back
// from the other end of a packet socket, one packet per write.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/input.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/packet_channel.h"
#include "common/param_cases.h"
#include "krv_nav.h"
#include "support/log_capture.h"

using krvtest::take_logs;

namespace {

// Every packet written so far; each must be one whole record.
struct Channel : krvtest::PacketChannel {
    std::vector<input_event> drain() {
        std::vector<input_event> out;
        for (const auto& p : packets()) {
            input_event ev{};
            EXPECT_EQ(p.size(), sizeof ev);
            memcpy(&ev, p.data(), std::min(p.size(), sizeof ev));
            out.push_back(ev);
        }
        return out;
    }
};

long long usec(const input_event& e) { return e.input_event_sec * 1000000LL + e.input_event_usec; }

struct Values {
    std::vector<uint16_t> type, code;
    std::vector<int32_t> value;
};
Values values_of(const std::vector<input_event>& evs) {
    Values v;
    for (const auto& e : evs) {
        v.type.push_back(e.type);
        v.code.push_back(e.code);
        v.value.push_back(e.value);
    }
    return v;
}

using Script = void (*)(int, int);

struct ScriptCase {
    const char* name;
    Script run;
};
const ScriptCase kScripts[] = {{"simulate_Touch_X", simulate_Touch_X}, {"simulate_Touch_Y", simulate_Touch_Y}};

KRV_CASE_SUITE(EachScript, ::testing::Test, ScriptCase);

// Any non-zero direction flag moves the same way as 1.
TEST_P(EachScript, NonZeroFlagsMoveLikeOne) {
    Channel ref;
    ASSERT_TRUE(ref.ok());
    c.run(ref.writer(), 1);
    const Values want = values_of(ref.drain());
    ASSERT_EQ(want.type.size(), 68u);
    for (int flag : {2, -1, 0x10000}) {
        Channel ch;
        ASSERT_TRUE(ch.ok());
        c.run(ch.writer(), flag);
        const Values got = values_of(ch.drain());
        EXPECT_EQ(got.type, want.type) << flag;
        EXPECT_EQ(got.code, want.code) << flag;
        EXPECT_EQ(got.value, want.value) << flag;
    }
    take_logs();
}

// Sends SIGIO to one thread, about every 200 us, for as long as it lives:
// the navigation library's handler runs there (SA_RESTART does not restart
// a sleep, so an interruptible pause would end early at each one).
class SignalStorm {
  public:
    explicit SignalStorm(pthread_t target) : target_(target) {
        struct sigaction sa = {};
        sa.sa_handler = [](int) {};
        sa.sa_flags = SA_RESTART;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGIO, &sa, &old_);
        thread_ = std::thread([this] {
            while (!done_.load()) {
                pthread_kill(target_, SIGIO);
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
    }
    ~SignalStorm() {
        done_ = true;
        thread_.join();
        sigaction(SIGIO, &old_, nullptr);
    }

  private:
    pthread_t target_;
    struct sigaction old_ = {};
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// Each step's report is stamped anew after the pause of the step before;
// the positions and the lift-off carry earlier reports' times. Signals
// landing on the writing thread do not shorten the pauses.
TEST_P(EachScript, StepReportsAreFreshAndPaced) {
    for (bool storm : {false, true}) {
        SCOPED_TRACE(storm ? "SIGIO storm on the writing thread" : "quiet");
        Channel ch;
        ASSERT_TRUE(ch.ok());
        {
            std::optional<SignalStorm> signals;
            if (storm) signals.emplace(pthread_self());
            c.run(ch.writer(), 0);
        }
        auto p = ch.drain();
        ASSERT_EQ(p.size(), 68u);
        for (int i = 0; i < 20; ++i) {
            const auto& report = p[7 + 3 * i];
            const auto& before = p[4 + 3 * i];
            EXPECT_EQ(report.type, EV_SYN);
            EXPECT_GE(usec(report), usec(before)) << i;
            // Steps 1 to 19 come after a pause of at least 5 ms.
            if (i > 0) {
                EXPECT_GE(usec(report) - usec(before), 5000) << i;
            }
        }
        // The lift-off report follows the last step's pause.
        EXPECT_GE(usec(p[67]) - usec(p[64]), 5000);
    }
    take_logs();
}

INSTANTIATE_TEST_SUITE_P(InputInjection, EachScript, ::testing::ValuesIn(kScripts), krvtest::CaseName());

struct TraceCase {
    const char* name;
    Script run;
    int flag;
    const char* routine;
    int pos_lines;
};
KRV_CASE_SUITE(ScriptTraces, ::testing::Test, TraceCase);

// Traces bracket each script; only the leftward horizontal swipe logs its
// steps; all lines are debug lines of "nav_core".
TEST_P(ScriptTraces, BracketAndSteps) {
    Channel ch;
    ASSERT_TRUE(ch.ok());
    take_logs();
    c.run(ch.writer(), c.flag);
    auto lines = take_logs();
    std::vector<std::string> want = {std::string("++ ") + c.routine};
    for (int i = 0; i < c.pos_lines; ++i) want.push_back(std::string("-pos ") + c.routine);
    want.push_back(std::string("-- ") + c.routine);
    std::vector<std::string> got;
    for (const auto& l : lines) {
        got.push_back(l.text);
        EXPECT_EQ(l.prio, 3);  // debug
        EXPECT_EQ(l.tag, "nav_core");
    }
    EXPECT_EQ(got, want);
}

INSTANTIATE_TEST_SUITE_P(InputInjection, ScriptTraces,
                         ::testing::Values(TraceCase{"x_left", simulate_Touch_X, 0, "simulate_Touch_X", 20},
                                           TraceCase{"x_right", simulate_Touch_X, 1, "simulate_Touch_X", 0},
                                           TraceCase{"y_up", simulate_Touch_Y, 0, "simulate_Touch_Y", 0},
                                           TraceCase{"y_down", simulate_Touch_Y, 1, "simulate_Touch_Y", 0}),
                         krvtest::CaseName());

// A key writes no trace of its own.
TEST(InputInjection, KeyHasNoTrace) {
    Channel ch;
    ASSERT_TRUE(ch.ok());
    take_logs();
    simulate_key(ch.writer(), KEY_BACK);
    EXPECT_EQ(ch.drain().size(), 4u);
    EXPECT_TRUE(take_logs().empty());
}

struct RefusedCase {
    const char* name;
    void (*run)(int fd);
    int records;
    bool traced;
};
KRV_CASE_SUITE(RefusedWrites, ::testing::Test, RefusedCase);

// A descriptor that refuses writes: every record is logged as a write error
// with the routine's name and the result, and the routine carries on.
TEST_P(RefusedWrites, AreLoggedAndSkipped) {
    int fd = open("/dev/null", O_RDONLY);
    ASSERT_GE(fd, 0);
    take_logs();
    c.run(fd);
    close(fd);
    auto lines = take_logs();
    const std::string err = std::string("-- ") + c.name + " write error -1";
    int errors = 0;
    for (const auto& l : lines) errors += l.text == err;
    EXPECT_EQ(errors, c.records);
    ASSERT_FALSE(lines.empty());
    if (c.traced) {
        EXPECT_EQ(lines.front().text, std::string("++ ") + c.name);
        EXPECT_EQ(lines.back().text, std::string("-- ") + c.name);
        EXPECT_EQ(lines.size(), static_cast<size_t>(c.records + 2));
    } else {
        EXPECT_EQ(lines.size(), static_cast<size_t>(c.records));
    }
}

INSTANTIATE_TEST_SUITE_P(
    InputInjection, RefusedWrites,
    ::testing::Values(RefusedCase{"simulate_key", [](int fd) { simulate_key(fd, KEY_HOMEPAGE); }, 4, false},
                      RefusedCase{"simulate_Touch_X", [](int fd) { simulate_Touch_X(fd, 1); }, 68, true},
                      RefusedCase{"simulate_Touch_Y", [](int fd) { simulate_Touch_Y(fd, 1); }, 68, true}),
    krvtest::CaseName());

}  // namespace
