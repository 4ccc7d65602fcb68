// Frame summary, edge points, both direction classifiers and whole passes
// through a stand-in sensor.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "common/param_cases.h"
#include "krv_nav.h"
#include "support/log_capture.h"
#ifdef KRV_HAVE_HEAP_COUNT
#include "support/heap_count.h"
#endif
#include "simhw/sim_hardware.h"

using krvtest::Blob;

namespace {

constexpr int W = KRV_FRAME_COLS;

struct Frame {
    uint8_t px[KRV_FRAME_PIXELS];
    Frame() { memset(px, 0xFF, sizeof px); }
};

FrameInfo fresh_info() {
    FrameInfo info;
    memset(&info, 0xFF, sizeof info);
    return info;
}

bool has_line(const std::string& text) {
    auto t = krvtest::log_texts();
    return std::find(t.begin(), t.end(), text) != t.end();
}

int count_line(const std::string& text) {
    auto t = krvtest::log_texts();
    return static_cast<int>(std::count(t.begin(), t.end(), text));
}

class Classification : public ::testing::Test {
  protected:
    void SetUp() override {
        krvtest::sensor_reset();
        krvtest::clear_logs();
    }
};

// ---------------------------------------------------------------- summary

struct SummaryCase {
    const char* name;
    int touch_pixels;  // first N pixels in memory order get value 50
    int extra_row127;  // touch pixels placed in row 127
    uint8_t want_invalid;
    const char* want_line;
};
KRV_CASE_SUITE(FrameSummary, Classification, SummaryCase);

TEST_P(FrameSummary, ValidityMeanAndLine) {
    Frame f;
    for (int i = 0; i < c.touch_pixels; ++i) f.px[i] = 50;
    for (int i = 0; i < c.extra_row127; ++i) f.px[127 * W + i] = 50;
    FrameInfo info = fresh_info();
    uint8_t mean = cal_frame_info(f.px, &info);
    EXPECT_EQ(info.invalid, c.want_invalid);
    EXPECT_EQ(mean, c.touch_pixels ? 50 : 0);
    EXPECT_EQ(info.level, c.touch_pixels ? 51 : 1);
    ASSERT_EQ(krvtest::logs().size(), 1u);
    EXPECT_EQ(krvtest::logs()[0].text, c.want_line);
    EXPECT_EQ(krvtest::logs()[0].tag, "nav_algo");
    EXPECT_EQ(krvtest::logs()[0].prio, 3);
    // Edge points are not the summary's business.
    EXPECT_EQ(info.row_first.row, 0xFF);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, FrameSummary,
    ::testing::Values(
        SummaryCase{"pixels199_invalid", 199, 0, 1, "sum_p = 199, info->center.x = 33, info->center.y = 0"},
        SummaryCase{"pixels200_valid", 200, 0, 0xFF, "sum_p = 200, info->center.x = 33, info->center.y = 0"},
        SummaryCase{"row127_ignored", 199, 72, 1, "sum_p = 199, info->center.x = 33, info->center.y = 0"},
        SummaryCase{"empty_frame", 0, 0, 1, "sum_p = 0, info->center.x = 0, info->center.y = 0"}),
    krvtest::CaseName());

TEST_F(Classification, SummaryUsesTruncatingMeans) {
    Frame f;
    // 100 pixels of 10 and 100 of 13 in rows 0..2: mean 11.5 -> 11.
    for (int i = 0; i < 100; ++i) f.px[i] = 10;
    for (int i = 100; i < 200; ++i) f.px[i] = 13;
    FrameInfo info = fresh_info();
    EXPECT_EQ(cal_frame_info(f.px, &info), 11);
    EXPECT_EQ(info.level, 12);
    EXPECT_EQ(info.center.y, 0);   // (72*0 + 72*1 + 56*2) / 200 = 0.92
    EXPECT_EQ(info.center.x, 33);  // (2*2556 + 1540) / 200 = 33.26
}

// ----------------------------------------------------------- edge points

TEST_F(Classification, SingleEdgePixelLeavesLastPointsUnset) {
    Frame f;
    f.px[5 * W + 10] = 0;
    FrameInfo info = fresh_info();
    cal_frame_info(f.px, &info);
    ASSERT_EQ(info.level, 1);
    cal_edg_pos(f.px, &info);
    EXPECT_EQ(info.row_first.row, 5);
    EXPECT_EQ(info.row_first.col, 10);
    EXPECT_EQ(info.row_last.row, 0xFF);
    EXPECT_EQ(info.row_last.col, 0xFF);
    EXPECT_EQ(info.col_first.row, 5);
    EXPECT_EQ(info.col_first.col, 10);
    EXPECT_EQ(info.col_last.row, 0xFF);
    EXPECT_EQ(info.col_last.col, 0xFF);
}

TEST_F(Classification, HighLevelMakesEveryPixelAnEdge) {
    Frame f;
    memset(f.px, 150, sizeof f.px);
    FrameInfo info = fresh_info();
    cal_frame_info(f.px, &info);
    ASSERT_EQ(info.level, 151);  // threshold 302 exceeds every byte value
    cal_edg_pos(f.px, &info);
    const uint8_t want[8] = {127, 71, 0, 0, 126, 71, 0, 1};
    EXPECT_EQ(0, memcmp(&info, want, 8));
}

TEST_F(Classification, EdgeScansSkipColumnZeroAndLastRowInColumnScan) {
    Frame f;
    f.px[0] = 0;             // (0,0): row scan only
    f.px[127 * W + 40] = 0;  // (127,40): row scan only
    f.px[60 * W + 30] = 0;   // (60,30): both scans
    FrameInfo info = fresh_info();
    info.level = 1;
    cal_edg_pos(f.px, &info);
    EXPECT_EQ(info.row_first.row, 0);
    EXPECT_EQ(info.row_first.col, 0);
    EXPECT_EQ(info.row_last.row, 127);
    EXPECT_EQ(info.row_last.col, 40);
    EXPECT_EQ(info.col_first.row, 60);
    EXPECT_EQ(info.col_first.col, 30);
    EXPECT_EQ(info.col_last.row, 0xFF);
}

// ---------------------------------------------------------- classifiers

struct MoveCase {
    int dx, dy;
    int want5406, want5517;  // only zero / non-zero shows in the log
    const char* line5406;    // branch line, or "" for none
    const char* line5517;
};

[[maybe_unused]] void PrintTo(const MoveCase& c, std::ostream* os) { *os << "dx " << c.dx << ", dy " << c.dy; }

// The branch line a classifier logged, or "" when it logged none.
std::string branch_line() {
    for (auto& l : krvtest::log_texts())
        if (l.find("gDirection moving") != std::string::npos) return l;
    return "";
}

const char* const kUp = "up gDirection moving !\n";
const char* const kDown = "down gDirection moving !\n";
const char* const kLeft = "left gDirection moving !\n";
const char* const kRight = "right gDirection moving !\n";

using DirectionBoundaries = krvtest::WithCases<Classification, MoveCase>;

TEST_P(DirectionBoundaries, BothClassifiers) {
    // interval_time stays outside the tap window: a full pass with a
    // scripted 0 ms duration first.
    krvtest::sensor_set_frames(krvtest::make_pair({10, 10, 20, 20}, {10, 10, 20, 20}));
    krvtest::script_clock({{100, 0}, {100, 0}});
    ASSERT_EQ(cal_touch_area(), 0);
    FrameInfo a = fresh_info(), b = fresh_info();
    a.center = {100, 100};
    b.center = {static_cast<uint8_t>(100 + c.dx), static_cast<uint8_t>(100 + c.dy)};
    krvtest::clear_logs();
    cal_move_dir_5406(&a, &b);
    char head[128];
    snprintf(head, sizeof head, "center_x_sq + center_y_sq = %d, center_x_sq = %d, center_y_sq = %d!\n", c.dx + c.dy,
             c.dx, c.dy);
    ASSERT_FALSE(krvtest::log_texts().empty());
    EXPECT_EQ(krvtest::log_texts()[0], head);
    EXPECT_EQ(branch_line(), c.line5406);
    EXPECT_EQ(has_line("NONE move !\n"), c.want5406 == 0);
    krvtest::clear_logs();
    cal_move_dir_5517(&a, &b);
    EXPECT_EQ(branch_line(), c.line5517);
    EXPECT_EQ(has_line("NONE move !\n"), c.want5517 == 0);
}

// A sum of exactly 0 counts as non-negative (dx -36, dy 36).
INSTANTIATE_TEST_SUITE_P(Moves, DirectionBoundaries,
                         ::testing::Values(MoveCase{0, 36, 3, 3, kUp, kUp}, MoveCase{0, 35, 0, 3, "", kUp},
                                           MoveCase{0, 11, 0, 3, "", kUp}, MoveCase{0, 10, 0, 0, "", ""},
                                           MoveCase{0, -36, 4, 4, kDown, kDown}, MoveCase{0, -35, 0, 4, "", kDown},
                                           MoveCase{0, -31, 0, 4, "", kDown}, MoveCase{0, -30, 0, 0, "", ""},
                                           MoveCase{-36, 36, 3, 3, kUp, kUp}, MoveCase{-37, 36, 0, 1, kLeft, kLeft},
                                           MoveCase{40, -36, 0, 2, kRight, kRight}, MoveCase{-20, -5, 0, 0, "", ""},
                                           MoveCase{15, -11, 0, 2, kRight, kRight}),
                         [](const ::testing::TestParamInfo<MoveCase>& i) {
                             // Appended, not `"literal" + std::string`: GCC 12 at -O2
                             // reports a false overlap there (-Wrestrict, GCC bug 105329).
                             auto n = [](int v) {
                                 std::string s = v < 0 ? "m" : "";
                                 return s.append(std::to_string(v < 0 ? -v : v));
                             };
                             std::string name = "dx";
                             return name.append(n(i.param.dx)).append("_dy").append(n(i.param.dy));
                         });

TEST_F(Classification, RightBranchIsNotASwipeDown) {
    FrameInfo a = fresh_info(), b = fresh_info();
    a.center = {10, 60};
    b.center = {50, 24};  // dx 40, dy -36
    cal_move_dir_5406(&a, &b);
    EXPECT_EQ(count_line("right gDirection moving !\n"), 1);
    EXPECT_EQ(count_line("down gDirection moving !\n"), 0);
    EXPECT_TRUE(has_line("NONE move !\n"));
}

// -------------------------------------------------------------- passes

struct PassCase {
    const char* name;
    FramePair pair;
    long duration_us;  // scripted pass duration
    int want;
    std::vector<const char*> want_lines;
};
KRV_CASE_SUITE(PassResults, Classification, PassCase);

TEST_P(PassResults, CodeAndLines) {
    krvtest::sensor_set_frames(c.pair);
    struct timeval t0 = {1000, 900000};
    struct timeval t1 = {1000 + (900000 + c.duration_us) / 1000000, (900000 + c.duration_us) % 1000000};
    krvtest::script_clock({t0, t1});
    EXPECT_EQ(cal_touch_area(), c.want);
    krvtest::script_clock({});
    auto lines = krvtest::log_texts();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "cal_touch_area \n");
    for (const char* l : c.want_lines) EXPECT_TRUE(has_line(l)) << l;
    if (c.want == 7) {
        // No movement lines and no timing: the summary of frame1 is last.
        for (auto& l : lines) EXPECT_EQ(l.find("gDirection"), std::string::npos) << l;
        EXPECT_EQ(lines.back().rfind("sum_p = 400", 0), 0u);
    }
}

const Blob kStill{20, 50, 20, 20};

INSTANTIATE_TEST_SUITE_P(
    Passes, PassResults,
    ::testing::Values(
        PassCase{"swipe_up",
                 krvtest::make_pair({20, 10, 20, 20}, {20, 50, 20, 20}),
                 50000,
                 3,
                 {"up gDirection moving !\n", "gDirection = 3, interval_time = 50ms\n"}},
        PassCase{"swipe_down",
                 krvtest::make_pair({20, 90, 20, 20}, {20, 40, 20, 20}),
                 50000,
                 4,
                 {"down gDirection moving !\n", "gDirection = 4, interval_time = 50ms\n"}},
        PassCase{"tap_at_121ms",
                 krvtest::make_pair(kStill, kStill),
                 121000,
                 5,
                 {"CLK_SINGLE\n", "gDirection = 5, interval_time = 121ms\n"}},
        PassCase{"tap_at_499ms",
                 krvtest::make_pair(kStill, {30, 59, 20, 20}),
                 499999,
                 5,
                 {"CLK_SINGLE\n", "gDirection = 5, interval_time = 499ms\n"}},
        PassCase{"too_quick_for_a_tap",
                 krvtest::make_pair(kStill, kStill),
                 120999,
                 0,
                 {"NONE move !\n", "gDirection = 0, interval_time = 120ms\n"}},
        PassCase{"too_slow_for_a_tap",
                 krvtest::make_pair(kStill, kStill),
                 500000,
                 0,
                 {"NONE move !\n", "gDirection = 0, interval_time = 500ms\n"}},
        PassCase{"tap_moved_10_and_10", krvtest::make_pair(kStill, {30, 60, 20, 20}), 200000, 0, {"NONE move !\n"}},
        PassCase{"tap_moved_11", krvtest::make_pair(kStill, {31, 50, 20, 20}), 200000, 0, {"NONE move !\n"}},
        PassCase{
            "long_pass", krvtest::make_pair(kStill, kStill), 1000500, 0, {"gDirection = 0, interval_time = 1000ms\n"}},
        PassCase{"driver_flagged", krvtest::make_pair(kStill, kStill, 1), 200000, 7, {}}),
    krvtest::CaseName());

TEST_F(Classification, InvalidFrameBeatsDriverFlagAndKeepsInterval) {
    const Blob still{20, 50, 20, 20};
    // Establish interval_time 300 ms with a full pass that is not a tap.
    krvtest::sensor_set_frames(krvtest::make_pair(still, {20, 90, 20, 20}));
    krvtest::script_clock({{10, 0}, {10, 300000}});
    ASSERT_EQ(cal_touch_area(), 3);
    // A tiny touch in the second frame, flagged by the driver.
    krvtest::sensor_set_frames(krvtest::make_pair(still, {0, 0, 10, 10}, 1));
    krvtest::clear_logs();
    EXPECT_EQ(cal_touch_area(), 0);
    for (auto& l : krvtest::log_texts()) EXPECT_EQ(l.find("gDirection"), std::string::npos) << l;
    // interval_time is still 300 ms: the classifier alone now taps.
    FrameInfo a = fresh_info(), b = fresh_info();
    a.center = b.center = {30, 60};
    krvtest::clear_logs();
    cal_move_dir_5406(&a, &b);
    EXPECT_TRUE(has_line("CLK_SINGLE\n"));
}

TEST_F(Classification, FailedFetchYieldsNothing) {
    const Blob still{20, 50, 20, 20};
    // A tap-sized interval from an earlier pass must not matter.
    krvtest::sensor_set_frames(krvtest::make_pair(still, still));
    krvtest::script_clock({{10, 0}, {10, 200000}});
    ASSERT_EQ(cal_touch_area(), 5);
    krvtest::sensor_set_present(false);
    for (int i = 0; i < 3; ++i) {
        krvtest::clear_logs();
        EXPECT_EQ(cal_touch_area(), 0);
        EXPECT_TRUE(has_line("sum_p = 0, info->center.x = 0, info->center.y = 0"));
    }
}

TEST_F(Classification, ClockSteppingBackNeverMakesATap) {
    const Blob still{20, 50, 20, 20};
    krvtest::sensor_set_frames(krvtest::make_pair(still, still));
    krvtest::script_clock({{10, 0}, {10, 200000}});
    ASSERT_EQ(cal_touch_area(), 5);
    krvtest::clear_logs();
    krvtest::script_clock({{20, 500000}, {20, 100000}});  // end before start
    EXPECT_EQ(cal_touch_area(), 0);
    EXPECT_TRUE(has_line("NONE move !\n"));
}

// A forward jump of 2^32 ms + 200 ms (a clock set at boot, say) must not wrap
// into the tap window; on a 32-bit build the milliseconds overflow a long.
TEST_F(Classification, ClockJumpingFarForwardNeverMakesATap) {
    const Blob still{20, 50, 20, 20};
    krvtest::sensor_set_frames(krvtest::make_pair(still, still));
    krvtest::clear_logs();
    krvtest::script_clock({{10, 0}, {10 + 4294967, 496000}});
    EXPECT_EQ(cal_touch_area(), 0);
    krvtest::script_clock({});
    EXPECT_TRUE(has_line("NONE move !\n"));
    EXPECT_TRUE(has_line("gDirection = 0, interval_time = 2147483647ms\n"));
}

// ------------------------------------------------------------ time math

TEST(TimevalSubtract, Table) {
    struct Case {
        struct timeval earlier, later;
        int want_rc;
        struct timeval want;
    } cases[] = {
        {{5, 100}, {5, 100}, 0, {0, 0}},       {{3, 950000}, {5, 900000}, 0, {1, 950000}},
        {{0, 0}, {0, 999999}, 0, {0, 999999}}, {{6, 0}, {5, 999999}, -1, {77, 77}},
        {{5, 2}, {5, 1}, -1, {77, 77}},
    };
    for (const auto& c : cases) {
        struct timeval result = {77, 77};
        EXPECT_EQ(timeval_subtract(&result, &c.earlier, &c.later), c.want_rc);
        EXPECT_EQ(result.tv_sec, c.want.tv_sec);
        EXPECT_EQ(result.tv_usec, c.want.tv_usec);
    }
}

// ------------------------------------------------------ driver wrappers

TEST_F(Classification, DriverWrappers) {
    krv_nav_reportKey(428);
    ASSERT_EQ(krvtest::sensor_reported_keys(), std::vector<uint8_t>{172});
    EXPECT_EQ(krvtest::log_texts(), (std::vector<std::string>{"++ krv_nav_reportKey", "-- krv_nav_reportKey"}));

    krvtest::sensor_set_present(false);
    std::vector<uint8_t> buf(sizeof(FramePair), 0x5A);
    krvtest::clear_logs();
    krv_nav_getImageData(buf.data(), 0);
    EXPECT_TRUE(std::all_of(buf.begin(), buf.end(), [](uint8_t b) { return b == 0x5A; }));
    EXPECT_EQ(krvtest::log_texts(), (std::vector<std::string>{"++ krv_nav_getImageData", "-- krv_nav_getImageData"}));
    krv_nav_reportKey(1);
    EXPECT_EQ(krvtest::sensor_reported_keys().size(), 1u);

    // The exported frame-pair object is never used.
    static const FramePair zero = {};
    EXPECT_EQ(0, memcmp(&image, &zero, sizeof zero));
}

TEST_F(Classification, PassesAllocateNothing) {
#ifndef KRV_HAVE_HEAP_COUNT
    GTEST_SKIP() << "sanitizer builds replace the allocator";
#else
    // The stand-in sensor runs on this thread too and allocates nothing;
    // the log capture is switched off (lines are still formatted).
    krvtest::sensor_set_frames(krvtest::make_pair({20, 10, 20, 20}, {20, 60, 20, 20}));
    cal_touch_area();  // first use: lazy symbol lookups in the stand-ins
    krvtest::set_capture(false);
    krvheap::heap_setup();
    krvheap::heap_reset();
    krvheap::heap_count(true);
    void* volatile probe = malloc(16);  // the counter is live
    free(probe);
    EXPECT_EQ(krvheap::heap_counts().other, 1);
    krvheap::heap_reset();
    int result = 0;
    for (int i = 0; i < 1000; ++i) result = cal_touch_area();
    krvheap::heap_count(false);
    krvtest::set_capture(true);
    EXPECT_EQ(result, 3);
    EXPECT_EQ(krvheap::heap_counts().library, 0);
    EXPECT_EQ(krvheap::heap_counts().other, 0);
#endif
}

TEST(Layout, SharedTypes) {
    EXPECT_EQ(sizeof(FramePair), 18433u);
    EXPECT_EQ(sizeof(FrameInfo), 12u);
    EXPECT_EQ(offsetof(FrameInfo, level), 8u);
    EXPECT_EQ(offsetof(FrameInfo, center), 10u);
}

}  // namespace
