// Frame pairs for the simulator and the frame tools: the built-in gestures,
// generated pairs, the 18433-byte file layout and the per-frame summaries
// as the library computes them.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "krv_nav.h"

namespace krvsim {

// One patch of touch pixels per frame, in a box of w x h pixels whose top
// left pixel is (col, row); everything else is 255.
struct BlobSpec {
    int col = 0, row = 0, w = 0, h = 0;
};

struct GeneratedPair {
    BlobSpec first, second;
    int level = 90;      // value of the touch pixels
    int status = 0;      // driver flag byte
    bool round = false;  // an ellipse filling the box instead of the box
};

struct Gesture {
    const char* name;
    GeneratedPair pair;
    int fetch_delay_ms;  // how long the frame request takes
    int expected;        // the result a pass gives with that delay
    const char* about;
};

// swipe-up, swipe-down, tap, flagged, too-small, sideways, still.
const std::vector<Gesture>& gestures();
const Gesture* find_gesture(const std::string& name);

FramePair make_frames(const GeneratedPair& g);

// Reads an 18433-byte frame pair; false with a message when the file is
// missing, unreadable or of another size.
bool read_frames(const std::string& path, FramePair* out, std::string* error);
bool write_frames(const std::string& path, const FramePair& pair, std::string* error);

// Both summaries as the library's exported cal_frame_info and cal_edg_pos
// compute them, each record starting at 0xFF (analysis.cpp: the only part
// that needs the library).
struct PairInfo {
    FrameInfo first, second;
};
PairInfo analyse(const FramePair& pair);

// "nothing", "swipe up", "swipe down", "single tap", "driver-flagged", ...
const char* result_name(int code);
// Short names used in scenario files: none, left, right, up, down, tap,
// flagged; -1 when unknown.
int result_from_word(const std::string& word);
// The short name of a result code; nullptr when it has none.
const char* result_word(int code);

// One line per record: level, validity, centre and the four edge points.
std::string describe_info(const FrameInfo& info);

}  // namespace krvsim
