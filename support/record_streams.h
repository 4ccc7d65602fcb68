// The records the library writes to the input node, as type, code and
// value: one table for the tests, the simulator and the system test's
// guest (header only, no other dependency). Times are not part of it.
#pragma once

#include <linux/input.h>
#include <stdint.h>

#include <vector>

namespace krvrec {

struct Record {
    uint16_t type;
    uint16_t code;
    int32_t value;
    bool operator==(const Record&) const = default;
};

// The four swipes of krv_nav_simulateTouch ("up" is result 3's, "down"
// result 4's).
enum class Swipe { kUp, kDown, kLeft, kRight };

constexpr int kSwipeSteps = 20;
constexpr size_t kSwipeRecords = 68;  // 5 down, 3 per step, 3 up
constexpr size_t kKeyRecords = 4;

// One finger, tracking id 154. Vertical: along X 360, Y 0 to 608 in steps
// of 32 (down) or back from 608 (up), BTN_TOUCH after the first position.
// Horizontal: along Y 640, X 144 to 543 in steps of 21 (right) or mirrored
// about X 360 (left: 576 to 177), BTN_TOUCH before the first position.
inline std::vector<Record> swipe_records(Swipe s) {
    const bool vertical = s == Swipe::kUp || s == Swipe::kDown;
    auto moving = [s](int i) {
        switch (s) {
            case Swipe::kDown:
                return 32 * i;
            case Swipe::kUp:
                return 608 - 32 * i;
            case Swipe::kRight:
                return 144 + 21 * i;
            case Swipe::kLeft:
                break;
        }
        return 720 - (144 + 21 * i);
    };
    auto position = [&](int i) -> std::vector<Record> {
        if (vertical) return {{EV_ABS, ABS_MT_POSITION_X, 360}, {EV_ABS, ABS_MT_POSITION_Y, moving(i)}};
        return {{EV_ABS, ABS_MT_POSITION_X, moving(i)}, {EV_ABS, ABS_MT_POSITION_Y, 640}};
    };
    std::vector<Record> v = {{EV_ABS, ABS_MT_TRACKING_ID, 154}};
    const Record touch_down = {EV_KEY, BTN_TOUCH, 1};
    if (!vertical) v.push_back(touch_down);
    for (const Record& r : position(0)) v.push_back(r);
    if (vertical) v.push_back(touch_down);
    v.push_back({EV_SYN, SYN_REPORT, 0});
    for (int i = 0; i < kSwipeSteps; ++i) {
        for (const Record& r : position(i)) v.push_back(r);
        v.push_back({EV_SYN, SYN_REPORT, 0});
    }
    v.push_back({EV_ABS, ABS_MT_TRACKING_ID, -1});
    v.push_back({EV_KEY, BTN_TOUCH, 0});
    v.push_back({EV_SYN, SYN_REPORT, 0});
    return v;
}

// A press and a release, each with its report.
inline std::vector<Record> key_records(uint16_t key) {
    return {{EV_KEY, key, 1}, {EV_SYN, SYN_REPORT, 0}, {EV_KEY, key, 0}, {EV_SYN, SYN_REPORT, 0}};
}

// What the navigation thread injects for a result code: 3 and 4 a swipe, 5
// the back key, 7 the home key, anything else nothing.
inline std::vector<Record> result_records(int code) {
    switch (code) {
        case 3:
            return swipe_records(Swipe::kUp);
        case 4:
            return swipe_records(Swipe::kDown);
        case 5:
            return key_records(KEY_BACK);
        case 7:
            return key_records(KEY_HOMEPAGE);
        default:
            return {};
    }
}

inline Record record_of(const struct input_event& ev) { return {ev.type, ev.code, ev.value}; }

inline std::vector<Record> records_of(const std::vector<struct input_event>& evs) {
    std::vector<Record> out;
    out.reserve(evs.size());
    for (const auto& ev : evs) out.push_back(record_of(ev));
    return out;
}

// Records as input events with zero times (for decoders and printers).
inline std::vector<struct input_event> events_of(const std::vector<Record>& records) {
    std::vector<struct input_event> out(records.size());
    for (size_t i = 0; i < records.size(); ++i) {
        out[i] = {};
        out[i].type = records[i].type;
        out[i].code = records[i].code;
        out[i].value = records[i].value;
    }
    return out;
}

}  // namespace krvrec
