// The control thread: carries out the commands read from the pipe.
#define LOG_TAG "nav_core"

#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "base/log.h"
#include "base/pause.h"
#include "core/control_internal.h"
#include "core/nav_internal.h"
#include "core/thread_block.h"
#include "core/wake_channel.h"
#include "krv_nav.h"

namespace {

constexpr int kMessageSize = 4;  // three letters and a terminator
constexpr long kStartDelayUs = 1000000;
// After a failed create, open or read of the pipe the thread pauses this
// long (a wake from krv_nav_core_ctl_uinit ends it) instead of spinning.
constexpr long kPipeFailurePauseMs = 1000;

enum class Command { kNone, kStop, kStart, kCancel };

// A message matches a command when its first three bytes are the command's
// letters, whatever its terminator. A read may hold several messages (two
// writers were quicker than the reader): each complete 4-byte message is a
// command of its own, in order; a trailing partial message and a read of
// 0 to 3 bytes are none.
Command match(const char* msg) {
    if (memcmp(msg, "STP", 3) == 0) return Command::kStop;
    if (memcmp(msg, "STT", 3) == 0) return Command::kStart;
    if (memcmp(msg, "CNL", 3) == 0) return Command::kCancel;
    return Command::kNone;
}

// krv_nav_core_ctl_uinit has told the thread to end. The cancel stays until
// the thread has ended (a start does not undo it), so the thread looks at
// it wherever it may wait or go on: at the top of each pass, right after
// opening the pipe, before each command of a read and after the pause of
// "STT".
bool cancelled() { return krv::load_state(gFingerprintVarNavCtl) == STATE_CANCEL; }

void pause_for_wake(uint32_t seen, long ms) {
    const krv::WakeDeadline until = krv::monotonic_deadline_after(ms);
    pthread_mutex_lock(&gFingerprintVarNavCtl.waitLock);
    krv::wake_channel_wait_releasing(krv::gCtlWake, gFingerprintVarNavCtl.waitLock, seen, &until);
    pthread_mutex_unlock(&gFingerprintVarNavCtl.waitLock);
}

// The pause before "STT" takes effect: an absolute time on the monotonic
// clock, so no step of the time of day and no signal handler running on
// this thread shortens it. A cancel is looked at once it is over.
void start_delay() { krv::pause_us(kStartDelayUs); }

// Carries out the commands of one read; true when the thread must end.
bool run_commands(const char* buffer, int n) {
    for (int off = 0; off + kMessageSize <= n; off += kMessageSize) {
        if (cancelled()) return true;
        switch (match(buffer + off)) {
            case Command::kStop:
                krv::store_state_unless_cancelled(gFingerprintVarNav, STATE_STOP);
                break;
            case Command::kStart:
                start_delay();
                if (cancelled()) return true;
                krv_nav_core_start();
                break;
            case Command::kCancel:
                return true;
            case Command::kNone:
                break;
        }
    }
    return false;
}

void* thNavigationCtlFunc(void*) {
    ThreadControlBlock& b = gFingerprintVarNavCtl;
    KRV_LOGD("++%s", "thNavigationCtlFunc");
    pthread_detach(pthread_self());
    pthread_mutex_lock(&b.threadLock);
    char buffer[krv::kCommandBufferSize];
    memset(buffer, 0, sizeof buffer);
    for (;;) {
        const uint32_t seen = krv::wake_snapshot(krv::gCtlWake);
        const int32_t state = krv::load_state(b);
        if (state == STATE_RUN) {
            KRV_LOGD("thNavigationCtlFunc Running ...");
            int n = krv::read_ctl_pipe(buffer, cancelled);
            if (n < 0) {
                pause_for_wake(seen, kPipeFailurePauseMs);
                continue;
            }
            if (run_commands(buffer, n)) break;
        } else if (state == STATE_CANCEL) {
            // Cancelled between commands: end now; krv_nav_core_ctl_uinit's
            // write gives up once this thread is gone.
            break;
        } else {
            // Stop, or a value the library never stores: wait for a wake.
            KRV_LOGD("thNavigationCtlFunc Stop ...");
            pthread_mutex_lock(&b.waitLock);
            krv::wake_channel_wait_releasing(krv::gCtlWake, b.waitLock, seen, nullptr);
            pthread_mutex_unlock(&b.waitLock);
        }
    }
    krv::gCtlEnding.store(true);  // committed: "CNL" read, or cancelled
    if (krv::has_thread(gFingerprintVarNav)) {
        krv::store_state(gFingerprintVarNav, STATE_CANCEL);
        krv::wake_nav_thread();
    }
    krv::clear_thread(b);
    pthread_mutex_unlock(&b.threadLock);
    KRV_LOGD("--%s", "thNavigationCtlFunc");
    return nullptr;
}

}  // namespace

extern "C" int krv_nav_core_ctl_init(void) {
    KRV_LOGD("++ %s", __func__);
    // A thread that has been told to end (or read "CNL") is not counted on:
    // it is let finish before the state goes back to run.
    krv::await_ending_worker(gFingerprintVarNavCtl, krv::control_thread_ending);
    krv::store_state(gFingerprintVarNavCtl, STATE_RUN);
    if (!krv::has_thread(gFingerprintVarNavCtl)) krv::gCtlEnding.store(false);
    int err = krv::create_worker(gFingerprintVarNavCtl, thNavigationCtlFunc, &gFingerprintParamNavCtl);
    if (err != 0) {
        // The line ends in "/n" (slash, n), not a newline: log readers match it as it is.
        // NOLINTNEXTLINE(concurrency-mt-unsafe): glibc's and bionic's strerror use a per-thread buffer.
        KRV_LOGE("create NavigationCtl thread error: %s/n", strerror(err));
        return -1;
    }
    KRV_LOGD("--%s", __func__);
    return 0;
}

extern "C" int krv_nav_core_ctl_uinit(void) {
    KRV_LOGD("++ %s", __func__);
    if (krv::has_thread(gFingerprintVarNavCtl)) {
        krv::store_state(gFingerprintVarNavCtl, STATE_CANCEL);
        KRV_LOGD("%s", "krv_nav_core_wakeNavCtlThread");
        krv::wake_channel_signal(krv::gCtlWake);
        // Whether or not "CNL" reaches the thread (another reader may take
        // it, or the thread may close the pipe on it), the cancel it has
        // been given ends it.
        krv::write_ctl_command("CNL", true);
    }
    KRV_LOGD("--%s", __func__);
    return 0;
}
