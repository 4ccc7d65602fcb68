// System test, run inside the QEMU guest as root: drives the navigation
// library as its host process would, against the kvs508 driver module and
// a uinput touch screen whose evdev node is "/dev/input/event2".
//
// Then krv-navd hosts the library as on a device, once as built for this
// machine (x86-64 or arm64) and once as built for its 32-bit companion
// (i386 or armhf: a 32-bit process on the 64-bit kernel), each checked
// with navctl beside it, through a touch panel reload, a refused second
// start, SIGKILL and a new start.
//
// Output (stdout): one line per check, the delivered stream of each
// gesture, the latency figures, and a closing "N passed, N failed" line.
// Exit status 0 only when every check passed.
#include <android/log.h>
#include <linux/uinput.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "guest_check.h"
#include "hosted_daemon.h"
#include "krv_nav.h"
#include "kvs508_driver.h"
#include "pipe_writer.h"
#include "stream_check.h"
#include "support/record_streams.h"
#include "touch_screen.h"

using namespace krvsys;

namespace {

// Writes a 4-byte command ("STP" and its NUL) into the library's FIFO once
// its control thread has the pipe open for reading (bounded wait).
bool send_command(const char* cmd) {
    return krvtools::send_command(KRV_CTL_PIPE, cmd, 10000).status == krvtools::PipeStatus::kSent;
}

// A build of krv-navd and navctl the runner put into the image, or none.
bool in_image(const HostBuild& b) {
    if (access(b.navd, X_OK) == 0 && access(b.navctl, X_OK) == 0) return true;
    printf("skipped: krv-navd (%s) is not in this image (see run-system-test.sh --navd, --compat32)\n", b.label);
    return false;
}

int32_t nav_state() { return __atomic_load_n(&gFingerprintVarNav.state, __ATOMIC_SEQ_CST); }
bool nav_thread() { return __atomic_load_n(&gFingerprintVarNav.thread, __ATOMIC_SEQ_CST) != 0; }
bool ctl_thread() { return __atomic_load_n(&gFingerprintVarNavCtl.thread, __ATOMIC_SEQ_CST) != 0; }

}  // namespace

int main() {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // The host process keeps the library's debug lines (stderr, kept in a
    // file by the guest's init for a failure report).
    __android_log_set_minimum_priority(ANDROID_LOG_DEBUG);
    printf("system test: navigation library against kvs508 and a uinput touch screen\n");
    if (!check(access(KRV_SENSOR_NODE, R_OK | W_OK) == 0 && drv("touches") == 0, "driver node %s and its counters",
               KRV_SENSOR_NODE))
        return 1;
    int uinput = create_touch_screen();
    if (!check(uinput >= 0, "uinput touch screen created as %s", KRV_INPUT_NODE)) return 1;
    Reader reader;
    if (!check(reader.start(), "reader on %s", KRV_INPUT_NODE)) return 1;

    fasync_arming();
    // The pipe's folder, as the daemon's init script makes it on a device.
    check(mkdir("/data/system/users/0/fpdata", 0700) == 0, "pipe's folder made");

    InputCoreModel model(kKeys, kAxes);
    Checker ck{reader, model, {}, {}, {}};

    // ---- set-up through the JNI entry points, as the Java host calls them
    check(Java_com_korrivan_navigation_NavCtrlJni_init(nullptr, nullptr) == 0, "init returns 0");
    check(Java_com_korrivan_navigation_NavCtrlJni_getSta(nullptr, nullptr) == 1, "getSta reads enabled after init");
    check(nav_armed(), "navigation thread armed one descriptor for SIGIO");
    check(wait_until(10000, [] { return access(KRV_CTL_PIPE, F_OK) == 0; }), "control thread created the pipe");
    struct stat st = {};
    bool stat_ok = stat(KRV_CTL_PIPE, &st) == 0;
    check(stat_ok && S_ISFIFO(st.st_mode) && (st.st_mode & 0777) == 0666,
          "pipe is a FIFO of mode 0666 (mode %o, umask 022)", unsigned(st.st_mode & 0777));

    // ---- one touch per gesture
    const Blob still{20, 50, 20, 20};
    ck.four_gestures("");
    ck.gesture("too small", make_pair({20, 50, 10, 10}, {20, 50, 10, 10}), 0, {});

    // ---- pause, resume and end through the real FIFO
    check(set_pair(make_pair(still, still, 1), 0), "pipe: driver-flagged pair set");
    nav_armed();
    ck.pause_and_resume(
        "pipe", [](const char* command) { check(send_command(command), "pipe: \"%s\" written", command); }, nav_state);
    ck.gesture("driver-flagged after STT", make_pair(still, still, 1), 0, krvrec::key_records(KEY_HOMEPAGE));

    // ---- on-demand swipes on the host's thread
    {
        size_t from = reader.count();
        check(Java_com_korrivan_navigation_NavCtrlJni_simulateX(nullptr, nullptr) == 0, "simulateX returns 0");
        ck.expect_stream("simulateX (down)", from, krvrec::swipe_records(krvrec::Swipe::kDown));
        from = reader.count();
        check(Java_com_korrivan_navigation_NavCtrlJni_simulateY(nullptr, nullptr) == 0, "simulateY returns 0");
        ck.expect_stream("simulateY (up)", from, krvrec::swipe_records(krvrec::Swipe::kUp));
    }

    // ---- key values handed to the driver
    struct {
        int key, byte;
    } keys[] = {{428, 172}, {158, 158}, {-1, 255}};
    for (auto& k : keys) {
        long long before = drv("key_reports");
        krv_nav_reportKey(k.key);
        check(drv("key_reports") == before + 1 && drv("last_key") == k.byte,
              "krv_nav_reportKey(%d) hands the driver the byte %d (got %lld)", k.key, k.byte, drv("last_key"));
    }

    // ---- "CNL" through the pipe ends both threads
    check(send_command("CNL"), "pipe: \"CNL\" written");
    check(wait_until(10000, [] { return !nav_thread() && !ctl_thread(); }), "pipe: both threads ended after CNL");
    check(wait_until(5000, [] { return drv("armed") == 0; }), "pipe: no descriptor armed after CNL");
    {
        long long requests = drv("frame_requests");
        touch();
        sleep_ms(300);
        check(drv("frame_requests") == requests, "a touch with no navigation thread is not served");
    }

    // ---- init again, then uinit ends everything through the library's own CNL
    check(Java_com_korrivan_navigation_NavCtrlJni_init(nullptr, nullptr) == 0, "second init returns 0");
    check(nav_armed() && wait_until(5000, [] { return ctl_thread(); }), "second init: both threads run");
    ck.gesture("tap after re-init", make_pair(still, still), 250, krvrec::key_records(KEY_BACK));
    check(Java_com_korrivan_navigation_NavCtrlJni_uinit(nullptr, nullptr) == 0, "uinit returns 0");
    check(Java_com_korrivan_navigation_NavCtrlJni_getSta(nullptr, nullptr) == 0, "getSta reads disabled after uinit");
    check(wait_until(10000, [] { return !nav_thread() && !ctl_thread(); }), "uinit: both threads ended");
    check(wait_until(5000, [] { return drv("armed") == 0 && drv("opens") == 0; }),
          "uinit: no sensor descriptor left open");
    printf(
        "latency kill_fasync -> first record read (under TCG emulation): median %.2f ms over %zu touches without a "
        "frame-request delay;"
        " kill_fasync -> frame request: median %.2f ms\n",
        median(ck.latencies_ms), ck.latencies_ms.size(), median(ck.fetch_ms));

    // ---- krv-navd hosting the library, 64-bit and 32-bit
#if defined(__aarch64__)
    const char *wide = "arm64", *narrow = "armhf";
#else
    const char *wide = "x86-64", *narrow = "i386";
#endif
    const HostBuild builds[] = {
        {wide, "/usr/bin/krv-navd", "/usr/bin/navctl", "/usr/lib/krv", false},
        {narrow, "/usr/lib/krv32/bin/krv-navd", "/usr/lib/krv32/bin/navctl", "/usr/lib/krv32", true},
    };
    TouchPanel panel{uinput, reader, model};
    std::vector<std::vector<Ev>> fresh[2];
    for (size_t i = 0; i < 2; ++i)
        if (in_image(builds[i])) fresh[i] = hosted_daemon(builds[i], panel);
    if (!fresh[0].empty() && !fresh[1].empty()) {
        size_t records = 0;
        for (const auto& stream : fresh[1]) records += stream.size();
        check(fresh[1] == fresh[0],
              "%s daemon's records on a new panel, read by this 64-bit reader, equal the %s daemon's (%zu gestures, "
              "%zu records)",
              narrow, wide, fresh[1].size(), records);
    }
    check(!reader.overflowed(), "reader never saw SYN_DROPPED");
    reader.stop();
    ioctl(uinput, UI_DEV_DESTROY);
    close(uinput);
    printf("%d passed, %d failed\n", checks_passed(), checks_failed());
    return checks_failed() == 0 ? 0 : 1;
}
