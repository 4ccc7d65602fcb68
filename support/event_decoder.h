// Decodes input event records into the text form of Android's getevent:
//   [   0.005012] EV_ABS       ABS_MT_POSITION_Y    00000260
// Names come from libevdev; times are relative to `origin` (the first
// record with a non-zero time when none is given).
#pragma once

#include <linux/input.h>

#include <string>
#include <vector>

namespace krvtest {

std::string event_type_name(unsigned type);
std::string event_code_name(unsigned type, unsigned code);
std::string decode_event(const struct input_event& ev, long long origin_us);
std::vector<std::string> decode_stream(const std::vector<struct input_event>& events);

}  // namespace krvtest
