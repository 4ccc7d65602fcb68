// The exported interface: JNI entry points, the C layer and the persisted
// enable property, on simulated hardware and a private property store.
#include <cutils/properties.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "common/log_checks.h"
#include "common/param_cases.h"
#include "common/temp_dir.h"
#include "common/test_wait.h"
#include "krv_nav.h"
#include "simhw/sim_hardware.h"
#include "support/log_capture.h"

using namespace krvtest;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KRV_SANITIZED 1
#else
// Thread creation can be made to fail: the test binary's pthread_create
// takes precedence over the C library's. Sanitizer runtimes intercept it
// themselves, so those builds skip the failure tests.
static std::atomic<int> g_fail_creates{0};
static std::atomic<int> g_create_error{EAGAIN};
extern "C" int pthread_create(pthread_t* t, const pthread_attr_t* a, void* (*fn)(void*), void* arg) {
    using Fn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "pthread_create"));
    int pending = g_fail_creates.load();
    if (pending > 0 && g_fail_creates.compare_exchange_strong(pending, pending - 1)) return g_create_error.load();
    return real(t, a, fn, arg);
}
#endif

namespace {

void use_store(const std::string& dir) { setenv("KRV_PROPERTY_DIR", dir.c_str(), 1); }

std::string property() {
    char v[PROPERTY_VALUE_MAX] = {};
    property_get("persist.korrivan.nav", v, nullptr);
    return v;
}

class Interface : public ::testing::Test {
  protected:
    void SetUp() override {
        use_store(store_.path());
        sensor_reset();
        clear_logs();
        allow_uinit_write_line();
    }
    void TearDown() override {
        use_store(store_.path());
        if (ctl_thread()) Java_com_korrivan_navigation_NavCtrlJni_uinit(nullptr, nullptr);
        EXPECT_TRUE(workers_gone());
    }
    TempDir store_{"krv-props"};
};

struct SetStaCase {
    const char* name;
    int sta;
    const char* want;
};
KRV_CASE_SUITE(SetSta, Interface, SetStaCase);

TEST_P(SetSta, WritesEnableOrDisable) {
    EXPECT_EQ(Java_com_korrivan_navigation_NavCtrlJni_setSta(nullptr, nullptr, c.sta), 0);
    EXPECT_EQ(property(), c.want);
    char line[64];
    snprintf(line, sizeof line, "krv_nav_core_ctl_setSta : %d, ret = 0", c.sta);
    EXPECT_EQ(count_lines(line), 1) << line;
}

INSTANTIATE_TEST_SUITE_P(Values, SetSta,
                         ::testing::Values(SetStaCase{"five", 5, "enable"}, SetStaCase{"zero", 0, "disable"},
                                           SetStaCase{"minus_one", -1, "enable"}, SetStaCase{"one", 1, "enable"}),
                         krvtest::CaseName());

struct GetStaCase {
    const char* name;
    const char* value;  // nullptr: unset
    int want;
};
KRV_CASE_SUITE(GetSta, Interface, GetStaCase);

TEST_P(GetSta, ComparesPrefixes) {
    if (c.value) {
        ASSERT_EQ(property_set("persist.korrivan.nav", c.value), 0);
    }
    clear_logs();
    EXPECT_EQ(Java_com_korrivan_navigation_NavCtrlJni_getSta(nullptr, nullptr), c.want);
    char line[160];
    snprintf(line, sizeof line, "ret = %d, persist.korrivan.nav %s", c.value ? (int)strlen(c.value) : 0,
             c.value ? c.value : "");
    EXPECT_EQ(count_lines(line), 1) << line;
    snprintf(line, sizeof line, "krv_nav_core_ctl_getSta : %s, ret = %d", c.value ? c.value : "", c.want);
    EXPECT_EQ(count_lines(line), 1) << line;
}

INSTANTIATE_TEST_SUITE_P(Values, GetSta,
                         ::testing::Values(GetStaCase{"unset", nullptr, -1}, GetStaCase{"enable", "enable", 1},
                                           GetStaCase{"enabled", "enabled", 1}, GetStaCase{"disable", "disable", 0},
                                           GetStaCase{"disabled", "disabled", 0}, GetStaCase{"Enable", "Enable", -1},
                                           GetStaCase{"on", "on", -1}, GetStaCase{"enabl", "enabl", -1}),
                         krvtest::CaseName());

TEST_F(Interface, FailingPropertyWritePropagates) {
    // uinit without a control thread's pipe: the writer says so.
    allow_error_lines({"nav ctl fifo file do not not exist\n"});
    use_store("/dev/null/not-a-dir");
    EXPECT_LT(Java_com_korrivan_navigation_NavCtrlJni_setSta(nullptr, nullptr, 1), 0);
    EXPECT_EQ(Java_com_korrivan_navigation_NavCtrlJni_init(nullptr, nullptr), 0);
    EXPECT_TRUE(nav_thread());
    EXPECT_LT(Java_com_korrivan_navigation_NavCtrlJni_uinit(nullptr, nullptr), 0);
    EXPECT_TRUE(workers_gone());
}

TEST_F(Interface, LifecycleThroughTheNativeMethods) {
    EXPECT_EQ(Java_com_korrivan_navigation_NavCtrlJni_init(nullptr, nullptr), 0);
    pthread_t nav = gFingerprintVarNav.thread, ctl = gFingerprintVarNavCtl.thread;
    EXPECT_EQ(Java_com_korrivan_navigation_NavCtrlJni_init(nullptr, nullptr), 0);
    EXPECT_EQ(gFingerprintVarNav.thread, nav);
    EXPECT_EQ(gFingerprintVarNavCtl.thread, ctl);
    EXPECT_EQ(property(), "enable");
    EXPECT_EQ(Java_com_korrivan_navigation_NavCtrlJni_getSta(nullptr, nullptr), 1);
    EXPECT_EQ(Java_com_korrivan_navigation_NavCtrlJni_stop(nullptr, nullptr), 0);
    EXPECT_EQ(gFingerprintVarNav.state, STATE_STOP);
    EXPECT_EQ(Java_com_korrivan_navigation_NavCtrlJni_start(nullptr, nullptr), 0);
    EXPECT_EQ(gFingerprintVarNav.state, STATE_RUN);
    EXPECT_EQ(Java_com_korrivan_navigation_NavCtrlJni_uinit(nullptr, nullptr), 0);
    EXPECT_TRUE(workers_gone());
    EXPECT_EQ(property(), "disable");
    EXPECT_EQ(Java_com_korrivan_navigation_NavCtrlJni_getSta(nullptr, nullptr), 0);
}

TEST_F(Interface, ConcurrentInitsCreateOneThreadOfEachKind) {
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        clear_logs();
        std::atomic<int> go{0};
        std::thread a([&] {
            while (!go) {}
            EXPECT_EQ(Java_com_korrivan_navigation_NavCtrlJni_init(nullptr, nullptr), 0);
        });
        std::thread b([&] {
            while (!go) {}
            EXPECT_EQ(Java_com_korrivan_navigation_NavCtrlJni_init(nullptr, nullptr), 0);
        });
        go = 1;
        a.join();
        b.join();
        EXPECT_TRUE(wait_line("++thNavigationFunc"));
        EXPECT_TRUE(wait_line("++thNavigationCtlFunc"));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(count_lines("++thNavigationFunc"), 1);
        EXPECT_EQ(count_lines("++thNavigationCtlFunc"), 1);
        EXPECT_EQ(Java_com_korrivan_navigation_NavCtrlJni_uinit(nullptr, nullptr), 0);
        ASSERT_TRUE(workers_gone());
    }
}

TEST_F(Interface, UinitWithoutInitSendsNothing) {
    EXPECT_EQ(Java_com_korrivan_navigation_NavCtrlJni_uinit(nullptr, nullptr), 0);
    EXPECT_EQ(property(), "disable");
    struct stat st;
    EXPECT_NE(stat(pipe_real_path().c_str(), &st), 0);  // no pipe, no command
    EXPECT_EQ(count_lines("krv_nav_core_wakeNavCtlThread"), 0);
}

TEST_F(Interface, OnDemandSwipesBeforeInit) {
    struct Case {
        KrvJint (*method)(KrvJniEnv, KrvJniObject);
        int first_y, last_y;
    } cases[] = {{Java_com_korrivan_navigation_NavCtrlJni_simulateX, 0, 608},
                 {Java_com_korrivan_navigation_NavCtrlJni_simulateY, 608, 0}};
    for (const auto& c : cases) {
        input_clear();
        EXPECT_EQ(c.method(nullptr, nullptr), 0);
        input_wait(68, 2000);  // the reader may still be draining
        auto p = input_packets();
        ASSERT_EQ(p.size(), 68u);
        EXPECT_EQ(p[2].ev.code, ABS_MT_POSITION_Y);
        EXPECT_EQ(p[2].ev.value, c.first_y);
        EXPECT_EQ(p[5 + 3 * 19 + 1].ev.value, c.last_y);
    }
}

TEST_F(Interface, InitFailures) {
    // Thread creation fails on purpose.
    allow_error_lines();
#ifdef KRV_SANITIZED
    GTEST_SKIP() << "sanitizer runtimes intercept pthread_create";
#else
    // EPERM is 1: a failure all the same, not "a thread exists".
    struct Case {
        int err;
        std::string text;
    } cases[] = {{EAGAIN, "Resource temporarily unavailable"}, {EPERM, "Operation not permitted"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        g_create_error = c.err;
        clear_logs();
        // Navigation thread not created: -1, nothing else created or written.
        g_fail_creates = 1;
        EXPECT_EQ(Java_com_korrivan_navigation_NavCtrlJni_init(nullptr, nullptr), -1);
        EXPECT_FALSE(nav_thread());
        EXPECT_FALSE(ctl_thread());
        EXPECT_EQ(property(), "");
        EXPECT_EQ(count_lines("create Navigation thread error: " + c.text + "/n"), 1);
        EXPECT_EQ(logs().back().prio, 6);
        // Control thread not created: -2, the navigation thread stays.
        clear_logs();
        EXPECT_EQ(krv_nav_core_init(), 0);
        g_fail_creates = 1;
        EXPECT_EQ(Java_com_korrivan_navigation_NavCtrlJni_init(nullptr, nullptr), -2);
        EXPECT_TRUE(nav_thread());
        EXPECT_FALSE(ctl_thread());
        EXPECT_EQ(property(), "");
        EXPECT_EQ(count_lines("create NavigationCtl thread error: " + c.text + "/n"), 1);
        // End the navigation thread as the control thread would.
        __atomic_store_n(&gFingerprintVarNav.state, STATE_CANCEL, __ATOMIC_SEQ_CST);
        EXPECT_TRUE(eventually([] {
            touch();
            return !nav_thread();
        }));
        EXPECT_TRUE(workers_gone());
        g_fail_creates = 0;  // a failure no create took must not hit the next thread
    }
    g_create_error = EAGAIN;
#endif
}

TEST_F(Interface, NoDeviceDescriptorReachesAChild) {
    // A host that forks and runs another program must not hand it an armed
    // sensor or the input node: every open of either is close-on-exec.
    struct Case {
        const char* name;
        void (*call)();
    } cases[] = {
        {"touch wait", [] { krv_nav_core_waitSignal(0, 10); }},
        {"frame fetch",
         [] {
             static uint8_t frames[sizeof(FramePair)];
             krv_nav_getImageData(frames, 0);
         }},
        {"key to the driver", [] { krv_nav_reportKey(5); }},
        {"key injection", [] { krv_nav_reportKey2(NAV_RESULT_SINGLE_TAP); }},
        {"home key", [] { krv_pw_reportKey2(); }},
        {"swipe", [] { Java_com_korrivan_navigation_NavCtrlJni_simulateY(nullptr, nullptr); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sensor_reset();
        c.call();
        EXPECT_TRUE(input_wait_drained(5000));  // nothing of it still on its way at exit
        EXPECT_EQ(fault_calls(Fault::kSensorOpen) + fault_calls(Fault::kInputOpen), 1);
        EXPECT_EQ(node_opens_inheritable(), 0);
    }
}

}  // namespace
