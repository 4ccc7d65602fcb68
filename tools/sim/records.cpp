// The injected records described in a few words for the summary.
#include "runner.h"
#include "support/event_decoder.h"
#include "support/record_streams.h"

namespace krvsim {

std::string describe_records(const std::vector<struct input_event>& r) {
    if (r.empty()) return "none";
    const std::vector<krvrec::Record> got = krvrec::records_of(r);
    std::string n = std::to_string(r.size()) + " records: ";
    if (got == krvrec::swipe_records(krvrec::Swipe::kUp)) return n + "swipe up, x 360, y 608..0";
    if (got == krvrec::swipe_records(krvrec::Swipe::kDown)) return n + "swipe down, x 360, y 0..608";
    if (r[0].type == EV_KEY && got == krvrec::key_records(r[0].code))
        return n + krvtest::event_code_name(EV_KEY, r[0].code) + " press, release";
    return n + "first " + krvtest::event_type_name(r[0].type) + " " + krvtest::event_code_name(r[0].type, r[0].code);
}

}  // namespace krvsim
