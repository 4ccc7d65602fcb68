// The summaries the library's exported frame analysis computes for a pair.
#include "frame_tools.h"
#include "support/pair_analysis.h"

namespace krvsim {

PairInfo analyse(const FramePair& pair) {
    PairInfo i;
    krvpair::analyse_frames(pair, &i.first, &i.second);
    return i;
}

}  // namespace krvsim
