#include "pipe_writer.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

namespace krvtools {

namespace {

constexpr long kRetryPauseNs = 2000000;

long long monotonic_us() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000LL + t.tv_nsec / 1000;
}

// Opens the pipe for writing without blocking and without following a
// link; the name may have been replaced since it was inspected, so the
// descriptor must still be a FIFO.
int open_fifo_writer(const char* path) {
    int fd;
    do {
        fd = open(path, O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

bool sigpipe_pending() {
    sigset_t pending;
    return sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
}

// One write with SIGPIPE held back on this thread; a SIGPIPE the write
// raised is taken back before the mask is restored.
ssize_t write_without_sigpipe(int fd, const void* data, size_t len) {
    sigset_t pipe_only, old;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    const int rc = pthread_sigmask(SIG_BLOCK, &pipe_only, &old);
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    const bool was_pending = sigpipe_pending();
    ssize_t n;
    do {
        n = write(fd, data, len);
    } while (n < 0 && errno == EINTR);
    const int err = errno;
    if (n < 0 && err == EPIPE && !was_pending && sigpipe_pending()) {
        int taken;
        sigwait(&pipe_only, &taken);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = err;
    return n;
}

}  // namespace

PipeStatus inspect_pipe(const char* path, struct stat* st) {
    if (lstat(path, st) != 0) return PipeStatus::kMissing;
    return S_ISFIFO(st->st_mode) ? PipeStatus::kSent : PipeStatus::kNotFifo;
}

PipeResult send_command(const char* path, const char* command, long timeout_ms) {
    struct stat st;
    const PipeStatus found = inspect_pipe(path, &st);
    if (found != PipeStatus::kSent) return {found};
    // A non-blocking open fails with ENXIO while no reader has the pipe.
    const long long until = monotonic_us() + timeout_ms * 1000LL;
    int fd;
    for (;;) {
        fd = open_fifo_writer(path);
        if (fd >= 0) break;
        if (errno == ENOENT) return {PipeStatus::kMissing};
        if (errno != ENXIO) return {PipeStatus::kOpenFailed, errno};
        if (monotonic_us() >= until) return {PipeStatus::kNoReader};
        struct timespec pause = {0, kRetryPauseNs};
        nanosleep(&pause, nullptr);
    }
    const char message[4] = {command[0], command[1], command[2], '\0'};
    PipeResult result{PipeStatus::kSent, 0, monotonic_us()};
    const ssize_t n = write_without_sigpipe(fd, message, sizeof message);
    if (n != static_cast<ssize_t>(sizeof message)) {
        result.status = PipeStatus::kShortWrite;
        result.error = n < 0 ? errno : 0;
    }
    close(fd);
    return result;
}

}  // namespace krvtools
