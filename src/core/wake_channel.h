// Wake channel of a worker thread.
//
// A condition variable cannot be signalled from a signal handler
// (pthread_cond_signal is not async-signal-safe), and a bare wait on one
// loses a wake that comes between the waiter's decision to sleep and its
// block. So every wait here sleeps on a futex word that counts wakes: the
// waiter takes a snapshot of the count before it reads its state (or arms
// the sensor), and sleeps only while the count still equals the snapshot.
// A waker increments the count and wakes every sleeper on the futex; both
// steps are lock-free and async-signal-safe, so the SIGIO handler can wake
// too, and a wake that lands anywhere after the snapshot ends the next wait
// at once. Several threads may wait on one channel (a host thread in
// krv_nav_core_waitSignal beside the navigation thread): each has its own
// snapshot and deadline, and no lock is held while any of them sleeps.
#pragma once

#include <pthread.h>
#include <stdint.h>
#include <time.h>

#include <atomic>

namespace krv {

struct WakeChannel {
    std::atomic<uint32_t> count{0};
};

static_assert(std::atomic<uint32_t>::is_always_lock_free, "the wake count must be lock-free");

inline uint32_t wake_snapshot(WakeChannel& ch) { return ch.count.load(std::memory_order_acquire); }

// An absolute time on one clock. CLOCK_REALTIME only for the timed wait,
// whose deadline is a time of day; the library's own pauses and bounds use
// CLOCK_MONOTONIC, which no step of the clock (network time at boot, a user
// setting the date) moves.
struct WakeDeadline {
    clockid_t clock;
    struct timespec at;
};

// Wakes every waiter. Async-signal-safe; preserves errno.
void wake_channel_signal(WakeChannel& ch);

// Sleeps until the count differs from `seen`. With `deadline` it gives up
// then. Returns 0 when woken, ETIMEDOUT when the deadline passed, or the
// error number of a wait that failed (it never goes round again on a
// failure). Interruptions by signals do not end the wait by themselves.
int wake_channel_wait(WakeChannel& ch, uint32_t seen, const WakeDeadline* deadline);

// wake_channel_wait for a caller that holds `lock`: the lock is released
// while the caller sleeps and taken again before this returns, as a
// condition wait does, so that no other user of the lock is held up for as
// long as this caller sleeps.
int wake_channel_wait_releasing(WakeChannel& ch, pthread_mutex_t& lock, uint32_t seen, const WakeDeadline* deadline);

// The time of day (gettimeofday) plus `sec` seconds and `ms` milliseconds.
// Negative or large parts still give a valid time: never before the epoch,
// never past what time_t holds.
WakeDeadline realtime_deadline_after(long long sec, long long ms);
// Now plus `ms` milliseconds on the monotonic clock.
WakeDeadline monotonic_deadline_after(long long ms);
bool monotonic_deadline_passed(const WakeDeadline& deadline);

extern WakeChannel gNavWake;
extern WakeChannel gCtlWake;

}  // namespace krv
