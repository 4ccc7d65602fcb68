// The touch classification written the plain way, as it is described: one
// loop per step over every pixel index, row and column from index div/mod
// 72. It logs nothing and keeps no state (the pass duration is an
// argument). The benchmarks measure the library against it and the
// differential test checks that both agree byte for byte.
#pragma once

#include <stdint.h>

#include "krv_nav.h"

namespace krvref {

// Summary of rows 0..126: level, invalid (only ever set to 1) and centre.
// Returns the mean level.
uint8_t frame_info(const uint8_t* frame, FrameInfo* info);
// The four edge points; needs `level` from frame_info and the first points
// at 0xFF.
void edg_pos(const uint8_t* frame, FrameInfo* info);
// The pass's direction and tap rules; returns the result code.
uint8_t move_dir_5406(const FrameInfo* first, const FrameInfo* second, int32_t interval_ms);

// The pass's decision from its two records: an invalid frame gives 0, then
// the driver flag gives 7, otherwise the direction rules decide.
int pass_result(const FrameInfo& info0, const FrameInfo& info1, uint8_t status, int32_t interval_ms);

// The analysis of one pair as a pass does it: both records start at 0xFF,
// summary and edge points per frame, then invalid -> 0, driver flag -> 7,
// otherwise the direction rules with `interval_ms` as the pass duration.
int classify_pair(const FramePair& pair, int32_t interval_ms, FrameInfo* info0, FrameInfo* info1);

}  // namespace krvref
