#include "stream_check.h"

#include <stdio.h>

#include "guest_check.h"
#include "kvs508_driver.h"

namespace krvsys {

std::string name_of(const Ev& e) {
    if (const char* name = krvrec::code_name(e.type, e.code)) return name;
    switch (e.type) {
        case EV_SYN:
            return "SYN_" + std::to_string(e.code);
        case EV_KEY:
            return "KEY_" + std::to_string(e.code);
        case EV_ABS:
            return "ABS_" + std::to_string(e.code);
    }
    return "type" + std::to_string(e.type) + "/" + std::to_string(e.code);
}

void print_stream(const char* label, const std::vector<Ev>& evs) {
    printf("stream %s (%zu records):\n", label, evs.size());
    std::string line;
    for (const Ev& e : evs) {
        if (!line.empty()) line += ", ";
        line += name_of(e);
        if (!(e.type == EV_SYN)) line += " " + std::to_string(e.value);
        if (e.type == EV_SYN) {
            printf("  %s\n", line.c_str());
            line.clear();
        }
    }
    if (!line.empty()) printf("  %s\n", line.c_str());
}

namespace {
const char* const kDropNames[] = {"repeated ABS value", "key state unchanged", "empty report", "slot staged",
                                  "undeclared code"};
}  // namespace

bool Checker::expect_stream(const char* label, size_t from, const std::vector<Ev>& written) {
    std::vector<Ev> want = model.feed(written);
    std::vector<int> drops = model.take_drops();
    wait_until(10000, [&] { return reader.count() >= from + want.size(); });
    sleep_ms(300);
    std::vector<Seen> seen = reader.since(from);
    std::vector<Ev> got;
    for (auto& s : seen) got.push_back(s.ev);
    print_stream(label, got);
    std::string why;
    for (int r = 0; r < kDropReasons; ++r)
        if (drops[size_t(r)])
            why += std::string(why.empty() ? "" : ", ") + std::to_string(drops[size_t(r)]) + " " + kDropNames[r];
    printf("  written %zu, delivered as the input core documents %zu; dropped: %s\n", written.size(), want.size(),
           why.empty() ? "none" : why.c_str());
    bool same = got == want;
    if (!same) {
        size_t i = 0;
        while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
        printf("  first difference at record %zu: got %s, want %s\n", i,
               i < got.size() ? (name_of(got[i]) + " " + std::to_string(got[i].value)).c_str() : "nothing",
               i < want.size() ? (name_of(want[i]) + " " + std::to_string(want[i].value)).c_str() : "nothing");
    }
    return check(same, "%s: delivered stream (%zu records) matches the input core's rules (%zu expected)", label,
                 got.size(), want.size());
}

void Checker::gesture(const char* label, const FramePair& pair, int delay_ms, const std::vector<Ev>& written) {
    check(set_pair(pair, delay_ms), "%s: frame pair and delay %d ms set in the driver", label, delay_ms);
    if (!check(nav_armed(), "%s: navigation thread armed for a touch", label)) return;
    long long requests = drv("frame_requests"), arms = drv("arms"), touches = drv("touches");
    size_t from = reader.count();
    touch();
    bool rearmed = wait_until(10000, [&] { return drv("arms") > arms && drv("armed") == 1; });
    if (!check(rearmed, "%s: thread waits again after the pass", label)) return;
    check(drv("touches") == touches + 1 && drv("frame_requests") == requests + 1,
          "%s: driver saw one touch and served one frame request (requests %lld -> %lld)", label, requests,
          drv("frame_requests"));
    expect_stream(label, from, written);
    std::vector<Seen> seen = reader.since(from);
    if (!seen.empty()) {
        long long t = drv("touch_ns");
        double first = double(seen[0].seen_ns - t) / 1e6, fetch = double(drv("fetch_ns") - t) / 1e6;
        printf("  kill_fasync -> first record read: %.2f ms (-> frame request: %.2f ms)%s\n", first, fetch,
               delay_ms ? ", frame-request delay included" : "");
        // Touches with a frame-request delay would only measure the delay.
        if (delay_ms == 0) {
            latencies_ms.push_back(first);
            fetch_ms.push_back(fetch);
        }
    }
}

}  // namespace krvsys
