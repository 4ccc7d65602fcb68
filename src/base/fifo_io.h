// Opening and writing a FIFO safely, for the library's command pipe and
// for the tools that write it from another process.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/reissue.h"

namespace krv {

// Opens `path` without following a link and only if it is a FIFO (EINVAL
// otherwise); close-on-exec.
inline int open_fifo_at(const char* path, int flags) {
    int fd = reissue_on_eintr([path, flags] { return open(path, flags | O_NOFOLLOW | O_CLOEXEC); });
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

// What stands at a path instead of a FIFO, for messages ("not a FIFO but
// a symbolic link").
inline const char* file_kind(mode_t mode) {
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISREG(mode)) return "a regular file";
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISSOCK(mode)) return "a socket";
    return "a device node";
}

inline bool sigpipe_pending() {
    sigset_t pending;
    return sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
}

// Writes with SIGPIPE held back on this thread. A reader that closes
// between the writer's open and its write makes the write fail with EPIPE,
// and the SIGPIPE the kernel sends along would end the host process; one
// the write raised is taken back before the thread's mask is restored.
inline ssize_t write_without_sigpipe(int fd, const void* data, size_t len) {
    sigset_t pipe_only, old;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    const int rc = pthread_sigmask(SIG_BLOCK, &pipe_only, &old);
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    const bool was_pending = sigpipe_pending();
    const ssize_t n = reissue_on_eintr([&] { return write(fd, data, len); });
    const int err = errno;
    if (n < 0 && err == EPIPE && !was_pending && sigpipe_pending()) {
        int taken;
        sigwait(&pipe_only, &taken);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = err;
    return n;
}

}  // namespace krv
