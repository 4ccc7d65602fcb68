// Direction and tap classification from the movement of the centroid.
#define LOG_TAG "nav_algo"

#include <stdlib.h>

#include "base/log.h"
#include "gesture/classifier_state.h"
#include "krv_nav.h"

namespace krv {
uint8_t gDirection;
int32_t interval_time;
}  // namespace krv

namespace {

// Thresholds of one classifier: the four movement branches and the codes
// they set.
struct DirectionRules {
    int up_min;     // dx + dy >= 0: dy above this is "up"
    int right_max;  // dx + dy >= 0: dy below this is "right"
    int left_min;   // dx + dy < 0: dy above this is "left"
    int down_max;   // dx + dy < 0: dy below this is "down"
    uint8_t right_code;
    uint8_t left_code;
};

constexpr DirectionRules kRules5406{35, -10, 10, -35, NAV_RESULT_NONE, NAV_RESULT_NONE};
constexpr DirectionRules kRules5517{10, -10, 10, -30, NAV_RESULT_RIGHT, NAV_RESULT_LEFT};

// A tap: the pass took 121 to 499 ms and the centroid barely moved.
constexpr int kTapMinMs = 121;
constexpr int kTapMaxMs = 499;
constexpr int kTapMaxAxis = 10;
constexpr int kTapMaxSum = 19;

void classify(const FrameInfo* first, const FrameInfo* second, const DirectionRules& r) {
    using krv::gDirection;
    gDirection = NAV_RESULT_NONE;
    const int dx = static_cast<int>(second->center.x) - static_cast<int>(first->center.x);
    const int dy = static_cast<int>(second->center.y) - static_cast<int>(first->center.y);
    KRV_LOGD("center_x_sq + center_y_sq = %d, center_x_sq = %d, center_y_sq = %d!\n", dx + dy, dx, dy);
    if (dx + dy >= 0) {
        if (dy > r.up_min) {
            KRV_LOGD("%s", "up gDirection moving !\n");
            gDirection = NAV_RESULT_UP;
        } else if (dy < r.right_max) {
            KRV_LOGD("%s", "right gDirection moving !\n");
            gDirection = r.right_code;
        }
    } else {
        if (dy > r.left_min) {
            KRV_LOGD("%s", "left gDirection moving !\n");
            gDirection = r.left_code;
        } else if (dy < r.down_max) {
            KRV_LOGD("%s", "down gDirection moving !\n");
            gDirection = NAV_RESULT_DOWN;
        }
    }
    const int32_t t = krv::interval_time;
    if (t >= kTapMinMs && t <= kTapMaxMs && abs(dx) + abs(dy) <= kTapMaxSum && abs(dx) <= kTapMaxAxis &&
        abs(dy) <= kTapMaxAxis) {
        KRV_LOGD("%s", "CLK_SINGLE\n");
        gDirection = NAV_RESULT_SINGLE_TAP;
    }
    if (gDirection == NAV_RESULT_NONE) KRV_LOGD("%s", "NONE move !\n");
}

}  // namespace

extern "C" void cal_move_dir_5406(const FrameInfo* first, const FrameInfo* second) {
    classify(first, second, kRules5406);
}

extern "C" void cal_move_dir_5517(const FrameInfo* first, const FrameInfo* second) {
    classify(first, second, kRules5517);
}
