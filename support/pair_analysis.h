// The frame analysis of one pair as a pass does it, through the library's
// exported functions: both records start at 0xFF, then the summary and the
// edge points of each frame. (The plain reference in reference_analysis.h
// stays apart: it is the independent check of these functions.)
#pragma once

#include <string.h>

#include "krv_nav.h"

namespace krvpair {

inline void analyse_frames(const FramePair& p, FrameInfo* first, FrameInfo* second) {
    memset(first, 0xFF, sizeof *first);
    memset(second, 0xFF, sizeof *second);
    cal_frame_info(p.frame0, first);
    cal_edg_pos(p.frame0, first);
    cal_frame_info(p.frame1, second);
    cal_edg_pos(p.frame1, second);
}

// analyse_frames, then the pass's direction rules (cal_move_dir_5406).
inline void analyse_pair(const FramePair& p, FrameInfo* first, FrameInfo* second) {
    analyse_frames(p, first, second);
    cal_move_dir_5406(first, second);
}

}  // namespace krvpair
