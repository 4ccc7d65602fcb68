// What the files of the simulated hardware share: the C library's own
// entry points, descriptor tables, and each device's part of the
// interposers in interposers.cpp.
#pragma once

#include <stddef.h>
#include <sys/time.h>
#include <sys/types.h>

#include <atomic>
#include <string>

#include "simhw/sim_hardware.h"

namespace krvtest::sim {

// ---- the C library's definitions (real_libc.cpp)
void* resolve(const char* name);
template <typename Fn>
Fn real(const char* name) {
    return reinterpret_cast<Fn>(resolve(name));
}
int real_close(int fd);
int real_fcntl(int fd, int cmd, unsigned long arg);

// ---- descriptors of one kind, up to 64 open at once (real_libc.cpp)
class FdTable {
  public:
    static constexpr int kSlots = 64;
    // Slot of `fd`, -1 when it is not in the table.
    int find(int fd) const;
    bool owns(int fd) const { return find(fd) >= 0; }
    // Adds `fd` and returns its slot; more than 64 at once is a leak in the
    // library and aborts.
    int claim(int fd);
    // Removes `fd`; true when it was there.
    bool release(int fd);
    int count() const;
    // The descriptor in slot i, -1 when free.
    int at(int i) const { return slots_[i].load() - 1; }
    void free_slot(int i) { slots_[i].store(0); }

  private:
    std::atomic<int> slots_[kSlots] = {};  // descriptor + 1, 0 = free
};

// A socket pair standing in for a device node: close-on-exec on the
// library's end (sv[0]) only if the open asked for it (O_CLOEXEC), always on
// ours. Counts the opens a child would inherit.
bool node_pair(int type, int open_flags, int sv[2]);
void node_reset();

// A node that is not there: false, with errno ENOENT, when `present` is
// false.
bool node_there(bool present);

// ---- sensor (sensor.cpp)
bool is_sensor(int fd);
int sensor_open(int flags);
// Closes the library's end, then ours.
int sensor_close(int fd);
int sensor_ioctl(int fd, unsigned long request, void* arg);
// The library's fcntl on a sensor descriptor, with the arming hook.
int sensor_fcntl(int fd, int cmd, unsigned long arg, const char* sym);

// ---- input node (input_node.cpp)
bool is_input(int fd);
int input_open(int flags);
void input_note_close(int fd);
// EVIOCGNAME and EVIOCGBIT on an input descriptor.
int input_ioctl(unsigned long request, void* arg);
// The length a write of `n` bytes to an input descriptor delivers.
size_t input_write_length(size_t n);
void input_reset();

// ---- command pipe (command_pipe.cpp)
bool is_pipe_path(const char* path);
// The pipe's path, its folder's or that of a file right in it.
bool is_redirected(const char* path);
// The pipe's path, its folder's and those of other files right in that
// folder redirected into the temporary folder; any other path as it is.
const char* redirect(const char* path, std::string& storage);
void pipe_opened(int fd, int flags);
bool is_pipe(int fd);
void pipe_note_close(int fd);
// A FIFO made in the pipe's folder (under the pipe's name or another).
void pipe_created(const char* real_path);
void pipe_read_done();
void pipe_reset();

// ---- clock (clock.cpp)
int clock_gettimeofday(struct timeval* tv, void* tz);
void clock_reset();

// ---- faults (faults.cpp)
// Counts the call; true, with errno set, when it is to fail.
bool inject(Fault call);
// The error opens for writing under the failing folder get (0: none).
int file_open_error(const char* path, int flags);
bool under_failing_dir(const char* path, int flags);
void file_opened(int fd);
void file_note_close(int fd);
// True, with errno ENOSPC, when a write to `fd` is to fail.
bool file_write_fails(int fd);
void faults_reset();

}  // namespace krvtest::sim
