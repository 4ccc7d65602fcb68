// Arbitrary command-pipe contents, 0 to 1024 bytes in one write, through the
// real FIFO and the real control thread. Each input is compared with what
// the commands it holds must do: every complete 4-byte message in order,
// "STP" stopping navigation, "STT" resuming it (after its one-second pause,
// which this binary's clock_nanosleep records instead of sleeping) and "CNL" ending
// the control thread.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "fuzz_check.h"
#include "krv_nav.h"
#include "simhw/sim_hardware.h"
#include "support/log_capture.h"

namespace {

std::atomic<int> g_start_pauses{0};
std::vector<krvtest::LogLine> g_prev;  // the lines of the previous input

// On a failed check, the lines of this input and the one before.
void dump_lines() {
    for (const auto& l : g_prev) fprintf(stderr, "previous input logged: %s\n", l.text.c_str());
    for (const auto& l : krvtest::logs()) fprintf(stderr, "logged: %s\n", l.text.c_str());
}
#undef FUZZ_CHECK_HOOK
#define FUZZ_CHECK_HOOK() dump_lines()
constexpr int kMaxLen = 1024;
// The log capture keeps at most this many characters of a line.
constexpr size_t kCapturedLineMax = 1023;
const char* const kRunning = "thNavigationCtlFunc Running ...";

int state(ThreadControlBlock& b) { return __atomic_load_n(&b.state, __ATOMIC_SEQ_CST); }
bool has_thread(ThreadControlBlock& b) { return __atomic_load_n(&b.thread, __ATOMIC_SEQ_CST) != 0; }

// True once a "Running" line follows the first "Open nav ctl success" line
// of this input: the pass that read this input's write is over.
bool pass_done() {
    bool opened = false;
    for (const auto& l : krvtest::logs()) {
        if (l.text == "Open nav ctl success\n") opened = true;
        if (opened && l.text == kRunning) return true;
    }
    return false;
}

// A thread of this process asleep waiting for a writer on the pipe: in the
// pipe open, or in the poll the reader uses to wait for one.
bool reader_asleep() {
    DIR* d = opendir("/proc/self/task");
    if (d == nullptr) return false;
    bool asleep = false;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        char path[64], wchan[64] = {0};
        snprintf(path, sizeof path, "/proc/self/task/%s/wchan", e->d_name);
        FILE* f = fopen(path, "r");
        if (f == nullptr) continue;
        size_t got = fread(wchan, 1, sizeof wchan - 1, f);
        fclose(f);
        wchan[got] = '\0';
        asleep = asleep || strcmp(wchan, "wait_for_partner") == 0 || strncmp(wchan, "poll_schedule_timeout", 21) == 0 ||
                 strcmp(wchan, "do_sys_poll") == 0;
    }
    closedir(d);
    return asleep;
}

// The control thread waiting for a writer with none around. A reader that
// reopens while a writer still holds its end open (the writer had not yet
// closed after its write) gets an extra, empty read; once it sleeps again,
// twice in a row with no line written in between, the next write is
// certain to meet a fresh reader.
bool reader_idle() {
    if (!reader_asleep()) return false;
    const size_t lines = krvtest::logs().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return reader_asleep() && krvtest::logs().size() == lines;
}

// Polls (1 ms apart, 10 s at most) until cond holds.
template <typename F>
bool eventually(F cond) {
    for (int i = 0; i < 10000; ++i) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return cond();
}

// A control thread blocked in its pipe open, with no writer around.
void ensure_reader() {
    if (!has_thread(gFingerprintVarNavCtl)) FUZZ_CHECK(krv_nav_core_ctl_init() == 0, "control thread not created");
    FUZZ_CHECK(eventually(reader_idle), "control thread never waits for a writer");
}

}  // namespace

// The one-second pause before "STT" takes effect (an absolute sleep on the
// monotonic clock) is counted, not slept; shorter sleeps are slept.
extern "C" int clock_nanosleep(clockid_t clock, int flags, const struct timespec* until, struct timespec* left) {
    struct timespec now;
    clock_gettime(clock, &now);
    const long long ahead_ms = (until->tv_sec - now.tv_sec) * 1000LL + (until->tv_nsec - now.tv_nsec) / 1000000;
    if (clock == CLOCK_MONOTONIC && (flags & TIMER_ABSTIME) != 0 && ahead_ms > 500) {
        g_start_pauses.fetch_add(1);
        return 0;
    }
    return static_cast<int>(syscall(SYS_clock_nanosleep, clock, flags, until, left));
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    krvtest::sensor_reset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const size_t n = size < kMaxLen ? size : kMaxLen;
    ensure_reader();
    // Known starting point: navigation running, no navigation thread (so
    // "CNL" has nothing to cancel and only ends the control thread).
    __atomic_store_n(&gFingerprintVarNav.state, STATE_RUN, __ATOMIC_SEQ_CST);
    krvtest::clear_logs();
    g_start_pauses = 0;

    // What the input must do.
    int want_state = STATE_RUN, want_pauses = 0;
    bool want_end = false;
    for (size_t off = 0; off + 4 <= n && !want_end; off += 4) {
        const char* m = reinterpret_cast<const char*>(data + off);
        if (memcmp(m, "STP", 3) == 0) {
            want_state = STATE_STOP;
        } else if (memcmp(m, "STT", 3) == 0) {
            want_state = STATE_RUN;
            ++want_pauses;
        } else if (memcmp(m, "CNL", 3) == 0) {
            want_end = true;
        }
    }

    // One write, as another process would send it; a FIFO write of at most
    // PIPE_BUF bytes arrives whole, so the reader gets it in one read.
    int fd = open(krvtest::pipe_real_path().c_str(), O_WRONLY | O_CLOEXEC);
    FUZZ_CHECK(fd >= 0, "open of the pipe failed: %s", strerror(errno));
    if (n > 0) FUZZ_CHECK(write(fd, data, n) == static_cast<ssize_t>(n), "short write into the pipe");
    close(fd);

    if (want_end) {
        FUZZ_CHECK(eventually([] { return !has_thread(gFingerprintVarNavCtl); }), "\"CNL\" did not end the thread");
        FUZZ_CHECK(eventually([] {
                       if (pthread_mutex_trylock(&gFingerprintVarNavCtl.threadLock) != 0) return false;
                       pthread_mutex_unlock(&gFingerprintVarNavCtl.threadLock);
                       return true;
                   }),
                   "ended control thread still holds its lock");
    } else {
        // Back at the top of its loop: the input is fully handled.
        FUZZ_CHECK(eventually(pass_done), "control thread did not come back to read");
        FUZZ_CHECK(has_thread(gFingerprintVarNavCtl), "control thread ended without \"CNL\"");
    }
    FUZZ_CHECK(state(gFingerprintVarNav) == want_state, "navigation state %d, want %d", state(gFingerprintVarNav),
               want_state);
    FUZZ_CHECK(g_start_pauses.load() == want_pauses, "%d start pauses, want %d", g_start_pauses.load(), want_pauses);

    // The reader's line shows the length and the text up to the first NUL
    // (the last byte received is always turned into one).
    auto lines = krvtest::logs();
    if (n > 0) {
        std::string text(reinterpret_cast<const char*>(data), n - 1);
        text = text.c_str();
        std::string want = "Read len = " + std::to_string(n) + ": \"" + text + "\" from nav ctl FIFO\n";
        want.resize(std::min<size_t>(want.size(), kCapturedLineMax));
        bool found = false;
        for (const auto& l : lines) found = found || l.text == want;
        FUZZ_CHECK(found, "no read line for %zu bytes", n);
    }
    g_prev = lines;
    krvtest::clear_logs();
    for (const auto& l : lines) FUZZ_CHECK(l.prio != 6, "error line: %s", l.text.c_str());
    return 0;
}
