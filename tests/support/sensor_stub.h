// A stand-in for the sensor driver inside a test binary: open of
// "/dev/kvs508" gives a real descriptor (of /dev/null) that the ioctls
// below recognise; every other path goes to the C library.
#pragma once

#include <stdint.h>

#include <vector>

#include "krv_nav.h"

namespace krvtest {

void sensor_set_present(bool present);
void sensor_set_frames(const FramePair& pair);
void sensor_set_fetch_delay_ms(int ms);
int sensor_frame_requests();
std::vector<uint8_t> sensor_reported_keys();
void sensor_reset();

// A frame pair with a rectangle of touch pixels (value `level`) of
// w x h pixels at (col, row) in each frame; all else 255.
struct Blob {
    int col, row, w, h;
    uint8_t level = 100;
};
FramePair make_pair(Blob first, Blob second, uint8_t status = 0);

}  // namespace krvtest

namespace krvtest {
// The next gettimeofday calls return these times, in order; then the real
// clock again.
void script_clock(std::vector<struct timeval> times);
}  // namespace krvtest
