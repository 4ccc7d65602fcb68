#include "support/event_decoder.h"

#include <libevdev/libevdev.h>
#include <stdio.h>

namespace krvtest {

std::string event_type_name(unsigned type) {
    const char* n = libevdev_event_type_get_name(type);
    return n ? n : std::to_string(type);
}

std::string event_code_name(unsigned type, unsigned code) {
    const char* n = libevdev_event_code_get_name(type, code);
    return n ? n : std::to_string(code);
}

std::string decode_event(const struct input_event& ev, long long origin_us) {
    long long t = ev.input_event_sec * 1000000LL + ev.input_event_usec;
    long long rel = t - origin_us;
    char stamp[32];
    if (t == 0)
        snprintf(stamp, sizeof stamp, "[  time zero ]");  // a record written before any stamp
    else
        snprintf(stamp, sizeof stamp, "[%5lld.%06lld]", rel / 1000000, rel % 1000000);
    char buf[160];
    snprintf(buf, sizeof buf, "%s %-12s %-20s %08x", stamp, event_type_name(ev.type).c_str(),
             event_code_name(ev.type, ev.code).c_str(), static_cast<unsigned>(ev.value));
    return buf;
}

std::vector<std::string> decode_stream(const std::vector<struct input_event>& events) {
    long long origin = 0;
    for (const auto& e : events) {
        long long t = e.input_event_sec * 1000000LL + e.input_event_usec;
        if (t != 0) {
            origin = t;
            break;
        }
    }
    std::vector<std::string> out;
    for (const auto& e : events) out.push_back(decode_event(e, origin));
    return out;
}

}  // namespace krvtest
