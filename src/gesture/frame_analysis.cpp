// Per-frame analysis: the summary (mean level, validity, centroid) and the
// four edge points.
//
// The results are those of the plain description (one loop per step over
// every pixel), computed with less work:
// - the summary reduces row by row and counts per column, so that its inner
//   loop has no branch and no index arithmetic and the compiler vectorises
//   it;
// - an edge scan only needs its first and last edge pixel, so it searches
//   inward from both ends of its order and stops at the first hit. Whether
//   a row or a column holds an edge pixel at all is decided by its darkest
//   pixel; the darkest pixel of every column comes from one vectorised pass
//   over the frame, a row's when the row scan reaches it.
#define LOG_TAG "nav_algo"

#include <stddef.h>

#include "base/log.h"
#include "krv_nav.h"

namespace {

constexpr int kCols = KRV_FRAME_COLS;
constexpr int kRows = KRV_FRAME_ROWS;
constexpr int kScanRows = kRows - 1;       // the summary and the column scan skip the last row
constexpr uint8_t kTouchMax = 199;         // pixels of 199 or less belong to the touch
constexpr uint32_t kMinTouchPixels = 200;  // fewer make the frame invalid
constexpr uint8_t kUnset = 0xFF;

// Partial sums of the summary: a row's touch values fit in 16 bits, a row's
// or a column's count of touch pixels in 8.
static_assert(kCols * kTouchMax < 65536 && kCols < 256 && kScanRows < 256);

bool unset(const FramePoint& p) { return p.row == kUnset && p.col == kUnset; }

FramePoint point(int row, int col) { return {static_cast<uint8_t>(row), static_cast<uint8_t>(col)}; }

// Stores the outcome of one scan whose edge pixels run from `first` to
// `last` in scan order: the first edge pixel goes to `first_out` while that
// is still unset, and every later one to `last_out`, which thus ends as the
// last pixel; a single edge pixel leaves `last_out` as it was.
void store_edges(FramePoint& first_out, FramePoint& last_out, FramePoint first, FramePoint last) {
    const bool several = first.row != last.row || first.col != last.col;
    if (unset(first_out)) {
        first_out = first;
        if (several) last_out = last;
    } else {
        last_out = last;
    }
}

uint8_t darkest_of(const uint8_t* p, int n) {
    uint8_t darkest = 0xFF;
    for (int i = 0; i < n; ++i) darkest = p[i] < darkest ? p[i] : darkest;
    return darkest;
}

// The darkest pixel of every column over rows 0 to 126, as the column scan
// sees them. A column holds an edge pixel exactly when its darkest pixel is
// one.
void darkest_per_column(const uint8_t* frame, uint8_t* darkest) {
    for (int col = 0; col < kCols; ++col) darkest[col] = 0xFF;
    for (int row = 0; row < kScanRows; ++row) {
        const uint8_t* line = frame + static_cast<ptrdiff_t>(row) * kCols;
        for (int col = 0; col < kCols; ++col) darkest[col] = line[col] < darkest[col] ? line[col] : darkest[col];
    }
}

// Row scan: rows 0 to 127, row by row, all 72 columns. A row holds an edge
// pixel when its darkest pixel is one; rows 0 to 126 hold none when no
// column does.
void row_scan(const uint8_t* frame, const uint8_t* darkest_col, uint8_t edge, FrameInfo* info) {
    auto has_edge = [&](int row) { return darkest_of(frame + static_cast<ptrdiff_t>(row) * kCols, kCols) <= edge; };
    int first_row = darkest_of(darkest_col, kCols) <= edge ? 0 : kScanRows;
    while (first_row < kRows && !has_edge(first_row)) ++first_row;
    if (first_row == kRows) return;
    int last_row = kRows - 1;
    while (last_row > first_row && !has_edge(last_row)) --last_row;

    const uint8_t* first_line = frame + static_cast<ptrdiff_t>(first_row) * kCols;
    int first_col = 0;
    while (first_line[first_col] > edge) ++first_col;
    const uint8_t* last_line = frame + static_cast<ptrdiff_t>(last_row) * kCols;
    int last_col = kCols - 1;
    while (last_line[last_col] > edge) --last_col;
    store_edges(info->row_first, info->row_last, point(first_row, first_col), point(last_row, last_col));
}

// Column scan: columns 1 to 71, column by column, rows 0 to 126.
void column_scan(const uint8_t* frame, const uint8_t* darkest_col, uint8_t edge, FrameInfo* info) {
    int first_col = 1;
    while (first_col < kCols && darkest_col[first_col] > edge) ++first_col;
    if (first_col == kCols) return;
    int last_col = kCols - 1;
    while (darkest_col[last_col] > edge) --last_col;

    int first_row = 0;
    while (frame[first_row * kCols + first_col] > edge) ++first_row;
    int last_row = kScanRows - 1;
    while (frame[last_row * kCols + last_col] > edge) --last_row;
    store_edges(info->col_first, info->col_last, point(first_row, first_col), point(last_row, last_col));
}

}  // namespace

extern "C" uint8_t cal_frame_info(const uint8_t* frame, FrameInfo* info) {
    // Rows 0 to 126 only: the last row is not part of the summary. Each row
    // is reduced on its own (its touch pixels fit in 8 bits, their values in
    // 16); the touch pixels of every column are counted across the rows (at
    // most 127, so 8 bits do).
    uint32_t sum = 0, col_sum = 0, row_sum = 0, count = 0;
    uint8_t col_count[kCols] = {};
    for (int row = 0; row < kScanRows; ++row) {
        const uint8_t* line = frame + static_cast<ptrdiff_t>(row) * kCols;
        uint8_t row_count = 0;
        uint16_t row_values = 0;
        for (int col = 0; col < kCols; ++col) {
            const uint8_t touch = line[col] <= kTouchMax ? 0xFF : 0;
            col_count[col] -= touch;  // 0xFF is -1: one more touch pixel
            row_count -= touch;
            row_values += static_cast<uint8_t>(line[col] & touch);
        }
        count += row_count;
        sum += row_values;
        row_sum += static_cast<uint32_t>(row) * row_count;
    }
    for (int col = 0; col < kCols; ++col) col_sum += static_cast<uint32_t>(col) * col_count[col];
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
    KRV_LOGD("sum_p = %d, info->center.x = %d, info->center.y = %d", static_cast<int>(count), static_cast<int>(cx),
             static_cast<int>(cy));
    return static_cast<uint8_t>(mean);
}

extern "C" void cal_edg_pos(const uint8_t* frame, FrameInfo* info) {
    // An edge pixel is at most twice the level, computed as an integer (no
    // 8-bit wrap, up to 400).
    const int threshold = 2 * static_cast<int>(info->level);
    if (threshold >= 255) {
        // Every pixel is an edge pixel: the scans' first and last pixels.
        store_edges(info->row_first, info->row_last, point(0, 0), point(kRows - 1, kCols - 1));
        store_edges(info->col_first, info->col_last, point(0, 1), point(kScanRows - 1, kCols - 1));
        return;
    }
    const uint8_t edge = static_cast<uint8_t>(threshold);
    uint8_t darkest_col[kCols];
    darkest_per_column(frame, darkest_col);
    row_scan(frame, darkest_col, edge, info);
    column_scan(frame, darkest_col, edge, info);
}
