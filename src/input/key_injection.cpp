// Key press and release on the input node.
#define LOG_TAG "nav_core"

#include <fcntl.h>
#include <unistd.h>

#include "base/log.h"
#include "base/reissue.h"
#include "input/event_writer.h"
#include "krv_nav.h"

namespace {

// Result code to key: home for a driver-flagged touch, back for a tap, and
// KEY_LEFT / KEY_RIGHT (not up/down) for the swipes.
struct KeyMapping {
    int result;
    int key;
};
constexpr KeyMapping kKeys[] = {
    {NAV_RESULT_DRIVER_FLAGGED, KEY_HOMEPAGE},
    {NAV_RESULT_SINGLE_TAP, KEY_BACK},
    {NAV_RESULT_UP, KEY_LEFT},
    {NAV_RESULT_DOWN, KEY_RIGHT},
};

int open_input(const char* routine) {
    int fd = krv::reissue_on_eintr([] { return open(KRV_INPUT_NODE, O_RDWR | O_CLOEXEC); });
    if (fd < 0) KRV_LOGD("%s open %s failed %d", routine, KRV_INPUT_NODE, fd);
    return fd;
}

}  // namespace

extern "C" void simulate_key(int deviceFd, int keyCode) {
    krv::EventWriter w(deviceFd, "simulate_key");
    // Press: type, value and code, then the time; the report shares it.
    w.ev.type = EV_KEY;
    w.ev.value = 1;
    w.ev.code = static_cast<__u16>(keyCode);
    w.stamp();
    w.write_record();
    w.set(EV_SYN, SYN_REPORT, 0);
    w.write_record();
    // Release: cleared record, fresh time, then code, type and value.
    memset(&w.ev, 0, sizeof w.ev);
    w.stamp();
    w.ev.code = static_cast<__u16>(keyCode);
    w.ev.type = EV_KEY;
    w.ev.value = 0;
    w.write_record();
    w.set(EV_SYN, SYN_REPORT, 0);
    w.write_record();
}

extern "C" int krv_nav_reportKey2(int resultCode) {
    KRV_LOGD("++ %s", __func__);
    int fd = open_input(__func__);
    for (const auto& m : kKeys) {
        if (m.result == resultCode) {
            simulate_key(fd, m.key);
            break;
        }
    }
    close(fd);
    KRV_LOGD("-- %s", __func__);
    return 0;
}

extern "C" int krv_pw_reportKey2(void) {
    KRV_LOGD("++ %s", __func__);
    KRV_LOGD("%s eventDevNode: %s", __func__, KRV_INPUT_NODE);
    int fd = open_input(__func__);
    simulate_key(fd, KEY_HOMEPAGE);
    close(fd);
    KRV_LOGD("-- %s", __func__);
    return 0;
}
