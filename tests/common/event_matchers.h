// gmock matchers for input event records: IsEvent(type, code, value) for
// one, EventsAre(table) for a whole stream against the shared record table.
#pragma once

#include <gmock/gmock.h>
#include <linux/input.h>

#include <vector>

#include "simhw/sim_hardware.h"
#include "support/record_streams.h"

namespace krvtest {

MATCHER_P3(IsEvent, type, code, value,
           "is record " + ::testing::PrintToString(type) + " " + ::testing::PrintToString(code) + " " +
               ::testing::PrintToString(value)) {
    return arg.type == type && arg.code == code && arg.value == value;
}

// One IsEvent per record of `want`, for ElementsAreArray.
inline std::vector<::testing::Matcher<const struct input_event&>> EventsAre(const std::vector<krvrec::Record>& want) {
    std::vector<::testing::Matcher<const struct input_event&>> m;
    for (const auto& r : want) m.push_back(IsEvent(r.type, r.code, r.value));
    return m;
}

// The records of the packets, in order.
inline std::vector<struct input_event> events_of(const std::vector<Packet>& packets) {
    std::vector<struct input_event> out;
    for (const auto& p : packets) out.push_back(p.ev);
    return out;
}

}  // namespace krvtest
