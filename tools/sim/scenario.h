// Scenarios for krv-sim: what the simulated host does, step by step.
//
// A scenario file holds one command per line; '#' at the start of a word
// begins a comment, blank lines are ignored. Words are separated by blanks.
//
//   name WORDS...            title shown in the output (once)
//   init                     NavCtrlJni.init()
//   start | stop             NavCtrlJni.start() / NavCtrlJni.stop()
//   touch PAIR [delay=MS] [expect=RESULT]
//                            a touch on the sensor; PAIR is one of
//                              GESTURE                 a built-in gesture (krv-sim gestures)
//                              file=PATH               an 18433-byte frame pair, relative
//                                                      to the scenario file's folder
//                              blobs=C,R,W,H:C,R,W,H   a generated pair: a W x H rectangle
//                                                      at column C, row R in each frame,
//                                                      with [level=N] (0..255, default 90),
//                                                      [status=N] (0..255, default 0) and
//                                                      [shape=rect|round] (default rect)
//                            delay=MS: how long the frame request takes (0..5000; a
//                            gesture brings its own, otherwise 0).
//                            RESULT: none up down tap flagged left right (or the code),
//                            dropped (reached the sensor but not classified, as while
//                            paused) or lost (no sensor armed)
//   wait MS                  pause the host (0..60000)
//   pipe WORD                WORD and a NUL written into the command pipe as another
//                            process would (STP, STT, CNL; 1..15 letters or digits)
//   swipe up|down            on-demand swipe: NavCtrlJni.simulateY() / simulateX()
//   set-state N              NavCtrlJni.setSta(N)
//   get-state [expect=N]     NavCtrlJni.getSta(); N is 1, 0 or -1
//   shutdown                 NavCtrlJni.uinit()
//
// The whole file is parsed, frame files included, before anything runs.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "krv_nav.h"

namespace krvsim {

enum class Op { Init, Start, Stop, Touch, Wait, Pipe, Swipe, SetState, GetState, Shutdown };

// Expectations of a touch besides the result codes 0..7.
constexpr int kNoExpect = -100;
constexpr int kExpectDropped = -2;
constexpr int kExpectLost = -3;

struct Step {
    Op op = Op::Init;
    int line = 0;
    std::string text;  // the command as written, without comment
    // touch
    FramePair frames{};
    std::string source;  // gesture name, file=PATH or blobs=...
    int delay_ms = 0;
    // touch (a result, kExpectDropped or kExpectLost) and get-state
    int expect = kNoExpect;
    // wait: milliseconds; set-state: the argument
    long value = 0;
    // pipe: the word; swipe: up or down
    std::string word;
};

struct Scenario {
    std::string name;
    std::vector<Step> steps;
};

// Loads the frame pair at a path (already joined with the scenario's
// folder); false with a message on failure.
using FrameLoader = std::function<bool(const std::string& path, FramePair* out, std::string* error)>;

// At most this many steps, and lines of at most this many bytes.
constexpr size_t kMaxSteps = 1000;
constexpr size_t kMaxLine = 4096;

// Parses a whole scenario. On failure returns false and sets `error` to
// "FILE:LINE: message"; `out` is then unspecified. Frame files are read
// with `loader` (the file system when empty).
bool parse_scenario(std::string_view text, const std::string& filename, Scenario* out, std::string* error,
                    const FrameLoader& loader = {});

// The built-in scenario: each gesture once, a pause and resume through the
// command pipe, an on-demand swipe and the enable state, then shutdown.
const char* default_scenario_text();

// Name of an expectation for display: "up", "dropped", ...
std::string expect_name(int expect);

}  // namespace krvsim
