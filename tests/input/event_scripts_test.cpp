// Key and swipe event streams, record for record, through the simulated
// input node (every write arrives as one packet).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string.h>

#include <chrono>
#include <string>
#include <vector>

#include "common/test_wait.h"
#include "krv_nav.h"
#include "simhw/sim_hardware.h"
#include "support/log_capture.h"
#ifdef KRV_HAVE_DECODER
#include "support/event_decoder.h"
#endif

using namespace krvtest;

namespace {

struct Rec {
    uint16_t type, code;
    int32_t value;
};

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
};

TEST_F(EventScripts, KeysForResultCodes) {
    struct Case {
        int result;
        int key;  // 0: none
    } cases[] = {{7, KEY_HOMEPAGE},
                 {5, KEY_BACK},
                 {3, KEY_LEFT},
                 {4, KEY_RIGHT},
                 {0, 0},
                 {1, 0},
                 {2, 0},
                 {6, 0},
                 {8, 0},
                 {-1, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.result);
        input_clear();
        clear_logs();
        EXPECT_EQ(krv_nav_reportKey2(c.result), 0);
        auto p = settle(c.key ? 4 : 0);
        EXPECT_EQ(input_opens(), 1);
        EXPECT_EQ(input_closes(), 1);
        EXPECT_EQ(log_texts(), (std::vector<std::string>{"++ krv_nav_reportKey2", "-- krv_nav_reportKey2"}));
        if (!c.key) {
            EXPECT_TRUE(p.empty());
            continue;
        }
        ASSERT_EQ(p.size(), 4u);
        const Rec want[] = {{EV_KEY, (uint16_t)c.key, 1},
                            {EV_SYN, SYN_REPORT, 0},
                            {EV_KEY, (uint16_t)c.key, 0},
                            {EV_SYN, SYN_REPORT, 0}};
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(p[i].size, sizeof(input_event));
            EXPECT_EQ(p[i].ev.type, want[i].type);
            EXPECT_EQ(p[i].ev.code, want[i].code);
            EXPECT_EQ(p[i].ev.value, want[i].value);
            EXPECT_FALSE(zero_time(p[i].ev));
        }
        EXPECT_TRUE(same_time(p[0].ev, p[1].ev));
        EXPECT_TRUE(same_time(p[2].ev, p[3].ev));
        EXPECT_LE(usec(p[0].ev), usec(p[2].ev));
    }
}

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

struct Swipe {
    const char* name;
    bool horizontal;
    bool increasing;
    int first, last;  // the moving coordinate at steps 0 and 19
    int pos_lines;
};

TEST_F(EventScripts, FourSwipes) {
    const Swipe swipes[] = {{"left", true, false, 576, 177, 20},
                            {"right", true, true, 144, 543, 0},
                            {"up", false, false, 608, 0, 0},
                            {"down", false, true, 0, 608, 0}};
    for (const auto& s : swipes) {
        SCOPED_TRACE(s.name);
        input_clear();
        clear_logs();
        EXPECT_EQ(krv_nav_simulateTouch(s.name), 0);
        auto p = settle(68);
        ASSERT_EQ(p.size(), 68u);
        const uint16_t move = s.horizontal ? ABS_MT_POSITION_X : ABS_MT_POSITION_Y;
        const int fixed = s.horizontal ? 640 : 360;
        // Touch-down: BTN_TOUCH before the first position horizontally,
        // after it vertically; time zero until the first report.
        std::vector<Rec> down = {{EV_ABS, ABS_MT_TRACKING_ID, 154}};
        if (s.horizontal) {
            down.push_back({EV_KEY, BTN_TOUCH, 1});
            down.push_back({EV_ABS, ABS_MT_POSITION_X, s.first});
            down.push_back({EV_ABS, ABS_MT_POSITION_Y, fixed});
        } else {
            down.push_back({EV_ABS, ABS_MT_POSITION_X, fixed});
            down.push_back({EV_ABS, ABS_MT_POSITION_Y, s.first});
            down.push_back({EV_KEY, BTN_TOUCH, 1});
        }
        down.push_back({EV_SYN, SYN_REPORT, 0});
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(p[i].ev.type, down[i].type) << i;
            EXPECT_EQ(p[i].ev.code, down[i].code) << i;
            EXPECT_EQ(p[i].ev.value, down[i].value) << i;
            EXPECT_EQ(zero_time(p[i].ev), i < 4) << i;
        }
        for (int i = 0; i < 20; ++i) {
            const auto& x = p[5 + 3 * i].ev;
            const auto& y = p[6 + 3 * i].ev;
            const auto& r = p[7 + 3 * i].ev;
            const auto& mv = s.horizontal ? x : y;
            const auto& fx = s.horizontal ? y : x;
            EXPECT_EQ(x.code, ABS_MT_POSITION_X);
            EXPECT_EQ(y.code, ABS_MT_POSITION_Y);
            EXPECT_EQ(mv.code, move);
            int step = s.horizontal ? 21 : 32;
            EXPECT_EQ(mv.value, s.first + (s.increasing ? step : -step) * i) << i;
            EXPECT_EQ(fx.value, fixed);
            EXPECT_EQ(r.type, EV_SYN);
            // Positions carry the previous report's time.
            EXPECT_TRUE(same_time(x, p[4 + 3 * i].ev));
            EXPECT_TRUE(same_time(y, p[4 + 3 * i].ev));
        }
        EXPECT_EQ(p[5 + 3 * 19 + (s.horizontal ? 0 : 1)].ev.value, s.last);
        const Rec lift[] = {{EV_ABS, ABS_MT_TRACKING_ID, -1}, {EV_KEY, BTN_TOUCH, 0}, {EV_SYN, SYN_REPORT, 0}};
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(p[65 + i].ev.type, lift[i].type);
            EXPECT_EQ(p[65 + i].ev.code, lift[i].code);
            EXPECT_EQ(p[65 + i].ev.value, lift[i].value);
        }
        EXPECT_TRUE(same_time(p[65].ev, p[64].ev));
        EXPECT_TRUE(same_time(p[66].ev, p[64].ev));
        for (const auto& pk : p) EXPECT_NE(pk.ev.code, ABS_MT_SLOT);
        EXPECT_EQ(count_lines(s.horizontal ? "-pos simulate_Touch_X" : "-pos simulate_Touch_Y"), s.pos_lines);
    }
}

TEST_F(EventScripts, SwipeNamesArePrefixes) {
    struct Case {
        const char* name;
        size_t records;
    } cases[] = {{"upward", 68}, {"leftmost", 68}, {"Up", 0}, {"LEFT", 0}, {"l", 0}, {"", 0}, {"dow", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        input_clear();
        clear_logs();
        EXPECT_EQ(krv_nav_simulateTouch(c.name), 0);
        EXPECT_EQ(settle(c.records).size(), c.records);
        EXPECT_EQ(input_opens(), 1);
        EXPECT_EQ(input_closes(), 1);
        EXPECT_EQ(count_lines("krv_nav_simulateTouch eventDevNode: /dev/input/event2"), 1);
        EXPECT_EQ(log_texts().back(), "-- krv_nav_simulateTouch");
    }
}

TEST_F(EventScripts, Dispatch) {
    struct Case {
        int code;
        size_t records;
        bool no_touch_line;
        bool silent;
    } cases[] = {{0, 0, false, true}, {5, 0, false, true}, {7, 0, false, true},   {-3, 0, false, true},
                 {1, 0, true, false}, {2, 0, true, false}, {3, 68, false, false}, {4, 68, false, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        input_clear();
        clear_logs();
        EXPECT_EQ(krv_nav_func(c.code), 0);
        EXPECT_EQ(settle(c.records).size(), c.records);
        EXPECT_EQ(count_lines("no simulate Touch"), c.no_touch_line ? 1 : 0);
        if (c.silent) {
            EXPECT_TRUE(log_texts().empty());
        }
    }
    for (int code : {1, 5}) {
        clear_logs();
        EXPECT_EQ(krv_nav_LaucherNav(code), 0);
        EXPECT_EQ(log_texts(), (std::vector<std::string>{"no simulate Touch"}));
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
