#include "core/wake_channel.h"

#include <errno.h>
#include <linux/futex.h>

#include <limits>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

namespace krv {

WakeChannel gNavWake;
WakeChannel gCtlWake;

namespace {

uint32_t* word(WakeChannel& ch) { return reinterpret_cast<uint32_t*>(&ch.count); }

long futex_wait(WakeChannel& ch, uint32_t seen, const struct timespec* deadline) {
    if (deadline == nullptr) return syscall(SYS_futex, word(ch), FUTEX_WAIT_PRIVATE, seen, nullptr, nullptr, 0);
#if defined(SYS_futex_time64) && !defined(__LP64__)
    if (sizeof(deadline->tv_sec) == 8)
        return syscall(SYS_futex_time64, word(ch), FUTEX_WAIT_BITSET_PRIVATE | FUTEX_CLOCK_REALTIME, seen, deadline,
                       nullptr, FUTEX_BITSET_MATCH_ANY);
#endif
    return syscall(SYS_futex, word(ch), FUTEX_WAIT_BITSET_PRIVATE | FUTEX_CLOCK_REALTIME, seen, deadline, nullptr,
                   FUTEX_BITSET_MATCH_ANY);
}

}  // namespace

void wake_channel_signal(WakeChannel& ch) {
    int saved = errno;
    ch.count.fetch_add(1, std::memory_order_acq_rel);
    syscall(SYS_futex, word(ch), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
    errno = saved;
}

struct timespec realtime_deadline_after(long long sec, long long ms) {
    struct timeval now;
    gettimeofday(&now, nullptr);
    long long ns = static_cast<long long>(now.tv_usec) * 1000 + ms * 1000000LL;
    long long s = static_cast<long long>(now.tv_sec) + sec + ns / 1000000000LL;
    ns %= 1000000000LL;
    if (ns < 0) {
        ns += 1000000000LL;
        s -= 1;
    }
    if (s < 0) s = ns = 0;
    // Where time_t is 32 bits (32-bit Android) a far deadline would wrap
    // negative and the kernel would refuse it: it stops at the last second
    // time_t holds.
    constexpr long long kLastSecond = std::numeric_limits<time_t>::max();
    if (s > kLastSecond) {
        s = kLastSecond;
        ns = 0;
    }
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(s);
    ts.tv_nsec = static_cast<long>(ns);
    return ts;
}

int wake_channel_wait(WakeChannel& ch, uint32_t seen, const struct timespec* deadline) {
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

}  // namespace krv
