// Per-frame analysis: the summary (mean level, validity, centroid) and the
// four edge points.
#define LOG_TAG "nav_algo"

#include <android/log.h>

#include "krv_nav.h"

namespace {

constexpr int kCols = KRV_FRAME_COLS;
constexpr int kRows = KRV_FRAME_ROWS;
constexpr uint8_t kTouchMax = 199;        // pixels of 199 or less belong to the touch
constexpr uint32_t kMinTouchPixels = 200;  // fewer make the frame invalid
constexpr uint8_t kUnset = 0xFF;

bool unset(const FramePoint& p) { return p.row == kUnset && p.col == kUnset; }

void record_edge(FramePoint& first, FramePoint& last, int row, int col) {
    FramePoint& target = unset(first) ? first : last;
    target.row = static_cast<uint8_t>(row);
    target.col = static_cast<uint8_t>(col);
}

}  // namespace

extern "C" uint8_t cal_frame_info(const uint8_t* frame, FrameInfo* info) {
    uint32_t sum = 0, col_sum = 0, row_sum = 0, count = 0;
    // The last row is not part of the summary: rows 0 to 126 only.
    for (int row = 0; row < kRows - 1; ++row) {
        const uint8_t* line = frame + row * kCols;
        for (int col = 0; col < kCols; ++col) {
            uint32_t v = line[col];
            uint32_t touch = v <= kTouchMax;
            sum += touch * v;
            col_sum += touch * static_cast<uint32_t>(col);
            row_sum += touch * static_cast<uint32_t>(row);
            count += touch;
        }
    }
    if (count < kMinTouchPixels) info->invalid = 1;
    uint32_t mean = 0, cx = 0, cy = 0;
    if (count != 0) {
        mean = sum / count;
        cx = col_sum / count;
        cy = row_sum / count;
    }
    info->center.x = static_cast<uint8_t>(cx);
    info->center.y = static_cast<uint8_t>(cy);
    info->level = static_cast<uint8_t>(mean + 1);
    __android_log_print(ANDROID_LOG_DEBUG, LOG_TAG,
                        "sum_p = %d, info->center.x = %d, info->center.y = %d",
                        static_cast<int>(count), static_cast<int>(cx), static_cast<int>(cy));
    return static_cast<uint8_t>(mean);
}

extern "C" void cal_edg_pos(const uint8_t* frame, FrameInfo* info) {
    // Integer threshold: no 8-bit wrap, up to 400.
    const int edge = 2 * static_cast<int>(info->level);
    for (int row = 0; row < kRows; ++row)
        for (int col = 0; col < kCols; ++col)
            if (frame[row * kCols + col] <= edge) record_edge(info->row_first, info->row_last, row, col);
    // Column scan skips column 0 and the last row.
    for (int col = 1; col < kCols; ++col)
        for (int row = 0; row < kRows - 1; ++row)
            if (frame[row * kCols + col] <= edge) record_edge(info->col_first, info->col_last, row, col);
}
