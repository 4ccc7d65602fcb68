// The records a reader got, against what the input core's rules say it
// gets for what the library wrote; one touch on the sensor end to end.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "input_core_model.h"
#include "krv_nav.h"
#include "touch_screen.h"

namespace krvsys {

// "ABS_MT_POSITION_Y", "KEY_BACK", ...
std::string name_of(const Ev& e);
// One packet per line: "ABS_MT_POSITION_Y 576, SYN_REPORT".
void print_stream(const char* label, const std::vector<Ev>& evs);

struct Checker {
    Reader& reader;
    InputCoreModel& model;
    std::vector<double> latencies_ms, fetch_ms;
    std::vector<std::vector<Ev>> streams;  // what the reader got, one entry per expect_stream

    // Waits for the records the model says readers get for `written`,
    // then a little longer to see that nothing more comes.
    bool expect_stream(const char* label, size_t from, const std::vector<Ev>& written);

    // One touch on the sensor: the navigation thread fetches the pair,
    // classifies it, injects and waits again.
    void gesture(const char* label, const FramePair& pair, int delay_ms, const std::vector<Ev>& written);

    // Swipe up, swipe down, tap and driver-flagged, one touch each, their
    // lines headed by `prefix`.
    void four_gestures(const std::string& prefix);

    // "STP" through `send`: the state `nav_state` reads becomes stop, and
    // the touch after it ends the wait but is not classified. "STT": armed
    // again after the 1 s pause. Lines headed by `label`.
    void pause_and_resume(const char* label, const std::function<void(const char*)>& send,
                          const std::function<int32_t()>& nav_state);
};

}  // namespace krvsys
