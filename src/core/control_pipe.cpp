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

#include <atomic>

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

// The pipe's folder as the path spells it, with its trailing slashes.
constexpr size_t kFolderLength = sizeof(KRV_CTL_PIPE) - sizeof("navCtrlPipe");
static_assert(sizeof(KRV_CTL_PIPE) > sizeof("navCtrlPipe") && KRV_CTL_PIPE[kFolderLength - 1] == '/',
              "the pipe's name is navCtrlPipe, in a folder of its own");
// Where the pipe (or its folder) cannot be watched, the path is looked at
// this often while the reader waits for a writer.
constexpr int kUnwatchedCheckMs = 1000;
// Said once each time the watch goes missing, again after it came back.
std::atomic<bool> gUnwatchedLogged{false};

// Adds a watch on the file `fd` has open (the pipe, or the folder).
bool watch_descriptor(int watch, int fd, uint32_t events) {
    char self[32];
    const int len = snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    return len > 0 && static_cast<size_t>(len) < sizeof self && inotify_add_watch(watch, self, events) >= 0;
}

// Watches the pipe's inode (deleted, renamed, replaced: its link count
// changes or it moves) and its folder (renamed or deleted, or a name in it
// changing). Returns the inotify descriptor, -1 when none could be made;
// `complete` tells whether both watches are in place.
int watch_pipe(int fd, bool* complete) {
    *complete = false;
    const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch < 0) return -1;
    char folder[kFolderLength + 1];
    memcpy(folder, KRV_CTL_PIPE, kFolderLength);
    folder[kFolderLength] = '\0';
    const int dir = krv::reissue_on_eintr([&] { return open(folder, O_PATH | O_DIRECTORY | O_CLOEXEC); });
    const bool pipe_watched = watch_descriptor(watch, fd, IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF);
    const bool folder_watched = dir >= 0 && watch_descriptor(watch, dir,
                                                             IN_DELETE_SELF | IN_MOVE_SELF | IN_CREATE | IN_DELETE |
                                                                 IN_MOVED_FROM | IN_MOVED_TO);
    if (dir >= 0) close(dir);
    *complete = pipe_watched && folder_watched;
    return watch;
}

// The path still leads, without following a link, to the pipe `fd` has
// open: it was not deleted, renamed or moved away, and nothing else stands
// in its place.
bool still_at_path(int fd) {
    struct stat mine, there;
    if (fstat(fd, &mine) != 0 || mine.st_nlink == 0) return false;
    const int at = krv::reissue_on_eintr([] { return open(KRV_CTL_PIPE, O_PATH | O_NOFOLLOW | O_CLOEXEC); });
    if (at < 0) return false;
    const bool same = fstat(at, &there) == 0 && there.st_dev == mine.st_dev && there.st_ino == mine.st_ino;
    close(at);
    return same;
}

// Waits until a writer has sent something or has come and gone, on a pipe
// opened for reading without blocking. A blocking open would wait for ever
// on a pipe that another process deletes, renames or replaces meanwhile: no
// writer can reach it any more, and uinit's "CNL" would go nowhere. So the
// pipe and its folder are watched as well, and the wait gives up (false) as
// soon as the path no longer leads to the open pipe; the caller then makes
// the pipe again at its path. Where no watch can be set up (no inotify
// instance left), the path is looked at once a second instead.
bool await_writer(int fd) {
    bool complete = false;
    const int watch = watch_pipe(fd, &complete);
    if (complete) {
        gUnwatchedLogged.store(false);
    } else if (!gUnwatchedLogged.exchange(true)) {
        KRV_LOGI("nav ctl fifo cannot be watched: its path is checked every %d ms\n", kUnwatchedCheckMs);
    }
    // The first look does not wait: a pipe unlinked or renamed between the
    // open and the watch raises no event, so the path is checked once the
    // watch is in place, and again after every event. Data a writer already
    // sent is read first, whatever became of the name.
    bool ok = false;
    for (bool first = true;; first = false) {
        struct pollfd fds[2] = {{fd, POLLIN, 0}, {watch, POLLIN, 0}};
        const int timeout = first ? 0 : complete ? -1 : kUnwatchedCheckMs;
        const int ready = krv::reissue_on_eintr([&] { return poll(fds, watch >= 0 ? 2 : 1, timeout); });
        if (ready < 0) break;
        if (fds[0].revents != 0) {
            ok = true;
            break;
        }
        if (watch >= 0 && fds[1].revents != 0) {
            alignas(struct inotify_event) char events[256];
            while (read(watch, events, sizeof events) > 0) {}
        }
        if ((ready == 0 || fds[1].revents != 0) && !still_at_path(fd)) break;
    }
    if (watch >= 0) close(watch);
    return ok;
}

// Creates the pipe and opens it for reading without blocking. Other
// processes must be able to write it whatever this process's umask is (the
// umask itself is process-wide and left alone), and nobody may find it at
// its path with any other mode: so it is made under a name of its own in
// the same folder, given its mode there, and only then linked to its path.
// No link is ever followed: the new name is looked at through a descriptor
// opened without following one. Returns the reader's descriptor, or -1;
// `exists` says that another process made the pipe meanwhile (open that one).
int create_fifo(bool* exists) {
    static std::atomic<unsigned> made{0};
    *exists = false;
    char fresh[sizeof(KRV_CTL_PIPE) + 32];
    const int len =
        snprintf(fresh, sizeof fresh, "%s.%d.%u.new", KRV_CTL_PIPE, static_cast<int>(getpid()), made.fetch_add(1));
    if (len < 0 || static_cast<size_t>(len) >= sizeof fresh) return -1;
    if (mkfifo(fresh, kPipeMode) != 0) return -1;
    int fd = -1;
    const int at = krv::reissue_on_eintr([&] { return open(fresh, O_PATH | O_NOFOLLOW | O_CLOEXEC); });
    struct stat st;
    char self[32];
    if (at >= 0 && fstat(at, &st) == 0 && S_ISFIFO(st.st_mode) &&
        snprintf(self, sizeof self, "/proc/self/fd/%d", at) > 0 && chmod(self, kPipeMode) == 0) {
        fd = krv::open_fifo_at(fresh, O_RDONLY | O_NONBLOCK);
        struct stat opened;
        if (fd >= 0 && (fstat(fd, &opened) != 0 || opened.st_ino != st.st_ino || opened.st_dev != st.st_dev)) {
            close(fd);
            fd = -1;
        }
    }
    if (at >= 0) close(at);
    if (fd >= 0 && link(fresh, KRV_CTL_PIPE) != 0) {
        *exists = errno == EEXIST;
        close(fd);
        fd = -1;
    }
    unlink(fresh);
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
        bool exists = false;
        fd = create_fifo(&exists);
        if (fd < 0 && !exists) {
            KRV_LOGE("Cannot create nav ctl fifo file\n");
            return -1;
        }
        if (fd >= 0) KRV_LOGD("mkfifo nav ctl success\n");
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
        const bool reader_alive = has_thread(gFingerprintVarNavCtl);
        // The control thread ended meanwhile (on the cancel stored before
        // this write): nobody is left to read the command, and nobody needs it.
        if (bounded && !reader_alive) {
            KRV_LOGD("nav ctl thread has ended: '%s' not written\n", command);
            return 0;
        }
        const bool retry = bounded && !monotonic_deadline_passed(until);
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
