// `navctl status`: whether a device is ready for the library, checked
// without changing anything or waking anyone. One line per check:
//   sensor node    exists and opens read-write for the caller (closed at
//                  once, never armed for SIGIO)
//   input node     its name, and whether it declares every key and axis
//                  the library writes (EVIOCGNAME, EVIOCGBIT; opened
//                  read-only)
//   command pipe   exists, is a FIFO, its mode, and which process has it
//                  open for reading (found in /proc/*/fd, never by opening
//                  the pipe for writing, which would wake its reader)
//   property       the enable property's value (for the host; the library
//                  runs whatever it holds, so it never makes a device
//                  unready)
// A check that permissions stopped says "unknown (needs root)" (a device's
// shell user may not open the nodes, search the pipe's folder or read the
// property, and sees only its own processes in /proc), never "NOT READY".
#pragma once

#include <stdio.h>

#include "krv_nav.h"

namespace krvtools {

struct StatusOptions {
    const char* pipe = KRV_CTL_PIPE;
    const char* proc = "/proc";  // where other processes' descriptors are listed
};

// Prints the lines to `out`; true when every check found the device ready
// (an unknown counts as not ready).
bool print_status(const StatusOptions& options, FILE* out);

}  // namespace krvtools
