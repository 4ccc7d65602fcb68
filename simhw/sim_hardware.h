// Simulated hardware for test and tool binaries, one file per device:
// sensor.cpp, input_node.cpp, command_pipe.cpp, clock.cpp, faults.cpp; the
// C library entry points the binary defines in their place (open, close,
// ioctl, fcntl, read, write, access, mkfifo, mkdir, rmdir, chmod,
// gettimeofday) are in interposers.cpp. They take precedence over the C library's for the
// library too, act only on the fixed paths and pass everything else
// through.
//
// - "/dev/kvs508": open gives one end of a socketpair, so the library's
//   F_SETOWN / O_ASYNC arming is real; touch() writes a byte to the other
//   end, and the kernel raises SIGIO only if the descriptor was armed. The
//   frame request copies the pair set here (after an optional delay); the
//   key request records its byte.
// - "/dev/input/event2": open gives one end of a SOCK_SEQPACKET pair, so
//   every write arrives as one packet; a thread drains the packets into a
//   list of records. EVIOCGNAME and EVIOCGBIT are answered as a touch panel
//   would answer them.
// - Either node's descriptor is close-on-exec only if the open asked for it
//   (O_CLOEXEC), as with a real node.
// - The command pipe path is redirected into a temporary directory, where
//   it is a real FIFO; the pipe's folder path stands for that directory
//   (KRV_SIM_DATA_DIR, for a preloaded host that makes the folder itself:
//   see command_pipe.cpp).
// - A preloaded host (krv-navd) is steered from outside through a control
//   socket: see remote_control.cpp.
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
// Of those, the ones armed for touch notification (owner this process,
// O_ASYNC set): a touch now is sure to raise SIGIO.
int sensor_armed_count();
// Waits up to `ms` (monotonic clock, 1 ms pauses) until a sensor descriptor
// is armed; false when none is by then.
bool sensor_wait_armed(int ms);
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
// From now on gettimeofday reads `seconds` ahead of the kernel's real-time
// clock, which is what absolute real-time waits end by: every deadline the
// library takes from the time of day lies that much further off, as when
// the clock is stepped back by `seconds` right after each read. 0 ends it.
void clock_stepped_back(long seconds);

// ---- input node
struct Packet {
    size_t size;               // bytes of the write
    struct input_event ev;     // its content when size == sizeof(input_event)
    long long written_us = 0;  // CLOCK_MONOTONIC time of the library's write
};
void input_set_present(bool present);
std::vector<Packet> input_packets();
void input_clear();
// Waits up to `ms` for at least n packets; returns the count seen.
size_t input_wait(size_t n, int ms);
int input_opens();
int input_closes();
// The panel behind the input node, as EVIOCGNAME and EVIOCGBIT report it:
// the name "krv simulated touch panel", the event types EV_SYN, EV_KEY and
// EV_ABS, the keys KEY_LEFT, KEY_RIGHT, KEY_BACK, KEY_HOMEPAGE, BTN_TOUCH
// and BTN_TOOL_FINGER, the axes ABS_MT_SLOT, ABS_MT_TOUCH_MAJOR,
// ABS_MT_POSITION_X, ABS_MT_POSITION_Y and ABS_MT_TRACKING_ID. Other
// requests fail with ENOTTY, as on a node that is no input device.
constexpr const char* kPanelName = "krv simulated touch panel";
// From now on the panel does not declare `code` of event type `type`
// (type 0: the event type `code` itself); sensor_reset declares all again.
void input_panel_lacks(uint16_t type, uint16_t code);
// Waits up to `ms` until every input session opened so far has been read to
// its end (the library closed it and all its packets are in the list).
bool input_wait_drained(int ms);

// ---- command pipe
// Where the command pipe really is in this process.
std::string pipe_real_path();

// ---- fault injection (sensor_reset clears every fault)
// The binary also defines read, write and fcntl for these.
// kSensorFcntl: any fcntl on a sensor descriptor (the arming).
enum class Fault { kSensorOpen, kSensorIoctl, kSensorFcntl, kInputOpen, kInputWrite, kPipeOpen, kPipeRead, kCount };
// The next `count` calls of that kind fail with `err` before doing anything
// (EINTR: as if a signal interrupted them; EAGAIN on input writes: a full
// queue).
void fault_fail_next(Fault call, int count, int err);
// Calls of that kind made since the last reset, failed ones included.
int fault_calls(Fault call);
// Input-node writes deliver only their first `bytes` bytes and report that
// count (0: whole writes).
void input_short_writes(size_t bytes);
// The sensor node disappears (opens fail with ENOENT) and every open sensor
// descriptor is hung up; sensor_set_present(true) brings it back.
void sensor_vanish();
// Runs `hook` inside the library's fcntl(F_SETFL, ... | O_ASYNC) on a sensor
// descriptor, right after the arming took effect (nullptr: none).
void sensor_on_arm(void (*hook)());
// Runs `hook` once, right after the next open of the command pipe for
// reading has succeeded (nullptr: none).
void pipe_on_reader_open(void (*hook)());
// The same for the next open of the command pipe for writing.
void pipe_on_writer_open(void (*hook)());
// Runs `hook` once, right after the library's next mkfifo in the pipe's
// folder has made a FIFO there (under the pipe's name, or a name of its own
// it links to the pipe's path later), with the FIFO's real path (nullptr:
// none).
void pipe_on_create(void (*hook)(const char* real_path));
// Runs `hook` once, right after the library's next read from the command
// pipe has returned data, before the library goes on (nullptr: none).
void pipe_on_read(void (*hook)());
// Opens of the sensor or input node since the last reset whose descriptor
// a child would inherit across exec (no close-on-exec).
int node_opens_inheritable();
// Files under `dir` cannot be created (EROFS, EACCES) or take no data
// (ENOSPC: writes fail); err 0 clears the fault.
void files_fail(const std::string& dir, int err);

}  // namespace krvtest
