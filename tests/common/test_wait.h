// Waiting helpers with generous bounds for thread tests.
#pragma once

#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "krv_nav.h"
#include "simhw/sim_hardware.h"
#include "support/log_capture.h"

namespace krvtest {

inline bool eventually(const std::function<bool()>& cond, int ms = 5000) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return cond();
}

// The navigation thread waits for a touch with the sensor armed (owner set,
// O_ASYNC on): a touch now is sure to raise SIGIO.
inline bool armed(int ms = 5000) {
    return eventually([] { return sensor_armed_count() == 1; }, ms);
}

// CPU time a thread has used, in milliseconds (0 when it cannot be read).
inline double thread_cpu_ms(pthread_t t) {
    clockid_t cid;
    struct timespec ts;
    if (t == pthread_t{} || pthread_getcpuclockid(t, &cid) != 0 || clock_gettime(cid, &ts) != 0) return 0;
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

inline int count_lines(const std::string& text) {
    auto t = log_texts();
    return static_cast<int>(std::count(t.begin(), t.end(), text));
}

inline bool wait_line(const std::string& text, int times = 1, int ms = 5000) {
    return eventually([&] { return count_lines(text) >= times; }, ms);
}

// Waits until the library has written nothing new for `quiet_ms`: the
// handler runs of a burst of signals have all been made (on a loaded or
// emulated machine a signal's handler can run well after kill() returned).
inline bool wait_quiet(int quiet_ms = 200, int ms = 10000) {
    size_t last = log_texts().size();
    auto changed = std::chrono::steady_clock::now();
    return eventually(
        [&] {
            const size_t now = log_texts().size();
            if (now != last) {
                last = now;
                changed = std::chrono::steady_clock::now();
            }
            return std::chrono::steady_clock::now() - changed >= std::chrono::milliseconds(quiet_ms);
        },
        ms);
}

// The worker handles and the navigation state, read as the library writes
// them (atomically).
inline bool nav_thread() { return __atomic_load_n(&gFingerprintVarNav.thread, __ATOMIC_SEQ_CST) != 0; }
inline bool ctl_thread() { return __atomic_load_n(&gFingerprintVarNavCtl.thread, __ATOMIC_SEQ_CST) != 0; }
inline int nav_state() { return __atomic_load_n(&gFingerprintVarNav.state, __ATOMIC_SEQ_CST); }

// Both worker handles read 0 and both threads have released their
// threadLock (their last act).
inline bool workers_gone() {
    return eventually([] { return !nav_thread() && !ctl_thread(); }) && eventually([] {
               for (auto* b : {&gFingerprintVarNav, &gFingerprintVarNavCtl}) {
                   if (pthread_mutex_trylock(&b->threadLock) != 0) return false;
                   pthread_mutex_unlock(&b->threadLock);
               }
               return true;
           });
}

}  // namespace krvtest
