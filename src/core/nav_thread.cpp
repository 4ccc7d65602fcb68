// The navigation worker thread: sleeps until the sensor signals a touch,
// classifies it and injects the result.
#define LOG_TAG "nav_core"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <string.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>

#include "base/log.h"
#include "base/reissue.h"
#include "core/nav_internal.h"
#include "core/thread_block.h"
#include "core/wake_channel.h"
#include "krv_nav.h"

namespace {

constexpr int kNoTimeLimit = 255;
// While the sensor node is missing or cannot be armed the thread pauses
// this long between attempts (any wake ends the pause at once) instead of
// spinning.
constexpr long kMissingSensorPauseMs = 1000;

// SIGIO handlers that ran and whose log line is still to be written: the
// handler cannot call the logger, so the woken thread writes the line for
// it before its wait's exit trace.
std::atomic<uint32_t> gPendingSignalLines{0};
static_assert(std::atomic<uint32_t>::is_always_lock_free, "signal counter must be lock-free");

void log_wake_line() { KRV_LOGD("%s", "krv_nav_core_wakeNavThread"); }

// The SIGIO handler: only lock-free atomics and the futex system call.
void on_sigio(int /*signalNumber*/) {
    gPendingSignalLines.fetch_add(1, std::memory_order_relaxed);
    krv::wake_channel_signal(krv::gNavWake);
}

bool install_sigio_handler() {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_sigio;
    sigemptyset(&sa.sa_mask);
    // SA_RESTART: host threads that take the signal are not interrupted
    // with EINTR (the disposition signal() gives on this C library).
    sa.sa_flags = SA_RESTART;
    return sigaction(SIGIO, &sa, nullptr) == 0;
}

// Makes this process the descriptor's owner and adds O_ASYNC: from then on
// the driver sends SIGIO on a touch.
bool arm_touch_notification(int fd) {
    if (fcntl(fd, F_SETOWN, getpid()) != 0) return false;
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_ASYNC) == 0;
}

// Opens the sensor armed for touch notification; -1 when it cannot be
// opened or armed (without the handler in place a SIGIO would end the
// process, and an unarmed descriptor would never wake the wait).
int open_armed_sensor() {
    if (!install_sigio_handler()) return -1;
    // Close-on-exec: a program the host forks and runs never keeps an armed
    // sensor descriptor.
    int fd = krv::reissue_on_eintr([] { return open(KRV_SENSOR_NODE, O_RDWR | O_CLOEXEC); });
    if (fd >= 0 && !arm_touch_notification(fd)) {
        close(fd);
        return -1;
    }
    return fd;
}

void flush_signal_lines() {
    for (uint32_t n = gPendingSignalLines.exchange(0); n > 0; --n) log_wake_line();
}

void* thNavigationFunc(void*);

// Puts the control state back to run, except for a cancel while the control
// thread lives: that one stays until the thread has ended, so that a start
// (the thread's own "STT" among them) never undoes a shutdown under way.
void resume_control_state() { krv::store_state_unless_cancelled(gFingerprintVarNavCtl, STATE_RUN); }

}  // namespace

namespace krv {

void wake_nav_thread() {
    log_wake_line();
    wake_channel_signal(gNavWake);
}

int wait_signal_from(uint32_t seen, int timeoutSec, int timeoutMs) {
    KRV_LOGD("++ %s", "krv_nav_core_waitSignal");
    // The deadline is the caller's own, counted from its call: another
    // waiter (the navigation thread, a host thread) never stretches it.
    const bool limited = timeoutSec != kNoTimeLimit;
    WakeDeadline deadline{};
    if (limited) deadline = realtime_deadline_after(timeoutSec, timeoutMs);
    pthread_mutex_lock(&gFingerprintVarNav.waitLock);
    int fd = open_armed_sensor();
    if (fd < 0) {
        KRV_LOGD("can't open device");
        pthread_mutex_unlock(&gFingerprintVarNav.waitLock);
        return -1;
    }

    // waitLock covers arming and closing the sensor, not the sleep.
    int result = 0;
    if (wake_channel_wait_releasing(gNavWake, gFingerprintVarNav.waitLock, seen, limited ? &deadline : nullptr) ==
        ETIMEDOUT) {
        KRV_LOGD("timeout");
        result = -2;
    }
    flush_signal_lines();
    close(fd);
    pthread_mutex_unlock(&gFingerprintVarNav.waitLock);
    KRV_LOGD("-- %s", "krv_nav_core_waitSignal");
    return result;
}

}  // namespace krv

namespace {

void* thNavigationFunc(void*) {
    ThreadControlBlock& b = gFingerprintVarNav;
    KRV_LOGD("++%s", "thNavigationFunc");
    pthread_detach(pthread_self());
    pthread_mutex_lock(&b.threadLock);
    for (;;) {
        // Taken before the state is read: a state change and wake that come
        // after this point end the wait below at once.
        const uint32_t seen = krv::wake_snapshot(krv::gNavWake);
        const int32_t state = krv::load_state(b);
        if (state == STATE_RUN) {
            KRV_LOGD("Nav Running ...");
            if (krv::wait_signal_from(seen, kNoTimeLimit, 0) == -1) {
                // The sensor could not be opened or armed, so nothing was
                // waited for and nothing touched it: no frame request, no
                // classification, no key. Pause before the next attempt; any
                // wake (stop, start, cancel) ends the pause at once.
                const krv::WakeDeadline until = krv::monotonic_deadline_after(kMissingSensorPauseMs);
                pthread_mutex_lock(&b.waitLock);
                krv::wake_channel_wait_releasing(krv::gNavWake, b.waitLock, seen, &until);
                pthread_mutex_unlock(&b.waitLock);
                continue;
            }
            if (krv::load_state(b) != STATE_RUN) continue;  // the touch or wake is dropped
            int code = cal_touch_area();
            krv_nav_func(code);
            if (code == NAV_RESULT_DRIVER_FLAGGED || code == NAV_RESULT_SINGLE_TAP) krv_nav_reportKey2(code);
        } else if (state == STATE_CANCEL) {
            // Commit to ending unless an init put the state back to run in
            // the meantime (it does so only after waiting out this thread's
            // end in vain, within its bound).
            krv::gNavEnding.store(true);
            if (krv::load_state(b) != STATE_CANCEL) {
                krv::gNavEnding.store(false);
                continue;
            }
            KRV_LOGD("thNavigationFunc CANCEL ...");
            krv::clear_thread(b);
            pthread_mutex_unlock(&b.threadLock);
            KRV_LOGD("--%s", "thNavigationFunc");
            return nullptr;
        } else {
            // Stop, or a value the library never stores (the word is
            // exported, and a host may write anything into it): either way
            // the thread waits for a wake and then reads the word again.
            KRV_LOGD("thNavigationFunc Stop ...");
            pthread_mutex_lock(&b.waitLock);
            krv::wake_channel_wait_releasing(krv::gNavWake, b.waitLock, seen, nullptr);
            pthread_mutex_unlock(&b.waitLock);
        }
    }
}

}  // namespace

extern "C" int krv_nav_core_init(void) {
    KRV_LOGD("++ %s", __func__);
    // A control thread that is ending may still cancel the navigation
    // thread: let it finish first, then let a cancelled or ending navigation
    // thread finish too (a cancel stays until its thread has ended).
    krv::await_ending_worker(gFingerprintVarNavCtl, krv::control_thread_ending);
    krv::await_ending_worker(gFingerprintVarNav, krv::navigation_thread_ending);
    int32_t before = STATE_RUN;
    if (!krv::store_state_unless_cancelled(gFingerprintVarNav, STATE_RUN, &before)) {
        // Cancelled meanwhile ("CNL" read by the control thread): let that
        // thread end too. One that does not end within the bound (a long
        // pass) is kept running instead.
        krv::await_ending_worker(gFingerprintVarNav, krv::navigation_thread_ending);
        before = krv::atomic_exchange(gFingerprintVarNav.state, int32_t{STATE_RUN});
    }
    if (!krv::has_thread(gFingerprintVarNav)) {
        krv::gNavEnding.store(false);
    } else if (before != STATE_RUN) {
        // A live thread that was stopped sleeps with the sensor unarmed:
        // woken, it reads run and waits for a touch again. A running thread
        // is left alone, so that init never makes a pass of its own.
        krv::wake_nav_thread();
    }
    int err = krv::create_worker(gFingerprintVarNav, thNavigationFunc, &gFingerprintParamNav);
    if (err != 0) {
        // The line ends in "/n" (slash, n), not a newline: log readers match it as it is.
        // NOLINTNEXTLINE(concurrency-mt-unsafe): glibc's and bionic's strerror use a per-thread buffer.
        KRV_LOGE("create Navigation thread error: %s/n", strerror(err));
        return -1;
    }
    KRV_LOGD("--%s", __func__);
    return 0;
}

extern "C" int krv_nav_core_stop(void) {
    KRV_LOGD("++ %s", __func__);
    krv::store_state_unless_cancelled(gFingerprintVarNav, STATE_STOP);
    KRV_LOGD("-- %s", __func__);
    return 0;
}

extern "C" int krv_nav_core_start(void) {
    KRV_LOGD("++ %s", __func__);
    krv::store_state_unless_cancelled(gFingerprintVarNav, STATE_RUN);
    krv::wake_nav_thread();
    resume_control_state();
    KRV_LOGD("-- %s", __func__);
    return 0;
}

extern "C" int krv_nav_core_waitSignal(int timeoutSec, int timeoutMs) {
    return krv::wait_signal_from(krv::wake_snapshot(krv::gNavWake), timeoutSec, timeoutMs);
}
