// krv-events: prints, decoded, the records the library writes to the input
// node for a result code or a swipe name, on the simulated input node.
//
//   krv-events 5          result code 5 as the navigation thread hands it
//                         on (krv_nav_func, then krv_nav_reportKey2 for 5/7)
//   krv-events up         krv_nav_simulateTouch("up"); also down/left/right
//   krv-events key 428    krv_nav_reportKey2 directly (3 and 4 give keys)
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "krv_nav.h"
#include "simhw/sim_hardware.h"
#include "support/event_decoder.h"

namespace {

bool parse_int(const char* s, int* out) {
    char* end;
    long v = strtol(s, &end, 10);
    if (*s == '\0' || *end != '\0') return false;
    *out = static_cast<int>(v);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    krvtest::sensor_reset();
    int code;
    if (argc == 3 && strcmp(argv[1], "key") == 0 && parse_int(argv[2], &code)) {
        krv_nav_reportKey2(code);
    } else if (argc == 2 && parse_int(argv[1], &code)) {
        krv_nav_func(code);
        if (code == NAV_RESULT_DRIVER_FLAGGED || code == NAV_RESULT_SINGLE_TAP) krv_nav_reportKey2(code);
    } else if (argc == 2) {
        krv_nav_simulateTouch(argv[1]);
    } else {
        fprintf(stderr, "usage: krv-events RESULT_CODE | SWIPE_NAME | key RESULT_CODE\n");
        return 2;
    }
    // Every write has returned; the reader may still be draining.
    size_t n = krvtest::input_wait(68, 200);
    std::vector<struct input_event> events;
    for (const auto& p : krvtest::input_packets()) events.push_back(p.ev);
    for (const auto& line : krvtest::decode_stream(events)) printf("%s\n", line.c_str());
    printf("%zu records\n", n);
    return 0;
}
