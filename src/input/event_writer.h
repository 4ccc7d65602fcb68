// One input event record, reused and changed in place, written one record
// per write to the input node.
#pragma once

#include <linux/input.h>
#include <string.h>
#include <sys/time.h>
#include <unistd.h>

namespace krv {

constexpr const char* kWriteError = "write error";

struct EventWriter {
    int fd;
    const char* routine;  // named in the write-error line
    struct input_event ev;

    EventWriter(int deviceFd, const char* name) : fd(deviceFd), routine(name) { memset(&ev, 0, sizeof ev); }

    void set(unsigned type, unsigned code, int value) {
        ev.type = static_cast<__u16>(type);
        ev.code = static_cast<__u16>(code);
        ev.value = value;
    }
    // Stamps the record with the current time of day.
    void stamp() {
        struct timeval now;
        gettimeofday(&now, nullptr);
        ev.input_event_sec = now.tv_sec;
        ev.input_event_usec = now.tv_usec;
    }
    // Writes the record; a negative result is logged, and the caller goes on.
    void write_record();
    void write_event(unsigned type, unsigned code, int value) {
        set(type, code, value);
        write_record();
    }
    void write_report() {
        set(EV_SYN, SYN_REPORT, 0);
        stamp();
        write_record();
    }
};

}  // namespace krv
