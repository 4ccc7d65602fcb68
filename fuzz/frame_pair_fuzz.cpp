// Arbitrary frame pairs through the frame summary, the edge scans, both
// direction classifiers and a whole pass with the simulated frame fetch.
//
// Input: a FramePair (18433 bytes; shorter inputs are padded with 255, a
// light pixel), then optionally two bytes giving the pass's duration in
// milliseconds (0..1023) on the scripted clock, so that taps are reachable.
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "krv_nav.h"
#include "simhw/sim_hardware.h"
#include "support/log_capture.h"
#include "support/reference_analysis.h"

namespace {

constexpr int kCols = KRV_FRAME_COLS;
constexpr int kRows = KRV_FRAME_ROWS;

// The classifier's result, read from the lines it logged: the movement
// branch line, overridden by a tap.
int decision_from_logs(const std::vector<krvtest::LogLine>& lines, bool left_right_codes) {
    int code = NAV_RESULT_NONE;
    for (const auto& l : lines) {
        if (l.text == "up gDirection moving !\n") code = NAV_RESULT_UP;
        if (l.text == "down gDirection moving !\n") code = NAV_RESULT_DOWN;
        if (l.text == "left gDirection moving !\n" && left_right_codes) code = NAV_RESULT_LEFT;
        if (l.text == "right gDirection moving !\n" && left_right_codes) code = NAV_RESULT_RIGHT;
        if (l.text == "CLK_SINGLE\n") code = NAV_RESULT_SINGLE_TAP;
    }
    bool none_line =
        std::any_of(lines.begin(), lines.end(), [](const krvtest::LogLine& l) { return l.text == "NONE move !\n"; });
    FUZZ_CHECK(none_line == (code == NAV_RESULT_NONE), "\"NONE move\" line and code %d disagree", code);
    return code;
}

// Properties every summary must have, whatever the pixels.
void check_summary(const uint8_t* frame, const FrameInfo& info, uint8_t mean) {
    FUZZ_CHECK(info.level == static_cast<uint8_t>(mean + 1), "level %d, mean %d", info.level, mean);
    FUZZ_CHECK(mean <= 199, "mean %d above the touch limit", mean);
    FUZZ_CHECK(info.center.x < kCols && info.center.y < kRows - 1, "centre (%d,%d) outside the summarised area",
               info.center.x, info.center.y);
    FUZZ_CHECK(info.invalid == 1 || info.invalid == 0xFF, "invalid byte %d", info.invalid);
    // An edge point, when found, lies inside its scan and is an edge pixel.
    const int edge = 2 * info.level;
    auto check_point = [&](FramePoint p, bool column_scan) {
        if (p.row == 0xFF && p.col == 0xFF) return;
        FUZZ_CHECK(p.row < (column_scan ? kRows - 1 : kRows) && p.col < kCols && (!column_scan || p.col >= 1),
                   "edge point (%d,%d) outside its scan", p.row, p.col);
        FUZZ_CHECK(frame[p.row * kCols + p.col] <= edge, "edge point (%d,%d) holds %d above %d", p.row, p.col,
                   frame[p.row * kCols + p.col], edge);
    };
    check_point(info.row_first, false);
    check_point(info.row_last, false);
    check_point(info.col_first, true);
    check_point(info.col_last, true);
}

FrameInfo analyse(const uint8_t* frame) {
    FrameInfo info;
    memset(&info, 0xFF, sizeof info);
    uint8_t mean = cal_frame_info(frame, &info);
    cal_edg_pos(frame, &info);
    check_summary(frame, info, mean);
    return info;
}

int classify(void (*classifier)(const FrameInfo*, const FrameInfo*), const FrameInfo& a, const FrameInfo& b,
             bool left_right_codes) {
    krvtest::clear_logs();
    classifier(&a, &b);
    return decision_from_logs(krvtest::take_logs(), left_right_codes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FramePair pair;
    memset(&pair, 0xFF, sizeof pair);
    memcpy(&pair, data, std::min(size, sizeof pair));
    int duration_ms = 0;
    if (size >= sizeof pair + 2) duration_ms = (data[sizeof pair] | data[sizeof pair + 1] << 8) & 1023;

    krvtest::clear_logs();
    FrameInfo info0 = analyse(pair.frame0);
    FrameInfo info1 = analyse(pair.frame1);

    // A whole pass over the same pair through the simulated fetch, timed on
    // the scripted clock.
    krvtest::sensor_set_frames(pair);
    const struct timeval start = {1000, 0};
    const struct timeval end = {1000 + duration_ms / 1000, (duration_ms % 1000) * 1000};
    krvtest::script_clock({start, end});
    krvtest::clear_logs();
    const int code = cal_touch_area();
    auto pass_lines = krvtest::take_logs();
    krvtest::script_clock({});

    // The straightforward analysis must agree byte for byte.
    FrameInfo ref0, ref1;
    const int ref_code = krvref::classify_pair(pair, duration_ms, &ref0, &ref1);
    FUZZ_CHECK(memcmp(&ref0, &info0, sizeof ref0) == 0, "first summary differs from the reference");
    FUZZ_CHECK(memcmp(&ref1, &info1, sizeof ref1) == 0, "second summary differs from the reference");
    FUZZ_CHECK(ref_code == code, "pass gave %d, reference %d", code, ref_code);

    const bool invalid = info0.invalid == 1 || info1.invalid == 1;
    if (invalid) {
        FUZZ_CHECK(code == NAV_RESULT_NONE, "invalid frame gave %d", code);
    } else if (pair.status == 1) {
        FUZZ_CHECK(code == NAV_RESULT_DRIVER_FLAGGED, "flagged touch gave %d", code);
    } else {
        // The pass set interval_time to the scripted duration: the exported
        // classifier must now decide exactly as the pass did.
        FUZZ_CHECK(code == NAV_RESULT_NONE || code == NAV_RESULT_UP || code == NAV_RESULT_DOWN ||
                       code == NAV_RESULT_SINGLE_TAP,
                   "a pass gave %d", code);
        FUZZ_CHECK(decision_from_logs(pass_lines, false) == code, "the pass's lines disagree with its result %d", code);
        char want[64];
        snprintf(want, sizeof want, "gDirection = %d, interval_time = %ldms\n", code, static_cast<long>(duration_ms));
        FUZZ_CHECK(!pass_lines.empty() && pass_lines.back().text == want, "last line of the pass is not %s", want);
        const int again = classify(cal_move_dir_5406, info0, info1, false);
        FUZZ_CHECK(again == code, "pass gave %d, classifier on the same summaries %d", code, again);
    }
    // Both classifiers on the summaries, whatever their validity; the second
    // classifier only widens the swipe bands, so whenever the first sees a
    // swipe it sees the same one.
    const int c5406 = classify(cal_move_dir_5406, info0, info1, false);
    const int c5517 = classify(cal_move_dir_5517, info0, info1, true);
    FUZZ_CHECK(c5406 == NAV_RESULT_NONE || c5406 == c5517, "5406 gave %d, 5517 gave %d", c5406, c5517);
    krvtest::clear_logs();
    return 0;
}
