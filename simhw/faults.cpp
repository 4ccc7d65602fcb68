// Fault injection: the next calls of one kind fail with a chosen error, and
// files under one folder cannot be created or take no data.
#include <errno.h>
#include <fcntl.h>
#include <string.h>

#include <mutex>

#include "simhw/internal.h"

namespace krvtest {

namespace sim {

namespace {

struct FaultSlot {
    std::atomic<int> left{0}, err{0}, calls{0};
};
FaultSlot g_faults[static_cast<int>(Fault::kCount)];

FdTable g_file_fds;  // descriptors of files written under g_files_dir
std::mutex g_files_mu;
std::string g_files_dir;
std::atomic<int> g_files_err{0};

}  // namespace

bool inject(Fault call) {
    FaultSlot& s = g_faults[static_cast<int>(call)];
    s.calls.fetch_add(1);
    for (int left = s.left.load(); left > 0;) {
        if (s.left.compare_exchange_weak(left, left - 1)) {
            errno = s.err.load();
            return true;
        }
    }
    return false;
}

bool under_failing_dir(const char* path, int flags) {
    if ((flags & O_ACCMODE) == O_RDONLY || g_files_err.load() == 0 || path == nullptr) return false;
    std::lock_guard<std::mutex> lk(g_files_mu);
    return strncmp(path, g_files_dir.c_str(), g_files_dir.size()) == 0;
}

int file_open_error(const char* path, int flags) {
    const int err = g_files_err.load();
    return err != ENOSPC && under_failing_dir(path, flags) ? err : 0;
}

void file_opened(int fd) { g_file_fds.claim(fd); }

void file_note_close(int fd) { g_file_fds.release(fd); }

bool file_write_fails(int fd) {
    if (g_files_err.load() != ENOSPC || !g_file_fds.owns(fd)) return false;
    errno = ENOSPC;
    return true;
}

void faults_reset() {
    for (auto& f : g_faults) f.left = f.err = f.calls = 0;
    g_files_err = 0;
}

}  // namespace sim

void fault_fail_next(Fault call, int count, int err) {
    sim::FaultSlot& s = sim::g_faults[static_cast<int>(call)];
    s.err = err;
    s.left = count;
}

int fault_calls(Fault call) { return sim::g_faults[static_cast<int>(call)].calls.load(); }

void files_fail(const std::string& dir, int err) {
    std::lock_guard<std::mutex> lk(sim::g_files_mu);
    sim::g_files_dir = dir;
    sim::g_files_err = err;
}

}  // namespace krvtest
