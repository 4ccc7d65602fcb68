// krv-navd hosting the library in the guest, as init starts it on a device:
// a process of its own that makes the pipe's folder, with navctl run
// beside it; the guest touches through the driver and reads what the input
// core delivers. Then what init and the hardware do to it: the touch
// panel's node taken away and brought back, a second start, SIGKILL and a
// new start.
#pragma once

#include <vector>

#include "input_core_model.h"
#include "touch_screen.h"

namespace krvsys {

struct HostBuild {
    const char* label;    // "x86-64", "i386", "arm64", "armhf"
    const char* navd;     // krv-navd of this build
    const char* navctl;   // navctl of this build
    const char* lib_dir;  // its libkrvnav.so and the libraries they load
    bool compat;          // 32-bit: its requests reach the driver through compat_ioctl
};

// The touch screen the daemons write to: the uinput descriptor that keeps
// it, its reader and what the input core holds for it.
struct TouchPanel {
    int& uinput;
    Reader& reader;
    InputCoreModel& model;
};

// Starts krv-navd, checks navctl status, four gestures, "STP" and "STT"
// through navctl; then the panel's node destroyed and made again while it
// runs, a second krv-navd beside it, SIGKILL and a new start, SIGTERM.
// One "ok"/"FAIL" line per check. Returns what the reader got for the four
// gestures on the panel made again (a new device: the input core holds
// nothing from before), to compare one build's records with another's.
std::vector<std::vector<Ev>> hosted_daemon(const HostBuild& build, TouchPanel& panel);

}  // namespace krvsys
