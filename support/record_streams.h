// The records the library writes to the input node, as type, code and
// value: one table for the tests, the simulator and the system test's
// guest (header only, no other dependency). Times are not part of it.
#pragma once

#include <linux/input.h>
#include <stdint.h>

#include <algorithm>
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

// The key krv_nav_reportKey2 writes for a result code: 7 home, 5 back, 3
// left, 4 right (tested in that order); other codes write nothing.
struct ResultKey {
    int result;
    uint16_t key;
};
inline constexpr ResultKey kResultKeys[] = {{7, KEY_HOMEPAGE}, {5, KEY_BACK}, {3, KEY_LEFT}, {4, KEY_RIGHT}};

// Every stream the library can write: the press and release of each result
// key, then the four swipes.
inline std::vector<std::vector<Record>> every_stream() {
    std::vector<std::vector<Record>> all;
    for (const ResultKey& k : kResultKeys) all.push_back(key_records(k.key));
    for (Swipe s : {Swipe::kUp, Swipe::kDown, Swipe::kLeft, Swipe::kRight}) all.push_back(swipe_records(s));
    return all;
}

// The event codes of those streams apart from EV_SYN, as type and code (the
// value left 0), in ascending order: what the device behind the input node
// must declare, or the input core drops the records.
inline std::vector<Record> codes_written() {
    std::vector<Record> codes;
    for (const auto& stream : every_stream())
        for (const Record& r : stream) {
            const Record code = {r.type, r.code, 0};
            if (r.type != EV_SYN && std::find(codes.begin(), codes.end(), code) == codes.end()) codes.push_back(code);
        }
    std::sort(codes.begin(), codes.end(),
              [](const Record& a, const Record& b) { return a.type != b.type ? a.type < b.type : a.code < b.code; });
    return codes;
}

// The name of a code the library writes, of SYN_REPORT or of ABS_MT_SLOT
// (which the input core adds to what readers get); nullptr for others.
inline const char* code_name(uint16_t type, uint16_t code) {
    struct Named {
        uint16_t type, code;
        const char* name;
    };
    static constexpr Named kNames[] = {
        {EV_SYN, SYN_REPORT, "SYN_REPORT"},
        {EV_KEY, KEY_LEFT, "KEY_LEFT"},
        {EV_KEY, KEY_RIGHT, "KEY_RIGHT"},
        {EV_KEY, KEY_BACK, "KEY_BACK"},
        {EV_KEY, KEY_HOMEPAGE, "KEY_HOMEPAGE"},
        {EV_KEY, BTN_TOUCH, "BTN_TOUCH"},
        {EV_ABS, ABS_MT_SLOT, "ABS_MT_SLOT"},
        {EV_ABS, ABS_MT_POSITION_X, "ABS_MT_POSITION_X"},
        {EV_ABS, ABS_MT_POSITION_Y, "ABS_MT_POSITION_Y"},
        {EV_ABS, ABS_MT_TRACKING_ID, "ABS_MT_TRACKING_ID"},
    };
    for (const Named& n : kNames)
        if (n.type == type && n.code == code) return n.name;
    return nullptr;
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
