#include "core/wake_channel.h"

#include <errno.h>
#include <limits.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <limits>

namespace krv {

WakeChannel gNavWake;
WakeChannel gCtlWake;

namespace {

constexpr long long kNsPerSec = 1000000000LL;
constexpr long long kNsPerMs = 1000000LL;
constexpr long long kNsPerUs = 1000LL;

uint32_t* word(WakeChannel& ch) { return reinterpret_cast<uint32_t*>(&ch.count); }

long futex_wait(WakeChannel& ch, uint32_t seen, const WakeDeadline* deadline) {
    if (deadline == nullptr) return syscall(SYS_futex, word(ch), FUTEX_WAIT_PRIVATE, seen, nullptr, nullptr, 0);
    // An absolute time: on the real-time clock when so flagged, else on the
    // monotonic clock.
    const int op = FUTEX_WAIT_BITSET_PRIVATE | (deadline->clock == CLOCK_REALTIME ? FUTEX_CLOCK_REALTIME : 0);
#if defined(SYS_futex_time64) && !defined(__LP64__)
    if (sizeof(deadline->at.tv_sec) == 8)
        return syscall(SYS_futex_time64, word(ch), op, seen, &deadline->at, nullptr, FUTEX_BITSET_MATCH_ANY);
#endif
    return syscall(SYS_futex, word(ch), op, seen, &deadline->at, nullptr, FUTEX_BITSET_MATCH_ANY);
}

// `now` plus `sec` seconds and `ms` milliseconds, normalised with 64-bit
// arithmetic so that negative or large parts still give a valid time: never
// before the clock's zero, never past what time_t holds (where time_t is 32
// bits, as on 32-bit Android, a far deadline would otherwise wrap negative
// and the kernel would refuse it).
WakeDeadline deadline_after(clockid_t clock, long long now_s, long long now_ns, long long sec, long long ms) {
    long long ns = now_ns + ms * kNsPerMs;
    long long s = now_s + sec + ns / kNsPerSec;
    ns %= kNsPerSec;
    if (ns < 0) {
        ns += kNsPerSec;
        s -= 1;
    }
    if (s < 0) s = ns = 0;
    constexpr long long kLastSecond = std::numeric_limits<time_t>::max();
    if (s > kLastSecond) {
        s = kLastSecond;
        ns = 0;
    }
    WakeDeadline d;
    d.clock = clock;
    d.at.tv_sec = static_cast<time_t>(s);
    d.at.tv_nsec = static_cast<long>(ns);
    return d;
}

}  // namespace

void wake_channel_signal(WakeChannel& ch) {
    int saved = errno;
    ch.count.fetch_add(1, std::memory_order_acq_rel);
    // Every waiter: a host thread may wait beside the navigation thread, and
    // a wake taken by one alone would be lost to the other.
    syscall(SYS_futex, word(ch), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
    errno = saved;
}

WakeDeadline realtime_deadline_after(long long sec, long long ms) {
    struct timeval now;
    gettimeofday(&now, nullptr);
    return deadline_after(CLOCK_REALTIME, now.tv_sec, now.tv_usec * kNsPerUs, sec, ms);
}

WakeDeadline monotonic_deadline_after(long long ms) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return deadline_after(CLOCK_MONOTONIC, now.tv_sec, now.tv_nsec, 0, ms);
}

bool monotonic_deadline_passed(const WakeDeadline& deadline) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec > deadline.at.tv_sec || (now.tv_sec == deadline.at.tv_sec && now.tv_nsec >= deadline.at.tv_nsec);
}

int wake_channel_wait(WakeChannel& ch, uint32_t seen, const WakeDeadline* deadline) {
    static_assert(sizeof(ch.count) == sizeof(uint32_t), "futex word is 32 bits");
    while (ch.count.load(std::memory_order_acquire) == seen) {
        if (futex_wait(ch, seen, deadline) == 0) continue;
        const int err = errno;
        // A signal or a count that had already moved: look again. Anything
        // else (the deadline passed, or the wait itself failed) ends the
        // wait instead of going round again at once.
        if (err == EINTR || err == EAGAIN) continue;
        return ch.count.load(std::memory_order_acquire) == seen ? err : 0;
    }
    return 0;
}

int wake_channel_wait_releasing(WakeChannel& ch, pthread_mutex_t& lock, uint32_t seen, const WakeDeadline* deadline) {
    pthread_mutex_unlock(&lock);
    const int rc = wake_channel_wait(ch, seen, deadline);
    pthread_mutex_lock(&lock);
    return rc;
}

}  // namespace krv
