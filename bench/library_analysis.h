// The frame analysis of one pair as a pass does it, through the library's
// exported functions: both records start at 0xFF, summary and edge points
// per frame, then the pass's direction rules.
#pragma once

#include <string.h>

#include "krv_nav.h"

namespace krvbench {

inline void analyse_pair(const FramePair& p, FrameInfo* a, FrameInfo* b) {
    memset(a, 0xFF, sizeof *a);
    memset(b, 0xFF, sizeof *b);
    cal_frame_info(p.frame0, a);
    cal_edg_pos(p.frame0, a);
    cal_frame_info(p.frame1, b);
    cal_edg_pos(p.frame1, b);
    cal_move_dir_5406(a, b);
}

}  // namespace krvbench
