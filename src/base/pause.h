// A pause of a fixed length that a signal does not cut short.
#pragma once

#include <errno.h>
#include <time.h>

namespace krv {

// Sleeps until `until` on the monotonic clock, or `us` microseconds. usleep and a relative
// nanosleep end early when a signal handler runs on this thread (a SIGIO
// landing here during a swipe or the pause before "STT"); this one sleeps on
// to the same absolute end, and no step of the time of day moves it.
inline void pause_until(const struct timespec& until) {
    // clock_nanosleep returns the error number itself and leaves errno alone.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {}
}

inline void pause_us(long us) {
    struct timespec until;
    if (clock_gettime(CLOCK_MONOTONIC, &until) != 0) return;
    until.tv_sec += us / 1000000;
    until.tv_nsec += (us % 1000000) * 1000;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    pause_until(until);
}

}  // namespace krv
