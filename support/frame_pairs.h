// Generated frame pairs for the frame-analysis benchmarks and the
// differential test: a few named shapes of touch, and a deterministic
// stream of random and adversarial pairs.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "krv_nav.h"

namespace krvgen {

enum class Shape { Swipe, Tap, Empty, Dark, Noisy };
constexpr Shape kShapes[] = {Shape::Swipe, Shape::Tap, Shape::Empty, Shape::Dark, Shape::Noisy};

const char* shape_name(Shape s);
// A finger-like touch on a light, slightly noisy background: moving 50 rows
// down (Swipe) or a few pixels (Tap); all 255 (Empty); all 0 (Dark); every
// pixel random (Noisy).
void make_shape(Shape s, FramePair* pair);

// Pair number `index` of a stream that mixes uniform frames (0, 199, 200,
// 201, 255), single dark pixels at every border position, touch counts
// around 200, random blobs, sparse and dense noise, values around the edge
// threshold and random status bytes. The same index always gives the same
// pair.
void make_stream_pair(uint64_t index, FramePair* pair);

}  // namespace krvgen
