// The navigation thread end to end: simulated touches (real SIGIO through an
// armed socket), classification and injected records on the input node.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "common/event_matchers.h"
#include "common/param_cases.h"
#include "common/test_wait.h"
#include "krv_nav.h"
#include "simhw/sim_hardware.h"
#include "support/log_capture.h"

using namespace krvtest;

namespace {

const Blob kStill{20, 50, 20, 20};

void set_state(int s) { __atomic_store_n(&gFingerprintVarNav.state, s, __ATOMIC_SEQ_CST); }

class NavigationThread : public ::testing::Test {
  protected:
    void SetUp() override {
        sensor_reset();
        clear_logs();
        ASSERT_EQ(krv_nav_core_init(), 0);
        ASSERT_TRUE(armed());
    }
    void TearDown() override {
        // Cancel as the control thread would: state, then a wake.
        krv_nav_core_start();  // out of a stop, back to waiting for a touch
        ASSERT_TRUE(eventually([] {
            set_state(STATE_CANCEL);
            touch();
            return !nav_thread();
        }));
        // The old thread releases its lock as its last act.
        ASSERT_TRUE(eventually([] {
            if (pthread_mutex_trylock(&gFingerprintVarNav.threadLock) != 0) return false;
            pthread_mutex_unlock(&gFingerprintVarNav.threadLock);
            return true;
        }));
    }
};

struct GestureCase {
    const char* name;
    FramePair pair;
    int fetch_delay_ms;
    int code;  // the result whose records the touch injects
};
KRV_CASE_SUITE(GesturesBecomeEvents, NavigationThread, GestureCase);

TEST_P(GesturesBecomeEvents, OneTouchOneStream) {
    const std::vector<krvrec::Record> want = krvrec::result_records(c.code);
    input_clear();
    clear_logs();
    sensor_set_frames(c.pair);
    sensor_set_fetch_delay_ms(c.fetch_delay_ms);
    ASSERT_EQ(touch(), 1);
    ASSERT_EQ(input_wait(want.size(), 5000), want.size());
    auto p = input_packets();
    EXPECT_THAT(events_of(p), ::testing::ElementsAreArray(EventsAre(want)));
    for (const auto& pk : p) EXPECT_EQ(pk.size, sizeof(struct input_event));
    // The handler's line is written before the wait's exit trace.
    auto lines = log_texts();
    auto wake = std::find(lines.begin(), lines.end(), "krv_nav_core_wakeNavThread");
    auto exit = std::find(lines.begin(), lines.end(), "-- krv_nav_core_waitSignal");
    EXPECT_TRUE(wake != lines.end() && wake < exit);
    EXPECT_TRUE(wait_line("Nav Running ..."));
    ASSERT_TRUE(armed());
    // Nothing more than the one gesture.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(input_packets().size(), want.size());
}

INSTANTIATE_TEST_SUITE_P(
    Touches, GesturesBecomeEvents,
    ::testing::Values(GestureCase{"swipe_up", make_pair({20, 10, 20, 20}, {20, 60, 20, 20}), 0, NAV_RESULT_UP},
                      GestureCase{"tap", make_pair(kStill, kStill), 200, NAV_RESULT_SINGLE_TAP},
                      GestureCase{"driver_flagged", make_pair(kStill, kStill, 1), 0, NAV_RESULT_DRIVER_FLAGGED}),
    krvtest::CaseName());

TEST_F(NavigationThread, StopDropsTheNextTouchAndStartResumes) {
    sensor_set_frames(make_pair(kStill, kStill, 1));
    krv_nav_core_stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(sensor_open_count(), 1);  // still waiting for a touch
    touch();
    EXPECT_TRUE(wait_line("thNavigationFunc Stop ..."));
    EXPECT_TRUE(eventually([] { return sensor_open_count() == 0; }));
    EXPECT_EQ(sensor_frame_requests(), 0);
    EXPECT_EQ(input_packets().size(), 0u);

    clear_logs();
    krv_nav_core_start();
    EXPECT_TRUE(wait_line("Nav Running ..."));
    ASSERT_TRUE(armed());
    EXPECT_EQ(sensor_frame_requests(), 0);
    touch();
    EXPECT_EQ(input_wait(4, 5000), 4u);
}

TEST_F(NavigationThread, StartWhileWaitingMakesOnePass) {
    sensor_set_frames(make_pair(kStill, kStill, 1));
    krv_nav_core_start();
    EXPECT_EQ(input_wait(4, 5000), 4u);
    EXPECT_EQ(sensor_frame_requests(), 1);
}

TEST_F(NavigationThread, InitOnALiveThreadKeepsItAndMakesItRun) {
    // A second init creates no thread. A running thread is left alone (no
    // wake, no pass); a stopped one, parked with the sensor unarmed, is woken
    // so that it waits for a touch again instead of reading run while asleep.
    struct Case {
        const char* name;
        bool stopped;
    } cases[] = {{"running", false}, {"stopped", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(armed());
        if (c.stopped) {
            krv_nav_core_stop();
            touch();
            ASSERT_TRUE(wait_line("thNavigationFunc Stop ..."));
            ASSERT_TRUE(eventually([] { return sensor_open_count() == 0; }));
        }
        const pthread_t before = gFingerprintVarNav.thread;
        const int requests = sensor_frame_requests();
        clear_logs();
        EXPECT_EQ(krv_nav_core_init(), 0);
        EXPECT_EQ(gFingerprintVarNav.thread, before);
        EXPECT_EQ(gFingerprintVarNav.state, STATE_RUN);
        if (c.stopped) {
            // The woken thread's own lines may come between init's.
            std::vector<std::string> init_lines;
            for (const std::string& t : log_texts())
                if (t.find("krv_nav_core_init") != std::string::npos || t == "krv_nav_core_wakeNavThread")
                    init_lines.push_back(t);
            EXPECT_EQ(init_lines, (std::vector<std::string>{"++ krv_nav_core_init", "krv_nav_core_wakeNavThread",
                                                            "--krv_nav_core_init"}));
            EXPECT_TRUE(wait_line("Nav Running ..."));
        } else {
            EXPECT_EQ(log_texts(), (std::vector<std::string>{"++ krv_nav_core_init", "--krv_nav_core_init"}));
        }
        EXPECT_TRUE(armed());
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(sensor_frame_requests(), requests);
        // A touch now is classified and injected.
        sensor_set_frames(make_pair(kStill, kStill, 1));
        input_clear();
        touch();
        EXPECT_EQ(input_wait(4, 5000), 4u);
        ASSERT_TRUE(armed());
    }
}

TEST_F(NavigationThread, CancelEndsAndInitCreatesANewThread) {
    set_state(STATE_CANCEL);
    touch();
    EXPECT_TRUE(wait_line("thNavigationFunc CANCEL ..."));
    EXPECT_TRUE(wait_line("--thNavigationFunc"));
    EXPECT_TRUE(eventually([] { return !nav_thread(); }));
    clear_logs();
    ASSERT_EQ(krv_nav_core_init(), 0);
    EXPECT_TRUE(wait_line("++thNavigationFunc"));
    EXPECT_TRUE(nav_thread());
    ASSERT_TRUE(armed());
}

TEST_F(NavigationThread, UnusableSensorNeitherSpinsNorInjects) {
    // Frames that would inject a key if a pass ran: with the sensor missing
    // or refusing to be armed nothing was waited for, so no pass may run.
    struct Case {
        const char* name;
        void (*fail)();
    } cases[] = {
        {"node missing", [] { sensor_set_present(false); }},
        {"arming refused", [] { fault_fail_next(Fault::kSensorFcntl, 1000000, EINVAL); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sensor_reset();
        ASSERT_TRUE(armed());
        clear_logs();
        c.fail();
        krv_nav_core_start();  // ends the current wait (light frames: a pass of nothing); the next waits fail
        ASSERT_TRUE(wait_line("can't open device"));
        sensor_set_frames(make_pair(kStill, kStill, 1));
        clear_logs();
        input_clear();
        const int requests = sensor_frame_requests();
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        // One attempt a second at most, not thousands; and no pass at all.
        const int failures = count_lines("can't open device");
        EXPECT_GE(failures, 1);
        EXPECT_LE(failures, 4);
        EXPECT_EQ(count_lines("cal_touch_area \n"), 0);
        EXPECT_EQ(sensor_frame_requests(), requests);
        EXPECT_EQ(input_packets().size(), 0u);
        // A wake still acts at once during the pause.
        sensor_reset();
        krv_nav_core_start();
        EXPECT_TRUE(armed(500));
    }
}

TEST_F(NavigationThread, UnknownStateWordIsAStop) {
    // The word is exported and writable: a host may store anything there.
    for (int32_t word : {3, -1, INT32_MIN}) {
        SCOPED_TRACE(word);
        clear_logs();
        set_state(word);
        touch();  // ends the touch wait; the thread reads the word
        EXPECT_TRUE(wait_line("thNavigationFunc Stop ..."));
        const double cpu0 = thread_cpu_ms(gFingerprintVarNav.thread);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        EXPECT_LT(thread_cpu_ms(gFingerprintVarNav.thread) - cpu0, 100.0);
        EXPECT_EQ(count_lines("thNavigationFunc Stop ..."), 1);
        EXPECT_EQ(sensor_frame_requests(), 0);
        krv_nav_core_start();
        ASSERT_TRUE(armed());
    }
}

TEST_F(NavigationThread, HostTimedWaitKeepsItsOwnDeadline) {
    // Whatever the thread is doing, a host's wait ends by its own deadline.
    struct Case {
        const char* name;
        bool stopped;
    } cases[] = {{"thread waits for a touch", false}, {"thread stopped", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.stopped) {
            krv_nav_core_stop();
            touch();
            ASSERT_TRUE(wait_line("thNavigationFunc Stop ..."));
            ASSERT_TRUE(eventually([] { return sensor_open_count() == 0; }));
        }
        std::atomic<int> rc{99};
        std::atomic<double> took{0};
        std::thread host([&] {
            auto t0 = std::chrono::steady_clock::now();
            rc = krv_nav_core_waitSignal(0, 1500);
            took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        });
        const bool ended = eventually([&] { return rc.load() != 99; }, 6000);
        if (!ended) krv_nav_core_start();  // lets the host's wait go, so that it can be joined
        host.join();
        EXPECT_TRUE(ended) << "still waiting after 6 s";
        EXPECT_EQ(rc.load(), -2);
        EXPECT_GE(took.load(), 1.4);
        EXPECT_LE(took.load(), 4.0);
        krv_nav_core_start();
        ASSERT_TRUE(armed());
    }
}

TEST_F(NavigationThread, OneWakeEndsEveryWait) {
    // A host waits beside the thread; one explicit wake ends both waits.
    sensor_set_frames(make_pair(kStill, kStill, 1));
    std::atomic<int> rc{99};
    std::thread host([&] { rc = krv_nav_core_waitSignal(0, 5000); });
    const bool both_armed = eventually([] { return sensor_armed_count() == 2; });
    auto t0 = std::chrono::steady_clock::now();
    krv_nav_core_start();
    host.join();
    EXPECT_TRUE(both_armed);
    EXPECT_EQ(rc.load(), 0);
    // Woken, not timed out; and the thread made its pass.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2500));
    EXPECT_EQ(input_wait(4, 5000), 4u);
    EXPECT_EQ(sensor_frame_requests(), 1);
}

TEST_F(NavigationThread, IdleThreadUsesNoCpu) {
    // The thread's CPU time over a second of waiting stays near zero.
    clockid_t cid;
    ASSERT_EQ(pthread_getcpuclockid(gFingerprintVarNav.thread, &cid), 0);
    struct timespec a, b;
    clock_gettime(cid, &a);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    clock_gettime(cid, &b);
    double used_ms = (b.tv_sec - a.tv_sec) * 1e3 + (b.tv_nsec - a.tv_nsec) / 1e6;
    EXPECT_LT(used_ms, 20.0);
}

TEST_F(NavigationThread, RacingWakesNeverLoseOne) {
    // Stops, starts and touches race the thread's wait; a lost wake leaves
    // the thread asleep in the stopped state and fails the final check.
    sensor_set_frames(make_pair(kStill, kStill));  // no movement, no tap: result 0
    for (int i = 0; i < 2000; ++i) {
        switch (i % 4) {
            case 0:
                krv_nav_core_stop();
                break;
            case 1:
                touch();
                break;
            case 2:
                krv_nav_core_start();
                break;
            case 3:
                touch();
                break;
        }
    }
    // The wakes still under way end in a pass or two; a touch while a pass
    // runs finds the sensor closed, so the last touch waits until they are
    // done.
    krv_nav_core_start();
    EXPECT_TRUE(wait_quiet());
    EXPECT_TRUE(armed());
    clear_logs();
    sensor_set_frames(make_pair(kStill, kStill, 1));
    input_clear();
    ASSERT_EQ(touch(), 1);
    EXPECT_EQ(input_wait(4, 5000), 4u);
}

// ------------------------------------------------ the timed wait primitive

class WaitSignal : public ::testing::Test {
  protected:
    void SetUp() override {
        sensor_reset();
        clear_logs();
    }
};

double seconds_of(const std::function<int()>& f, int* rc) {
    auto t0 = std::chrono::steady_clock::now();
    *rc = f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

TEST_F(WaitSignal, TimeLimits) {
    struct Case {
        int sec, ms;
        double min_s, max_s;
    } cases[] = {{0, 1500, 1.4, 4.0}, {2, 0, 1.9, 5.0}, {0, -500, 0.0, 1.0}, {-1, 2500, 1.4, 4.0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.sec << "s " << c.ms << "ms");
        clear_logs();
        int rc;
        double s = seconds_of([&] { return krv_nav_core_waitSignal(c.sec, c.ms); }, &rc);
        EXPECT_EQ(rc, -2);
        EXPECT_GE(s, c.min_s);
        EXPECT_LE(s, c.max_s);
        EXPECT_EQ(count_lines("timeout"), 1);
        EXPECT_EQ(log_texts().back(), "-- krv_nav_core_waitSignal");
    }
}

TEST_F(WaitSignal, FarDeadlinesWaitQuietlyUntilAWake) {
    // Deadlines past what a 32-bit time_t holds are clamped: the wait
    // neither fails at once nor spins.
    struct Case {
        int sec, ms;
    } cases[] = {{INT_MAX, 0}, {INT_MAX, INT_MAX}, {254, INT_MAX}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.sec << "s " << c.ms << "ms");
        std::atomic<int> rc{99};
        std::thread waiter([&] { rc = krv_nav_core_waitSignal(c.sec, c.ms); });
        EXPECT_TRUE(armed());
        const double cpu0 = thread_cpu_ms(waiter.native_handle());
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        EXPECT_LT(thread_cpu_ms(waiter.native_handle()) - cpu0, 100.0);
        EXPECT_EQ(rc.load(), 99);
        krv_nav_core_start();
        waiter.join();
        EXPECT_EQ(rc.load(), 0);
    }
}

TEST_F(WaitSignal, TouchAndExplicitWakeEndTheUnlimitedWait) {
    for (bool by_touch : {true, false}) {
        SCOPED_TRACE(by_touch ? "touch" : "explicit wake");
        std::atomic<int> rc{99};
        std::thread waiter([&] { rc = krv_nav_core_waitSignal(255, 0); });
        ASSERT_TRUE(armed());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(rc.load(), 99);
        if (by_touch)
            touch();
        else
            krv_nav_core_start();
        waiter.join();
        EXPECT_EQ(rc.load(), 0);
        EXPECT_EQ(sensor_open_count(), 0);
    }
}

TEST_F(WaitSignal, SensorUnusable) {
    struct Case {
        const char* name;
        void (*arrange)();
    } cases[] = {
        {"node missing", [] { sensor_set_present(false); }},
        {"arming refused", [] { fault_fail_next(Fault::kSensorFcntl, 1, EINVAL); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sensor_reset();
        clear_logs();
        c.arrange();
        EXPECT_EQ(krv_nav_core_waitSignal(0, 500), -1);
        EXPECT_EQ(log_texts(), (std::vector<std::string>{"++ krv_nav_core_waitSignal", "can't open device"}));
        EXPECT_EQ(sensor_open_count(), 0);
        EXPECT_EQ(pthread_mutex_trylock(&gFingerprintVarNav.waitLock), 0);
        pthread_mutex_unlock(&gFingerprintVarNav.waitLock);
    }
}

TEST(ControlBlockLayout, Offsets) {
    EXPECT_EQ(offsetof(ThreadControlBlock, state), 16u);
    EXPECT_EQ(sizeof(ThreadParamBlock), 24u);
    EXPECT_EQ(sizeof(gFingerprintVarNav.state), 4u);
}

}  // namespace
