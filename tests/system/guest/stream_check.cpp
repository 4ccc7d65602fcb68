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
        // Appended, not " " + std::string: GCC 12 at -O2 reports a false overlap there (GCC bug 105329).
        if (!(e.type == EV_SYN)) line.append(" ").append(std::to_string(e.value));
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
    streams.push_back(got);
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

void Checker::four_gestures(const std::string& prefix) {
    const Blob still{20, 50, 20, 20};
    gesture((prefix + "swipe up").c_str(), make_pair({20, 10, 20, 20}, {20, 60, 20, 20}), 0,
            krvrec::swipe_records(krvrec::Swipe::kUp));
    gesture((prefix + "swipe down").c_str(), make_pair({20, 60, 20, 20}, {20, 10, 20, 20}), 0,
            krvrec::swipe_records(krvrec::Swipe::kDown));
    gesture((prefix + "tap").c_str(), make_pair(still, still), 250, krvrec::key_records(KEY_BACK));
    gesture((prefix + "driver-flagged").c_str(), make_pair(still, still, 1), 0, krvrec::key_records(KEY_HOMEPAGE));
}

void Checker::pause_and_resume(const char* label, const std::function<void(const char*)>& send,
                               const std::function<int32_t()>& nav_state) {
    send("STP");
    check(wait_until(5000, [&] { return nav_state() == STATE_STOP; }), "%s: navigation state is stop", label);
    {
        const long long requests = drv("frame_requests");
        const size_t from = reader.count();
        touch();
        check(wait_until(5000, [] { return drv("armed") == 0; }), "%s: the touch after STP ends the wait", label);
        sleep_ms(500);
        check(drv("frame_requests") == requests && reader.count() == from && drv("armed") == 0,
              "%s: that touch is not classified and the thread stays paused", label);
    }
    const int64_t t0 = mono_ns();
    send("STT");
    const bool armed = wait_until(10000, [] { return drv("armed") == 1; });
    const double s = double(mono_ns() - t0) / 1e9;
    check(armed && s >= 0.95, "%s: navigation resumes after the 1 s pause (%.2f s)", label, s);
}

}  // namespace krvsys
