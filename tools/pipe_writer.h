// Sends one command into the library's command pipe from outside the
// library (navctl, the simulator), with the checks the library's own writer
// makes: the path must be a FIFO, a link is never followed, and the wait for
// a reader is bounded.
#pragma once

namespace krvtools {

enum class PipeStatus {
    kSent,        // the whole command went in
    kMissing,     // nothing at the path
    kNotFifo,     // something else at the path (a link, a file, ...)
    kNoReader,    // no reader opened the pipe within the timeout
    kOpenFailed,  // the open failed otherwise (error: its errno)
    kShortWrite,  // the write failed or took part of the command (error: its errno, 0 when short)
};

struct PipeResult {
    PipeStatus status;
    int error = 0;             // errno of a failed call
    long long written_us = 0;  // CLOCK_MONOTONIC time of the write
};

// Writes `command` (three letters) and a NUL as one 4-byte write. A reader
// is awaited for up to `timeout_ms` on the monotonic clock, by opens that do
// not block, 2 ms apart; a reader that leaves before the write makes it fail
// (EPIPE) without SIGPIPE ending the caller.
PipeResult send_command(const char* path, const char* command, long timeout_ms);

}  // namespace krvtools
