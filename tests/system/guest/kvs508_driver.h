// The test driver kvs508 as the guest controls and reads it: counters and
// settings under /sys/class/misc/kvs508/, frame pairs written to the node.
#pragma once

#include <stdint.h>

#include "krv_nav.h"

namespace krvsys {

// A counter or setting of the driver; -1 when it cannot be read.
long long drv(const char* attr);
bool drv_set(const char* attr, const char* value);
// A touch: the driver raises SIGIO on every armed descriptor.
void touch();
// The pair the next frame request returns, after `delay_ms`.
bool set_pair(const FramePair& pair, int delay_ms);

// A frame pair with a w x h rectangle of touch pixels (value 100) at
// (col, row) in each frame; all else 255.
struct Blob {
    int col, row, w, h;
};
FramePair make_pair(Blob a, Blob b, uint8_t status = 0);

// The navigation thread waits for a touch with exactly one armed descriptor.
bool nav_armed();

// In a child process (the library's handler is not installed there):
// O_ASYNC given to open() arms nothing, while F_SETFL arms the descriptor.
void fasync_arming();

}  // namespace krvsys
