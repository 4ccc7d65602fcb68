// Key and swipe event streams, record for record, through the simulated
// input node (every write arrives as one packet).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string.h>

#include <chrono>
#include <string>
#include <vector>

#include "common/event_matchers.h"
#include "common/param_cases.h"
#include "common/test_wait.h"
#include "krv_nav.h"
#include "simhw/sim_hardware.h"
#include "support/log_capture.h"
#ifdef KRV_HAVE_DECODER
#include "support/event_decoder.h"
#endif

using namespace krvtest;

namespace {

// The records of a finished call; for none, a short look that nothing
// arrives late.
std::vector<Packet> settle(size_t n) {
    input_wait(n ? n : 1, n ? 3000 : 50);
    return input_packets();
}

bool zero_time(const input_event& e) { return e.input_event_sec == 0 && e.input_event_usec == 0; }
bool same_time(const input_event& a, const input_event& b) {
    return a.input_event_sec == b.input_event_sec && a.input_event_usec == b.input_event_usec;
}
long long usec(const input_event& e) { return e.input_event_sec * 1000000LL + e.input_event_usec; }

class EventScripts : public ::testing::Test {
  protected:
    void SetUp() override {
        sensor_reset();
        clear_logs();
    }
    // The number of records a finished call wrote (waiting for `expected`),
    // after checking that it returned 0.
    static size_t records_after(int rc, size_t expected) {
        EXPECT_EQ(rc, 0);
        return settle(expected).size();
    }
};

struct KeyCase {
    const char* name;
    int result;
    int key;  // 0: none
};
KRV_CASE_SUITE(KeysForResultCodes, EventScripts, KeyCase);

TEST_P(KeysForResultCodes, PressAndReleaseOrNothing) {
    EXPECT_EQ(krv_nav_reportKey2(c.result), 0);
    auto p = settle(c.key ? 4 : 0);
    EXPECT_EQ(input_opens(), 1);
    EXPECT_EQ(input_closes(), 1);
    EXPECT_EQ(log_texts(), (std::vector<std::string>{"++ krv_nav_reportKey2", "-- krv_nav_reportKey2"}));
    if (!c.key) {
        EXPECT_THAT(p, ::testing::IsEmpty());
        return;
    }
    ASSERT_THAT(events_of(p), ::testing::ElementsAreArray(EventsAre(krvrec::key_records(uint16_t(c.key)))));
    for (const auto& pk : p) {
        EXPECT_EQ(pk.size, sizeof(input_event));
        EXPECT_FALSE(zero_time(pk.ev));
    }
    EXPECT_TRUE(same_time(p[0].ev, p[1].ev));
    EXPECT_TRUE(same_time(p[2].ev, p[3].ev));
    EXPECT_LE(usec(p[0].ev), usec(p[2].ev));
}

INSTANTIATE_TEST_SUITE_P(Codes, KeysForResultCodes,
                         ::testing::Values(KeyCase{"flagged_home", 7, KEY_HOMEPAGE}, KeyCase{"tap_back", 5, KEY_BACK},
                                           KeyCase{"up_left", 3, KEY_LEFT}, KeyCase{"down_right", 4, KEY_RIGHT},
                                           KeyCase{"none", 0, 0}, KeyCase{"left", 1, 0}, KeyCase{"right", 2, 0},
                                           KeyCase{"six", 6, 0}, KeyCase{"eight", 8, 0}, KeyCase{"minus_one", -1, 0}),
                         krvtest::CaseName());

TEST_F(EventScripts, HomeKeyAndWideKeyCodes) {
    EXPECT_EQ(krv_pw_reportKey2(), 0);
    auto p = settle(4);
    ASSERT_EQ(p.size(), 4u);
    EXPECT_EQ(p[0].ev.code, KEY_HOMEPAGE);
    EXPECT_EQ(count_lines("krv_pw_reportKey2 eventDevNode: /dev/input/event2"), 1);
    // Only the low 16 bits of a key code are written.
    input_clear();
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
    simulate_key(sv[0], 0x10000 + KEY_BACK);
    input_event ev;
    ASSERT_EQ(recv(sv[1], &ev, sizeof ev, 0), (ssize_t)sizeof ev);
    EXPECT_EQ(ev.code, KEY_BACK);
    close(sv[0]);
    close(sv[1]);
}

struct SwipeCase {
    const char* name;
    krvrec::Swipe swipe;
    bool horizontal;
    int pos_lines;  // "-pos" trace lines
};
KRV_CASE_SUITE(FourSwipes, EventScripts, SwipeCase);

TEST_P(FourSwipes, RecordsAndTimes) {
    EXPECT_EQ(krv_nav_simulateTouch(c.name), 0);
    auto p = settle(krvrec::kSwipeRecords);
    ASSERT_THAT(events_of(p), ::testing::ElementsAreArray(EventsAre(krvrec::swipe_records(c.swipe))));
    for (const auto& pk : p) EXPECT_EQ(pk.size, sizeof(input_event));
    // Touch-down: time zero until the first report.
    for (int i = 0; i < 5; ++i) EXPECT_EQ(zero_time(p[i].ev), i < 4) << i;
    // Positions carry the previous report's time.
    for (int i = 0; i < krvrec::kSwipeSteps; ++i) {
        EXPECT_TRUE(same_time(p[5 + 3 * i].ev, p[4 + 3 * i].ev)) << i;
        EXPECT_TRUE(same_time(p[6 + 3 * i].ev, p[4 + 3 * i].ev)) << i;
    }
    // Lift-off keeps the time of the last step's report.
    EXPECT_TRUE(same_time(p[65].ev, p[64].ev));
    EXPECT_TRUE(same_time(p[66].ev, p[64].ev));
    EXPECT_EQ(count_lines(c.horizontal ? "-pos simulate_Touch_X" : "-pos simulate_Touch_Y"), c.pos_lines);
}

INSTANTIATE_TEST_SUITE_P(Names, FourSwipes,
                         ::testing::Values(SwipeCase{"left", krvrec::Swipe::kLeft, true, 20},
                                           SwipeCase{"right", krvrec::Swipe::kRight, true, 0},
                                           SwipeCase{"up", krvrec::Swipe::kUp, false, 0},
                                           SwipeCase{"down", krvrec::Swipe::kDown, false, 0}),
                         krvtest::CaseName());

struct PrefixCase {
    const char* name;
    const char* swipe;  // the name handed to the library
    size_t records;
};
KRV_CASE_SUITE(SwipeNamesArePrefixes, EventScripts, PrefixCase);

TEST_P(SwipeNamesArePrefixes, CaseSensitiveFirstMatch) {
    EXPECT_EQ(records_after(krv_nav_simulateTouch(c.swipe), c.records), c.records);
    EXPECT_EQ(input_opens(), 1);
    EXPECT_EQ(input_closes(), 1);
    EXPECT_EQ(count_lines("krv_nav_simulateTouch eventDevNode: /dev/input/event2"), 1);
    EXPECT_EQ(log_texts().back(), "-- krv_nav_simulateTouch");
}

INSTANTIATE_TEST_SUITE_P(Names, SwipeNamesArePrefixes,
                         ::testing::Values(PrefixCase{"upward", "upward", 68}, PrefixCase{"leftmost", "leftmost", 68},
                                           PrefixCase{"Up", "Up", 0}, PrefixCase{"LEFT", "LEFT", 0},
                                           PrefixCase{"l", "l", 0}, PrefixCase{"empty", "", 0},
                                           PrefixCase{"dow", "dow", 0}),
                         krvtest::CaseName());

struct DispatchCase {
    const char* name;
    int code;
    size_t records;
    bool no_touch_line;
    bool silent;
};
KRV_CASE_SUITE(Dispatch, EventScripts, DispatchCase);

TEST_P(Dispatch, SwipesOnlyForUpAndDown) {
    EXPECT_EQ(records_after(krv_nav_func(c.code), c.records), c.records);
    EXPECT_EQ(count_lines("no simulate Touch"), c.no_touch_line ? 1 : 0);
    if (c.silent) {
        EXPECT_THAT(log_texts(), ::testing::IsEmpty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Codes, Dispatch,
    ::testing::Values(DispatchCase{"none", 0, 0, false, true}, DispatchCase{"tap", 5, 0, false, true},
                      DispatchCase{"flagged", 7, 0, false, true}, DispatchCase{"minus_three", -3, 0, false, true},
                      DispatchCase{"left", 1, 0, true, false}, DispatchCase{"right", 2, 0, true, false},
                      DispatchCase{"up", 3, 68, false, false}, DispatchCase{"down", 4, 68, false, false}),
    krvtest::CaseName());

TEST_F(EventScripts, LauncherLogsWhenItHasNoSwipe) {
    for (int code : {1, 5}) {
        clear_logs();
        EXPECT_EQ(krv_nav_LaucherNav(code), 0);
        EXPECT_EQ(log_texts(), (std::vector<std::string>{"no simulate Touch"})) << code;
    }
}

TEST_F(EventScripts, MissingInputNode) {
    input_set_present(false);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(krv_nav_simulateTouch("down"), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(100));
    EXPECT_EQ(count_lines("-- simulate_Touch_Y write error -1"), 68);
    clear_logs();
    krv_nav_reportKey2(5);
    EXPECT_EQ(count_lines("krv_nav_reportKey2 open /dev/input/event2 failed -1"), 1);
    EXPECT_EQ(count_lines("-- simulate_key write error -1"), 4);
}

}  // namespace

#ifdef KRV_HAVE_DECODER
TEST(EventDecoder, GeteventForm) {
    std::vector<input_event> evs(3);
    memset(evs.data(), 0, evs.size() * sizeof(input_event));
    evs[0].type = EV_ABS, evs[0].code = ABS_MT_POSITION_Y, evs[0].value = 608;
    evs[1].type = EV_SYN, evs[1].input_event_sec = 10, evs[1].input_event_usec = 999999;
    evs[2].type = EV_KEY, evs[2].code = KEY_HOMEPAGE, evs[2].value = -1;
    evs[2].input_event_sec = 11, evs[2].input_event_usec = 5012;
    EXPECT_EQ(krvtest::decode_stream(evs),
              (std::vector<std::string>{"[  time zero ] EV_ABS       ABS_MT_POSITION_Y    00000260",
                                        "[    0.000000] EV_SYN       SYN_REPORT           00000000",
                                        "[    0.005013] EV_KEY       KEY_HOMEPAGE         ffffffff"}));
}
#endif
