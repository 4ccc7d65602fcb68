// Simulated hardware for test and tool binaries. The binary defines open,
// close, ioctl, access, mkfifo, chmod and gettimeofday, which take
// precedence over the C library's for the library too; they act only on
// the fixed paths and pass everything else through.
//
// - "/dev/kvs508": open gives one end of a socketpair, so the library's
//   F_SETOWN / O_ASYNC arming is real; touch() writes a byte to the other
//   end, and the kernel raises SIGIO only if the descriptor was armed. The
//   frame request copies the pair set here (after an optional delay); the
//   key request records its byte.
// - "/dev/input/event2": open gives one end of a SOCK_SEQPACKET pair, so
//   every write arrives as one packet; a thread drains the packets into a
//   list of records.
// - The command pipe path is redirected into a temporary directory, where
//   it is a real FIFO.
#pragma once

#include <linux/input.h>
#include <stdint.h>
#include <sys/time.h>

#include <string>
#include <vector>

#include "krv_nav.h"

namespace krvtest {

// Back to: sensor and input node present, light frames, no delay, no
// records, no reported keys, scripted clock empty, pipe removed.
void sensor_reset();

void sensor_set_present(bool present);
void sensor_set_frames(const FramePair& pair);
void sensor_set_fetch_delay_ms(int ms);
int sensor_frame_requests();
std::vector<uint8_t> sensor_reported_keys();
// Sensor descriptors the library has open now.
int sensor_open_count();
// Simulates a touch: one byte to every open sensor descriptor. Returns how
// many descriptors it reached.
int touch();

// A frame pair with a rectangle of touch pixels (value `level`) of
// w x h pixels at (col, row) in each frame; all else 255.
struct Blob {
    int col, row, w, h;
    uint8_t level = 100;
};
FramePair make_pair(Blob first, Blob second, uint8_t status = 0);

// The next gettimeofday calls return these times, in order; then the real
// clock again.
void script_clock(std::vector<struct timeval> times);

// ---- input node
struct Packet {
    size_t size;            // bytes of the write
    struct input_event ev;  // its content when size == sizeof(input_event)
};
void input_set_present(bool present);
std::vector<Packet> input_packets();
void input_clear();
// Waits up to `ms` for at least n packets; returns the count seen.
size_t input_wait(size_t n, int ms);
int input_opens();
int input_closes();

// ---- command pipe
// Where the command pipe really is in this process.
std::string pipe_real_path();

}  // namespace krvtest
