// The summaries the library's exported frame analysis computes for a pair.
#include <string.h>

#include "frame_tools.h"

namespace krvsim {

PairInfo analyse(const FramePair& pair) {
    PairInfo i;
    memset(&i, 0xFF, sizeof i);
    cal_frame_info(pair.frame0, &i.first);
    cal_edg_pos(pair.frame0, &i.first);
    cal_frame_info(pair.frame1, &i.second);
    cal_edg_pos(pair.frame1, &i.second);
    return i;
}

}  // namespace krvsim
