// The command pipe: a FIFO other processes write 4-byte commands into.
#define LOG_TAG "nav_core"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "base/fifo_io.h"
#include "base/log.h"
#include "base/reissue.h"
#include "core/control_internal.h"
#include "core/thread_block.h"
#include "core/wake_channel.h"
#include "krv_nav.h"

namespace {

constexpr mode_t kPipeMode = 0666;
constexpr long long kBoundedOpenMs = 3000;
constexpr long kOpenRetryPauseNs = 2000000;

// The pipe opened without following a link, and only if it is a FIFO.
int open_fifo(int flags) { return krv::open_fifo_at(KRV_CTL_PIPE, flags); }

// Waits until a writer has sent something or has come and gone, on a pipe
// opened for reading without blocking. A blocking open would wait for ever
// on a pipe that another process deletes or replaces meanwhile: no writer
// can reach it any more, and uinit's "CNL" would go nowhere. So the pipe's
// inode is watched as well, and the wait gives up (false) once the pipe no
// longer has a name. Where the watch cannot be set up, the wait is a plain
// blocking one, as before.
bool await_writer(int fd) {
    int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch >= 0) {
        char self[32];
        const int len = snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
        if (len < 0 || static_cast<size_t>(len) >= sizeof self ||
            inotify_add_watch(watch, self, IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF) < 0) {
            close(watch);
            watch = -1;
        }
    }
    // The first look does not wait: a pipe unlinked between the open and
    // the watch raises no event, so its link count is checked once the watch
    // is in place, and again after every event. Data a writer already sent
    // is read first, whatever became of the name.
    bool ok = false;
    for (bool first = watch >= 0;; first = false) {
        struct pollfd fds[2] = {{fd, POLLIN, 0}, {watch, POLLIN, 0}};
        if (krv::reissue_on_eintr([&] { return poll(fds, watch >= 0 ? 2 : 1, first ? 0 : -1); }) < 0) break;
        if (fds[0].revents != 0) {
            ok = true;
            break;
        }
        if (fds[1].revents != 0) {
            alignas(struct inotify_event) char events[256];
            while (read(watch, events, sizeof events) > 0) {}
        }
        if (first || fds[1].revents != 0) {
            struct stat st;
            if (fstat(fd, &st) != 0 || st.st_nlink == 0) break;  // deleted, or replaced by another file
        }
    }
    if (watch >= 0) close(watch);
    return ok;
}

// Creates the pipe and opens it for reading without blocking. Other
// processes must be able to write it whatever this process's umask is (the
// umask itself is left alone), so its mode is set again, through the opened
// descriptor: by then the name may stand for a link another process put
// there, and a link is never followed.
int create_fifo() {
    if (mkfifo(KRV_CTL_PIPE, kPipeMode) != 0 && errno != EEXIST) return -1;
    int fd = open_fifo(O_RDONLY | O_NONBLOCK);
    if (fd >= 0 && fchmod(fd, kPipeMode) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Clears O_NONBLOCK once the open no longer needs it.
bool set_blocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

}  // namespace

namespace krv {

int read_ctl_pipe(char* buffer, bool (*give_up)()) {
    int fd = -1;
    if (access(KRV_CTL_PIPE, F_OK) != 0) {
        fd = create_fifo();
        if (fd < 0) {
            KRV_LOGE("Cannot create nav ctl fifo file\n");
            return -1;
        }
        KRV_LOGD("mkfifo nav ctl success\n");
    }
    KRV_LOGD("access or mkfifo nav ctl success\n");
    // The open does not block; the wait for a writer comes after it, and
    // the descriptor then blocks again for the read.
    if (fd < 0) fd = open_fifo(O_RDONLY | O_NONBLOCK);
    if (fd >= 0 && give_up != nullptr && give_up()) {
        close(fd);
        return 0;
    }
    if (fd >= 0 && (!await_writer(fd) || !set_blocking(fd))) {
        close(fd);
        fd = -1;
    }
    if (fd < 0) {
        KRV_LOGE("Open nav ctl fifo file error\n");
        return -2;
    }
    KRV_LOGD("Open nav ctl success\n");
    memset(buffer, 0, 4);
    ssize_t n = krv::reissue_on_eintr([&] { return read(fd, buffer, kCommandBufferSize); });
    if (n > 0) {
        buffer[n - 1] = '\0';
        KRV_LOGD("Read len = %d: \"%s\" from nav ctl FIFO\n", static_cast<int>(n), buffer);
    }
    close(fd);
    return n < 0 ? -1 : static_cast<int>(n);
}

int write_ctl_command(const char* command, bool bounded) {
    // Bounded: while the control thread is alive it may not have created or
    // opened the pipe yet, and a blocking open without a reader would wait
    // for ever. So retry without blocking, 2 ms apart, for at most 3 s on
    // the monotonic clock. The descriptor stays non-blocking for the write:
    // uinit's 4-byte "CNL" is shorter than PIPE_BUF, so it goes in whole,
    // or (the pipe full, no reader draining it) fails at once instead of
    // blocking.
    const WakeDeadline until = monotonic_deadline_after(kBoundedOpenMs);
    int fd = -1;
    for (;;) {
        const bool retry = bounded && !monotonic_deadline_passed(until) && has_thread(gFingerprintVarNavCtl);
        if (access(KRV_CTL_PIPE, F_OK) != 0) {
            if (!retry) {
                // "do not not": the doubled word is part of the line log readers match.
                KRV_LOGE("nav ctl fifo file do not not exist\n");
                return -1;
            }
        } else {
            fd = open_fifo(bounded ? O_WRONLY | O_NONBLOCK : O_WRONLY);
            if (fd >= 0 || !retry || errno != ENXIO) break;
        }
        struct timespec pause = {0, kOpenRetryPauseNs};
        nanosleep(&pause, nullptr);
    }
    if (fd < 0) {
        KRV_LOGE("Open fifo file error\n");
        return -1;
    }
    size_t len = strlen(command) + 1;
    const ssize_t n = krv::write_without_sigpipe(fd, command, len);
    if (n > 0) KRV_LOGD("Write '%s' to nav ctl FIFO\n", command);
    close(fd);
    return n < 0 ? -1 : static_cast<int>(n);
}

}  // namespace krv

extern "C" int read_navCtlPipe(char* buffer) { return krv::read_ctl_pipe(buffer, nullptr); }

extern "C" int wirte_navCtlPipe(const char* command) { return krv::write_ctl_command(command, false); }
