// What the kernel's input core passes on to evdev readers for records
// written to a device, for the kind of device this test creates: a uinput
// touch screen with keys and multi-touch slots, fuzz 0, no auto-repeat.
//
// The rules follow input_handle_event() in drivers/input/input.c:
// - EV_KEY: passed only when the key's state changes (value 2, auto-repeat,
//   would always pass); a press of a pressed key or a release of a released
//   key is dropped.
// - EV_ABS multi-touch values: kept per slot; a value equal to the one the
//   current slot already holds is dropped. ABS_MT_TRACKING_ID starts at -1
//   in every slot, positions at 0. ABS_MT_SLOT itself is only staged.
// - EV_SYN SYN_REPORT: flushes the packet; a report with nothing before it
//   in the packet is dropped ("empty report").
// - codes the device did not declare are dropped.
// Timestamps are the kernel's own, so the model carries none.
#pragma once

#include <linux/input.h>
#include <stdint.h>

#include <utility>
#include <vector>

#include "support/record_streams.h"

namespace krvsys {

// The per-slot multi-touch values (the kernel's ABS_MT_FIRST..ABS_MT_LAST).
constexpr int kMtFirst = ABS_MT_TOUCH_MAJOR;
constexpr int kMtLast = ABS_MT_TOOL_Y;

// One record as type, code and value (the shared table's type).
using Ev = krvrec::Record;

enum DropReason { kDropAbsRepeat, kDropKeyUnchanged, kDropEmptyReport, kDropSlotStaged, kDropUndeclared, kDropReasons };

class InputCoreModel {
  public:
    // The declared codes: the rest is dropped as undeclared.
    InputCoreModel(std::vector<int> keys, std::vector<int> mt_axes)
        : keys_(std::move(keys)), axes_(std::move(mt_axes)) {
        for (auto& s : slots_)
            for (int& v : s) v = 0;
        for (auto& s : slots_) s[ABS_MT_TRACKING_ID - kMtFirst] = -1;
    }

    // Feeds the records a writer wrote; returns those readers receive.
    std::vector<Ev> feed(const std::vector<Ev>& written) {
        std::vector<Ev> out;
        for (const Ev& e : written) {
            if (e.type == EV_SYN && e.code == SYN_REPORT) {
                if (pending_.empty()) {
                    ++drops_[kDropEmptyReport];
                } else {
                    out.insert(out.end(), pending_.begin(), pending_.end());
                    out.push_back(e);
                    pending_.clear();
                }
            } else if (e.type == EV_KEY) {
                if (!declared(keys_, e.code)) {
                    ++drops_[kDropUndeclared];
                } else if (e.value == 2 || (key_down_[e.code] != (e.value != 0))) {
                    if (e.value != 2) key_down_[e.code] = e.value != 0;
                    pending_.push_back(e);
                } else {
                    ++drops_[kDropKeyUnchanged];
                }
            } else if (e.type == EV_ABS) {
                if (!declared(axes_, e.code)) {
                    ++drops_[kDropUndeclared];
                } else if (e.code == ABS_MT_SLOT) {
                    if (e.value >= 0 && e.value < kSlots) slot_ = e.value;
                    ++drops_[kDropSlotStaged];
                } else if (e.code >= kMtFirst && e.code <= kMtLast) {
                    int& old = slots_[slot_][e.code - kMtFirst];
                    if (old == e.value) {
                        ++drops_[kDropAbsRepeat];
                    } else {
                        old = e.value;
                        if (slot_ != reported_slot_) {
                            reported_slot_ = slot_;
                            pending_.push_back(Ev{EV_ABS, ABS_MT_SLOT, slot_});
                        }
                        pending_.push_back(e);
                    }
                } else {
                    ++drops_[kDropUndeclared];
                }
            } else {
                ++drops_[kDropUndeclared];
            }
        }
        return out;
    }

    // Drops counted since the last call, by reason; the counters restart.
    std::vector<int> take_drops() {
        std::vector<int> d(drops_, drops_ + kDropReasons);
        for (int& n : drops_) n = 0;
        return d;
    }

    static constexpr int kSlots = 10;

  private:
    static bool declared(const std::vector<int>& codes, int code) {
        for (int c : codes)
            if (c == code) return true;
        return false;
    }

    std::vector<int> keys_, axes_;
    bool key_down_[KEY_CNT] = {};
    int slots_[kSlots][kMtLast - kMtFirst + 1];
    int slot_ = 0, reported_slot_ = 0;
    std::vector<Ev> pending_;
    int drops_[kDropReasons] = {};
};

}  // namespace krvsys
