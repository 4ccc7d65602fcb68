// Lost-wake proof: the navigation thread is made to meet a wake inside each
// of its race windows, every cycle, many thousand times:
//  1. after it has read the run state and before it blocks for a touch: as
//     it logs "Nav Running ..." the state is set to stop (no wake);
//  2. after the sensor is armed and before the wait blocks: the simulated
//     device raises SIGIO from inside the arming fcntl;
//  3. after it has read the stop state and before it blocks: as it logs
//     "thNavigationFunc Stop ..." krv_nav_core_start sets run and wakes.
// A lost wake leaves the thread asleep for ever; the watchdog notices that
// the cycles stop and fails the test.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "common/test_wait.h"
#include "krv_nav.h"
#include "simhw/sim_hardware.h"
#include "support/platform_log.h"

namespace {

std::atomic<bool> g_forcing{false};
std::atomic<long> g_cycles{0};       // completed stop-and-start cycles
std::atomic<long> g_arm_signals{0};  // SIGIOs raised inside the arming

void raise_sigio_inside_arming() {
    if (!g_forcing.load()) return;
    g_arm_signals.fetch_add(1);
    raise(SIGIO);  // runs the library's handler on this very thread, now
}

#if defined(__SANITIZE_THREAD__)
constexpr long kCycles = 100000;
#else
constexpr long kCycles = 20000;  // the tsan stage runs the full 100 000
#endif

}  // namespace

// The log sink of this binary: lines are not kept, two of them act.
extern "C" int __android_log_print(int, const char*, const char* fmt, ...) {
    if (!g_forcing.load(std::memory_order_relaxed) || strcmp(fmt, "%s") == 0) return 1;
    if (strcmp(fmt, "Nav Running ...") == 0) {
        krv_nav_core_stop();  // a state change with no wake of its own
    } else if (strcmp(fmt, "thNavigationFunc Stop ...") == 0) {
        g_cycles.fetch_add(1);
        krv_nav_core_start();  // run, then a wake, before the thread blocks
    }
    return 1;
}

TEST(LostWake, ForcedRacesNeverLoseAWake) {
    krvtest::sensor_reset();
    krvtest::sensor_on_arm(raise_sigio_inside_arming);
    ASSERT_EQ(krv_nav_core_init(), 0);
    ASSERT_TRUE(krvtest::nav_thread());
    g_forcing = true;
    krv_nav_core_start();  // out of the first wait; the cycles drive themselves
    auto t0 = std::chrono::steady_clock::now();
    long last = -1;
    auto progress = std::chrono::steady_clock::now();
    bool stalled = false;
    while (g_cycles.load() < kCycles) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        long now = g_cycles.load();
        if (now != last) {
            last = now;
            progress = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - progress > std::chrono::seconds(10)) {
            stalled = true;
            break;
        }
    }
    g_forcing = false;
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_FALSE(stalled) << "the thread slept through a wake after " << g_cycles.load() << " cycles";
    EXPECT_GE(g_cycles.load(), kCycles);
    EXPECT_GE(g_arm_signals.load(), kCycles);
    printf("forced %ld cycles (%ld SIGIOs inside the arming, %ld races in all) in %.1f s\n", g_cycles.load(),
           g_arm_signals.load(), g_cycles.load() * 2 + g_arm_signals.load(), secs);
    krvtest::sensor_on_arm(nullptr);

    // Still responsive; then ended as the control thread ends it.
    // A wake left over from the last cycle may still make one pass (the
    // sensor is closed and opened again): armed twice, 100 ms apart.
    krv_nav_core_start();
    EXPECT_TRUE(krvtest::armed());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(krvtest::armed());
    for (int i = 0; i < 500 && krvtest::nav_thread(); ++i) {
        __atomic_store_n(&gFingerprintVarNav.state, STATE_CANCEL, __ATOMIC_SEQ_CST);
        krvtest::touch();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_FALSE(krvtest::nav_thread());
}
