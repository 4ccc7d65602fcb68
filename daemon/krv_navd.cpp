// krv-navd: hosts the navigation library in a process of its own.
//
// It takes the lock of the pipe's folder (one daemon per pipe), starts the
// navigation and control threads, sleeps until SIGTERM or SIGINT and then
// ends them through the command pipe ("CNL"). SIGIO, which
// the sensor driver raises on a touch, is blocked in this thread once the
// workers exist, so only the library's threads take it. The enable property
// is written only when asked (--enable, --disable).
#include <errno.h>
#include <getopt.h>
#include <grp.h>
#include <limits.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "base/shared_word.h"
#include "daemon_log.h"
#include "krv_nav.h"
#include "pipe_folder.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kNotDone = -1;  // parse_options: go on and run
// krv_nav_core_ctl_uinit gives up on its "CNL" after 3 s; the workers then
// need microseconds to end, or one classification pass (at most a frame
// request) when a touch is being handled.
constexpr long kWorkerEndWaitMs = 2000;
constexpr long kWorkerEndPauseNs = 5000000;
constexpr size_t kNameBufferSize = 4096;

enum class EnableRequest { kLeave, kEnable, kDisable };

struct Options {
    EnableRequest enable = EnableRequest::kLeave;
    krvd::FolderSettings folder;
};

enum OptionId { kOptEnable = 256, kOptDisable, kOptDirOwner, kOptDirGroup, kOptDirMode };

constexpr const char* kUsageLine =
    "usage: krv-navd [--enable | --disable] [--dir-owner USER] [--dir-group GROUP] [--dir-mode MODE]\n";

void print_usage(FILE* out) {
    char folder[PATH_MAX];
    if (!krvd::pipe_folder_path(folder, sizeof folder)) folder[0] = '\0';
    fprintf(out,
            "%s"
            "\n"
            "Hosts the fingerprint navigation library: starts its navigation and control\n"
            "threads, runs until SIGTERM or SIGINT, then ends them and exits 0.\n"
            "\n"
            "  --enable, --disable  write \"enable\" or \"disable\" into persist.korrivan.nav\n"
            "                       before starting (default: leave the property alone)\n"
            "  --dir-owner USER     owner (name or number) of the command pipe's folder\n"
            "                       %s when krv-navd creates it\n"
            "                       (default: krv-navd's own user)\n"
            "  --dir-group GROUP    its group (default: krv-navd's own group)\n"
            "  --dir-mode MODE      its mode, octal, at most 0777 (default %04o)\n"
            "  -h, --help           this text\n"
            "\n"
            "Only the last folder of that path is ever created; an existing folder keeps\n"
            "its owner and mode. One krv-navd runs per pipe: it holds a lock (flock) on\n"
            "that folder, and a second one exits at once.\n"
            "\n"
            "Exit status: 0 after SIGTERM or SIGINT once both threads have ended, 1 when\n"
            "the start fails or the threads did not end, 2 for a usage error.\n",
            kUsageLine, folder, static_cast<unsigned>(krvd::kDefaultFolderMode));
}

// `message` and `arg` form one line; a null `message` prints the usage alone.
int usage_error(const char* message, const char* arg) {
    if (message != nullptr) fprintf(stderr, "krv-navd: %s%s\n", message, arg);
    fprintf(stderr, "%s(krv-navd --help describes the options)\n", kUsageLine);
    return kExitUsage;
}

// A decimal id below 2^32 - 1 (which means "unchanged" to chown).
bool parse_id(const char* text, unsigned long* id) {
    if (text[0] < '0' || text[0] > '9') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long value = strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || value >= 0xFFFFFFFFUL) return false;
    *id = value;
    return true;
}

bool parse_owner(const char* text, uid_t* uid) {
    unsigned long id = 0;
    if (parse_id(text, &id)) {
        *uid = static_cast<uid_t>(id);
        return true;
    }
    struct passwd entry;
    struct passwd* found = nullptr;
    char buffer[kNameBufferSize];
    if (getpwnam_r(text, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) return false;
    *uid = entry.pw_uid;
    return true;
}

bool parse_group(const char* text, gid_t* gid) {
    unsigned long id = 0;
    if (parse_id(text, &id)) {
        *gid = static_cast<gid_t>(id);
        return true;
    }
    struct group entry;
    struct group* found = nullptr;
    char buffer[kNameBufferSize];
    if (getgrnam_r(text, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) return false;
    *gid = entry.gr_gid;
    return true;
}

bool parse_mode(const char* text, mode_t* mode) {
    if (text[0] < '0' || text[0] > '7') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long value = strtoul(text, &end, 8);
    if (errno != 0 || *end != '\0' || value > krvd::kMaxFolderMode) return false;
    *mode = static_cast<mode_t>(value);
    return true;
}

// Applies one option; kNotDone to go on, otherwise the exit status.
int apply_option(int id, const char* arg, Options* opt) {
    switch (id) {
        case kOptEnable:
        case kOptDisable: {
            const EnableRequest want = id == kOptEnable ? EnableRequest::kEnable : EnableRequest::kDisable;
            if (opt->enable != EnableRequest::kLeave && opt->enable != want)
                return usage_error("--enable and --disable exclude each other", "");
            opt->enable = want;
            return kNotDone;
        }
        case kOptDirOwner:
            return parse_owner(arg, &opt->folder.owner) ? kNotDone : usage_error("no such user: ", arg);
        case kOptDirGroup:
            return parse_group(arg, &opt->folder.group) ? kNotDone : usage_error("no such group: ", arg);
        case kOptDirMode:
            return parse_mode(arg, &opt->folder.mode) ? kNotDone
                                                      : usage_error("not an octal mode of at most 0777: ", arg);
        case 'h':
            print_usage(stdout);
            return 0;
        default:
            return usage_error(nullptr, nullptr);  // getopt_long has named the fault
    }
}

// kNotDone when the daemon should run, otherwise the exit status (--help,
// usage errors).
int parse_options(int argc, char** argv, Options* opt) {
    static const struct option kLongOptions[] = {
        {"enable", no_argument, nullptr, kOptEnable},
        {"disable", no_argument, nullptr, kOptDisable},
        {"dir-owner", required_argument, nullptr, kOptDirOwner},
        {"dir-group", required_argument, nullptr, kOptDirGroup},
        {"dir-mode", required_argument, nullptr, kOptDirMode},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    for (;;) {
        // NOLINTNEXTLINE(concurrency-mt-unsafe): the options are read before any thread exists.
        const int id = getopt_long(argc, argv, "h", kLongOptions, nullptr);
        if (id == -1) break;
        const int status = apply_option(id, optarg, opt);
        if (status != kNotDone) return status;
    }
    if (optind < argc) return usage_error("unexpected argument: ", argv[optind]);
    return kNotDone;
}

const char* error_text(int err) {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): glibc's and bionic's strerror use a per-thread buffer.
    return strerror(err);
}

bool apply_enable_request(EnableRequest request) {
    if (request == EnableRequest::kLeave) return true;
    const bool enable = request == EnableRequest::kEnable;
    const int ret = krv_nav_core_ctl_setSta(enable ? 1 : 0);
    if (ret < 0) {
        krvd::report_error("cannot write \"%s\" into persist.korrivan.nav (property service result %d)",
                           enable ? "enable" : "disable", ret);
        return false;
    }
    return true;
}

// Blocked before any thread exists, so every worker inherits the mask and
// only sigwaitinfo in this thread takes the two signals. A reader gone from
// the pipe must not end the process either: writes then fail with EPIPE.
bool block_stop_signals(sigset_t* stop) {
    if (sigemptyset(stop) != 0 || sigaddset(stop, SIGTERM) != 0 || sigaddset(stop, SIGINT) != 0) {
        krvd::report_error("cannot build the signal set: %s", error_text(errno));
        return false;
    }
    const int err = pthread_sigmask(SIG_BLOCK, stop, nullptr);
    if (err != 0) {
        krvd::report_error("cannot block SIGTERM and SIGINT: %s", error_text(err));
        return false;
    }
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    if (sigemptyset(&ignore.sa_mask) != 0 || sigaction(SIGPIPE, &ignore, nullptr) != 0) {
        krvd::report_error("cannot ignore SIGPIPE: %s", error_text(errno));
        return false;
    }
    return true;
}

// The workers inherit this thread's mask at creation, so SIGIO is blocked
// here only after they exist.
bool block_sigio_here() {
    sigset_t io;
    if (sigemptyset(&io) != 0 || sigaddset(&io, SIGIO) != 0) {
        krvd::report_error("cannot build the signal set: %s", error_text(errno));
        return false;
    }
    const int err = pthread_sigmask(SIG_BLOCK, &io, nullptr);
    if (err != 0) {
        krvd::report_error("cannot block SIGIO in the main thread: %s", error_text(err));
        return false;
    }
    return true;
}

bool start_workers() {
    if (krv_nav_core_init() < 0) {
        krvd::report_error("cannot start the navigation thread (krv_nav_core_init failed, see nav_core)");
        return false;
    }
    if (krv_nav_core_ctl_init() < 0) {
        krvd::report_error("cannot start the control thread (krv_nav_core_ctl_init failed, see nav_core)");
        return false;
    }
    return true;
}

// The signal that asked the daemon to end, or -1 when the wait failed.
int wait_for_stop(const sigset_t& stop) {
    for (;;) {
        siginfo_t info;
        const int sig = sigwaitinfo(&stop, &info);
        if (sig > 0) {
            krvd::report_info("%s from pid %d: ending the workers", sig == SIGTERM ? "SIGTERM" : "SIGINT",
                              static_cast<int>(info.si_pid));
            return sig;
        }
        if (errno != EINTR) {
            krvd::report_error("cannot wait for SIGTERM or SIGINT: %s", error_text(errno));
            return -1;
        }
    }
}

bool workers_gone() {
    return krv::atomic_load(gFingerprintVarNav.thread) == pthread_t{} &&
           krv::atomic_load(gFingerprintVarNavCtl.thread) == pthread_t{};
}

long elapsed_ms(const struct timespec& since) {
    struct timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return kWorkerEndWaitMs;  // no clock: give up waiting
    return (now.tv_sec - since.tv_sec) * 1000 + (now.tv_nsec - since.tv_nsec) / 1000000;
}

// Both workers clear their handle as they end. Nothing signals that, so the
// handles are looked at in short pauses, for a bounded time. False when
// they did not end (or the clock could not be read).
bool await_workers_end() {
    struct timespec start;
    if (clock_gettime(CLOCK_MONOTONIC, &start) != 0) {
        krvd::report_error("cannot read the monotonic clock: %s", error_text(errno));
        return false;
    }
    while (!workers_gone()) {
        if (elapsed_ms(start) >= kWorkerEndWaitMs) {
            krvd::report_error("workers still running %ld ms after the cancel; exiting anyway", kWorkerEndWaitMs);
            return false;
        }
        const struct timespec pause = {0, kWorkerEndPauseNs};
        nanosleep(&pause, nullptr);
    }
    krvd::report_info("both workers ended");
    return true;
}

// True when both workers have ended.
bool stop_workers() {
    krv_nav_core_ctl_uinit();  // always 0; gives up on its "CNL" after a bound
    return await_workers_end();
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    const int parsed = parse_options(argc, argv, &opt);
    if (parsed != kNotDone) return parsed;

    sigset_t stop;
    if (!block_stop_signals(&stop)) return kExitFailure;
    krvd::clear_owner_umask();
    if (!krvd::ensure_pipe_folder(opt.folder)) return kExitFailure;
    if (!krvd::check_pipe_path()) return kExitFailure;  // only looks
    // Before anything opens the pipe or writes the property, and before the
    // workers: a second daemon changes nothing.
    if (!krvd::lock_pipe_folder()) return kExitFailure;
    if (!apply_enable_request(opt.enable)) return kExitFailure;
    if (!start_workers()) return kExitFailure;
    if (!block_sigio_here()) {
        stop_workers();
        return kExitFailure;
    }
    krvd::report_info("running (pid %d): navigation and control threads started", static_cast<int>(getpid()));

    const int sig = wait_for_stop(stop);
    const bool ended = stop_workers();
    return sig > 0 && ended ? 0 : kExitFailure;
}
