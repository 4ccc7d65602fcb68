#include "pipe_writer.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "base/fifo_io.h"

namespace krvtools {

namespace {

constexpr long kRetryPauseNs = 2000000;

long long monotonic_us() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000LL + t.tv_nsec / 1000;
}

// What is at `path` without following a link: kSent for a FIFO (with its
// status in `st`), kMissing or kNotFifo otherwise.
PipeStatus inspect_pipe(const char* path, struct stat* st) {
    if (lstat(path, st) != 0) return PipeStatus::kMissing;
    return S_ISFIFO(st->st_mode) ? PipeStatus::kSent : PipeStatus::kNotFifo;
}

}  // namespace

PipeResult send_command(const char* path, const char* command, long timeout_ms) {
    struct stat st;
    const PipeStatus found = inspect_pipe(path, &st);
    if (found != PipeStatus::kSent) return {found};
    // A non-blocking open fails with ENXIO while no reader has the pipe.
    const long long until = monotonic_us() + timeout_ms * 1000LL;
    int fd;
    for (;;) {
        // Not blocking, no link followed, a FIFO only.
        fd = krv::open_fifo_at(path, O_WRONLY | O_NONBLOCK);
        if (fd >= 0) break;
        if (errno == ENOENT) return {PipeStatus::kMissing};
        if (errno != ENXIO) return {PipeStatus::kOpenFailed, errno};
        if (monotonic_us() >= until) return {PipeStatus::kNoReader};
        struct timespec pause = {0, kRetryPauseNs};
        nanosleep(&pause, nullptr);
    }
    const char message[4] = {command[0], command[1], command[2], '\0'};
    PipeResult result{PipeStatus::kSent, 0, monotonic_us()};
    const ssize_t n = krv::write_without_sigpipe(fd, message, sizeof message);
    if (n != static_cast<ssize_t>(sizeof message)) {
        result.status = PipeStatus::kShortWrite;
        result.error = n < 0 ? errno : 0;
    }
    close(fd);
    return result;
}

}  // namespace krvtools
