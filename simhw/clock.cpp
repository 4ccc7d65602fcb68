// The time of day: a scripted list of readings first, then the real clock,
// optionally read some seconds ahead of the kernel's real-time clock.
#include <mutex>
#include <vector>

#include "simhw/internal.h"

namespace krvtest {

namespace sim {

namespace {
std::mutex g_mu;
std::vector<struct timeval> g_script;
std::atomic<long> g_ahead_s{0};
}  // namespace

int clock_gettimeofday(struct timeval* tv, void* tz) {
    {
        std::lock_guard<std::mutex> lk(g_mu);
        if (!g_script.empty()) {
            *tv = g_script.front();
            g_script.erase(g_script.begin());
            return 0;
        }
    }
    int rc = real<int (*)(struct timeval*, void*)>("gettimeofday")(tv, tz);
    if (rc == 0) tv->tv_sec += g_ahead_s.load();
    return rc;
}

// The script stays: a test that scripted readings expects them whatever it
// resets.
void clock_reset() { g_ahead_s = 0; }

}  // namespace sim

void script_clock(std::vector<struct timeval> times) {
    std::lock_guard<std::mutex> lk(sim::g_mu);
    sim::g_script = std::move(times);
}

void clock_stepped_back(long seconds) { sim::g_ahead_s = seconds; }

}  // namespace krvtest
