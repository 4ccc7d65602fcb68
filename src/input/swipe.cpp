// Simulated one-finger swipes on the touch screen.
#define LOG_TAG "nav_core"

#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "base/log.h"
#include "base/pause.h"
#include "base/reissue.h"
#include "input/event_writer.h"
#include "krv_nav.h"

namespace {

constexpr int kTrackingId = 154;
constexpr int kNoContact = -1;
constexpr int kSteps = 20;
constexpr long kStepPauseUs = 5000;

// Horizontal swipe: along Y 640, X from 144 in steps of 21 (rightward), or
// mirrored about X 360 (leftward: 576 down to 177).
constexpr int kHorizontalY = 640;
constexpr int kHorizontalStartX = 144;
constexpr int kHorizontalStepX = 21;
constexpr int kMirrorX = 720;
// Vertical swipe: along X 360, Y from 0 in steps of 32 (downward), or from
// 608 back to 0 (upward).
constexpr int kVerticalX = 360;
constexpr int kVerticalStepY = 32;
constexpr int kVerticalEndY = kVerticalStepY * (kSteps - 1);  // 608

int x_at(int i, bool increasing) {
    int x = kHorizontalStartX + kHorizontalStepX * i;
    return increasing ? x : kMirrorX - x;
}

int y_at(int i, bool increasing) { return increasing ? kVerticalStepY * i : kVerticalEndY - kVerticalStepY * i; }

void lift_off(krv::EventWriter& w) {
    // Records 9 and 10 keep the time of the last step's report.
    w.write_event(EV_ABS, ABS_MT_TRACKING_ID, kNoContact);
    w.write_event(EV_KEY, BTN_TOUCH, 0);
    w.write_report();
}

}  // namespace

extern "C" void simulate_Touch_X(int deviceFd, int increasing) {
    KRV_LOGD("++ %s", __func__);
    const bool up = increasing != 0;
    krv::EventWriter w(deviceFd, __func__);
    // Touch-down: BTN_TOUCH before the first position; time zero until the
    // first report.
    w.write_event(EV_ABS, ABS_MT_TRACKING_ID, kTrackingId);
    w.write_event(EV_KEY, BTN_TOUCH, 1);
    w.write_event(EV_ABS, ABS_MT_POSITION_X, x_at(0, up));
    w.write_event(EV_ABS, ABS_MT_POSITION_Y, kHorizontalY);
    w.write_report();
    for (int i = 0; i < kSteps; ++i) {
        w.write_event(EV_ABS, ABS_MT_POSITION_X, x_at(i, up));
        w.write_event(EV_ABS, ABS_MT_POSITION_Y, kHorizontalY);
        w.write_report();
        if (!up) KRV_LOGD("-pos %s", __func__);
        krv::pause_us(kStepPauseUs);
    }
    lift_off(w);
    KRV_LOGD("-- %s", __func__);
}

extern "C" void simulate_Touch_Y(int deviceFd, int increasing) {
    KRV_LOGD("++ %s", __func__);
    const bool down = increasing != 0;
    krv::EventWriter w(deviceFd, __func__);
    // Touch-down: BTN_TOUCH after the first position.
    w.write_event(EV_ABS, ABS_MT_TRACKING_ID, kTrackingId);
    w.write_event(EV_ABS, ABS_MT_POSITION_X, kVerticalX);
    w.write_event(EV_ABS, ABS_MT_POSITION_Y, y_at(0, down));
    w.write_event(EV_KEY, BTN_TOUCH, 1);
    w.write_report();
    for (int i = 0; i < kSteps; ++i) {
        w.write_event(EV_ABS, ABS_MT_POSITION_X, kVerticalX);
        w.write_event(EV_ABS, ABS_MT_POSITION_Y, y_at(i, down));
        w.write_report();
        krv::pause_us(kStepPauseUs);
    }
    lift_off(w);
    KRV_LOGD("-- %s", __func__);
}

extern "C" int krv_nav_simulateTouch(const char* swipeName) {
    KRV_LOGD("++ %s", __func__);
    KRV_LOGD("%s eventDevNode: %s", __func__, KRV_INPUT_NODE);
    int fd = krv::reissue_on_eintr([] { return open(KRV_INPUT_NODE, O_RDWR | O_CLOEXEC); });
    // Case-sensitive prefixes, first match wins: "upward" is "up".
    if (strncmp(swipeName, "left", 4) == 0) {
        KRV_LOGD("left %s", __func__);
        simulate_Touch_X(fd, 0);
    } else if (strncmp(swipeName, "right", 5) == 0) {
        KRV_LOGD("right %s", __func__);
        simulate_Touch_X(fd, 1);
    } else if (strncmp(swipeName, "up", 2) == 0) {
        simulate_Touch_Y(fd, 0);
    } else if (strncmp(swipeName, "down", 4) == 0) {
        simulate_Touch_Y(fd, 1);
    }
    close(fd);
    KRV_LOGD("-- %s", __func__);
    return 0;
}

extern "C" int krv_nav_LaucherNav(int resultCode) {
    if (resultCode == NAV_RESULT_UP)
        krv_nav_simulateTouch("up");
    else if (resultCode == NAV_RESULT_DOWN)
        krv_nav_simulateTouch("down");
    else
        KRV_LOGD("no simulate Touch");
    return 0;
}

extern "C" int krv_nav_func(int resultCode) {
    if (resultCode >= NAV_RESULT_LEFT && resultCode <= NAV_RESULT_DOWN) krv_nav_LaucherNav(resultCode);
    return 0;
}
