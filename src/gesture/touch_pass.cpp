// One classification pass: fetch a frame pair, summarise both frames, time
// the pass and classify the movement.
#define LOG_TAG "nav_algo"

#include <stdint.h>
#include <string.h>
#include <sys/time.h>

#include "base/log.h"
#include "gesture/classifier_state.h"
#include "krv_nav.h"
#include "sensor/sensor_driver.h"

namespace {

struct timeval start_time;
struct timeval end_time;
struct timeval diff_time;

constexpr uint8_t kDriverFlag = 1;
// A light frame (no touch pixel at all): what the pass analyses when the
// frame fetch fails, so that a failure yields "nothing".
constexpr uint8_t kNoTouch = 0xFF;

}  // namespace

extern "C" int timeval_subtract(struct timeval* result, const struct timeval* earlier, const struct timeval* later) {
    if (earlier->tv_sec > later->tv_sec || (earlier->tv_sec == later->tv_sec && earlier->tv_usec > later->tv_usec))
        return -1;
    result->tv_sec = later->tv_sec - earlier->tv_sec;
    result->tv_usec = later->tv_usec - earlier->tv_usec;
    if (result->tv_usec < 0) {
        result->tv_sec -= 1;
        result->tv_usec += 1000000;
    }
    return 0;
}

extern "C" int cal_touch_area(void) {
    gettimeofday(&start_time, nullptr);
    FrameInfo info0, info1;
    memset(&info0, 0xFF, sizeof info0);
    memset(&info1, 0xFF, sizeof info1);
    KRV_LOGD("cal_touch_area \n");

    // A failed fetch (no sensor node, request refused) would leave
    // uninitialised or half-written stack memory to classify. It is replaced
    // by light frames, which are invalid, so a failed fetch yields 0.
    FramePair pair;
    if (!krv::get_image_data(reinterpret_cast<uint8_t*>(&pair))) memset(&pair, kNoTouch, sizeof pair);

    cal_frame_info(pair.frame0, &info0);
    cal_edg_pos(pair.frame0, &info0);
    cal_frame_info(pair.frame1, &info1);
    cal_edg_pos(pair.frame1, &info1);

    if (info0.invalid == 1 || info1.invalid == 1) {
        krv::gDirection = NAV_RESULT_NONE;
        return NAV_RESULT_NONE;
    }
    if (pair.status == kDriverFlag) {
        krv::gDirection = NAV_RESULT_DRIVER_FLAGGED;
        return NAV_RESULT_DRIVER_FLAGGED;
    }
    gettimeofday(&end_time, nullptr);
    if (timeval_subtract(&diff_time, &start_time, &end_time) == 0) {
        // In 64-bit arithmetic (a 32-bit long overflows after 24 days) and
        // saturated, so that a far jump of the clock never wraps into the
        // tap window.
        const long long ms = static_cast<long long>(diff_time.tv_sec) * 1000 + diff_time.tv_usec / 1000;
        krv::interval_time = ms > INT32_MAX ? INT32_MAX : static_cast<int32_t>(ms);
    } else {
        // The clock stepped back during the pass: the elapsed time is
        // unknown, and a stale value must not turn this touch into a tap.
        krv::interval_time = -1;
    }
    cal_move_dir_5406(&info0, &info1);
    KRV_LOGD("gDirection = %d, interval_time = %ldms\n", static_cast<int>(krv::gDirection),
             static_cast<long>(krv::interval_time));
    return krv::gDirection;
}
