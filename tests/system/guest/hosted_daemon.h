// krv-navd hosting the library in the guest, as init starts it on a device:
// a process of its own that makes the pipe's folder, with navctl run
// beside it; the guest touches through the driver and reads what the input
// core delivers.
#pragma once

#include "input_core_model.h"
#include "touch_screen.h"

namespace krvsys {

struct HostBuild {
    const char* label;    // "64-bit", "i386"
    const char* navd;     // krv-navd of this build
    const char* navctl;   // navctl of this build
    const char* lib_dir;  // its libkrvnav.so and the libraries they load
    bool compat;          // 32-bit: its requests reach the driver through compat_ioctl
};

// Starts krv-navd, checks navctl status, four gestures, "STP" and "STT"
// through navctl, and SIGTERM; one "ok"/"FAIL" line per check.
void hosted_daemon(const HostBuild& build, Reader& reader, InputCoreModel& model);

}  // namespace krvsys
