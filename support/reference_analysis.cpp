#include "support/reference_analysis.h"

#include <stdlib.h>
#include <string.h>

namespace krvref {

uint8_t frame_info(const uint8_t* frame, FrameInfo* info) {
    uint32_t sum = 0, col_sum = 0, row_sum = 0, count = 0;
    for (int i = 0; i < 9144; ++i) {
        if (frame[i] <= 199) {
            sum += frame[i];
            col_sum += static_cast<uint32_t>(i % 72);
            row_sum += static_cast<uint32_t>(i / 72);
            ++count;
        }
    }
    if (count <= 199) info->invalid = 1;
    uint32_t mean = 0, cx = 0, cy = 0;
    if (count > 0) {
        mean = sum / count;
        cx = col_sum / count;
        cy = row_sum / count;
    }
    info->center.x = static_cast<uint8_t>(cx);
    info->center.y = static_cast<uint8_t>(cy);
    info->level = static_cast<uint8_t>(mean + 1);
    return static_cast<uint8_t>(mean);
}

namespace {

void note_edge(FramePoint* first, FramePoint* last, int row, int col) {
    if (first->row == 0xFF && first->col == 0xFF) {
        first->row = static_cast<uint8_t>(row);
        first->col = static_cast<uint8_t>(col);
    } else {
        last->row = static_cast<uint8_t>(row);
        last->col = static_cast<uint8_t>(col);
    }
}

}  // namespace

void edg_pos(const uint8_t* frame, FrameInfo* info) {
    const int edge = 2 * info->level;
    for (int i = 0; i < 9216; ++i)
        if (frame[i] <= edge) note_edge(&info->row_first, &info->row_last, i / 72, i % 72);
    // Column-major over columns 1..71 and rows 0..126: 71 * 127 pixels.
    for (int j = 0; j < 71 * 127; ++j) {
        int col = 1 + j / 127, row = j % 127;
        if (frame[row * 72 + col] <= edge) note_edge(&info->col_first, &info->col_last, row, col);
    }
}

uint8_t move_dir_5406(const FrameInfo* first, const FrameInfo* second, int32_t interval_ms) {
    uint8_t code = 0;
    int dx = second->center.x - first->center.x;
    int dy = second->center.y - first->center.y;
    if (dx + dy >= 0) {
        if (dy > 35) code = 3;
    } else {
        if (dy > 10) {
            // "left": no code under these rules
        } else if (dy < -35) {
            code = 4;
        }
    }
    if (interval_ms >= 121 && interval_ms <= 499 && abs(dx) + abs(dy) <= 19 && dx >= -10 && dx <= 10 && dy >= -10 &&
        dy <= 10)
        code = 5;
    return code;
}

int pass_result(const FrameInfo& info0, const FrameInfo& info1, uint8_t status, int32_t interval_ms) {
    if (info0.invalid == 1 || info1.invalid == 1) return 0;
    if (status == 1) return 7;
    return move_dir_5406(&info0, &info1, interval_ms);
}

int classify_pair(const FramePair& pair, int32_t interval_ms, FrameInfo* info0, FrameInfo* info1) {
    memset(info0, 0xFF, sizeof *info0);
    memset(info1, 0xFF, sizeof *info1);
    frame_info(pair.frame0, info0);
    edg_pos(pair.frame0, info0);
    frame_info(pair.frame1, info1);
    edg_pos(pair.frame1, info1);
    return pass_result(*info0, *info1, pair.status, interval_ms);
}

}  // namespace krvref
