// The run as text (a logcat-style timeline with getevent-style records,
// then a summary table) and as JSON.
#include <stdio.h>

#include "frame_tools.h"
#include "runner.h"
#include "support/event_decoder.h"

namespace krvsim {
namespace {

char prio_letter(int prio) {
    static const char kLetters[] = "??VDIWEF";  // Android log priorities 2..7
    return prio >= 2 && prio <= 7 ? kLetters[prio] : '?';
}

// Drops the trailing line ends and shows other control characters as C escapes.
std::string printable(const std::string& text) {
    size_t end = text.size();
    while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == '\r')) --end;
    std::string out;
    for (size_t i = 0; i < end; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c == 0x7f) {
            char b[8];
            (void)snprintf(b, sizeof b, "\\x%02x", c);
            out += b;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string seconds(long long us) {
    char b[32];
    (void)snprintf(b, sizeof b, "%10.6f", static_cast<double>(us) / 1e6);
    return b;
}

std::string outcome_text(const TouchReport& t) {
    switch (t.outcome) {
        case TouchReport::Classified:
            return std::to_string(t.code) + " " + result_name(t.code);
        case TouchReport::Dropped:
            return "dropped (paused)";
        case TouchReport::Lost:
            return "lost (not armed)";
        case TouchReport::NoAnswer:
            return "no answer";
        case TouchReport::OnDemand:
            return "on demand";
    }
    return "?";
}

const char* outcome_word(TouchReport::Outcome o) {
    switch (o) {
        case TouchReport::Classified:
            return "classified";
        case TouchReport::Dropped:
            return "dropped";
        case TouchReport::Lost:
            return "lost";
        case TouchReport::NoAnswer:
            return "no-answer";
        case TouchReport::OnDemand:
            return "on-demand";
    }
    return "?";
}

std::string check_text(const TouchReport& t) {
    if (!t.events_ok) return "FAIL: records";
    if (!t.expect_ok) return "FAIL: expected " + expect_name(t.expect);
    return "ok";
}

std::string json_string(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            char b[8];
            (void)snprintf(b, sizeof b, "\\u%04x", c);
            out += b;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string json_number(double v) {
    char b[32];
    (void)snprintf(b, sizeof b, "%.6f", v);
    return b;
}

}  // namespace

std::string format_entry(const Entry& e, long long origin) {
    std::string t = seconds(e.t_us);
    switch (e.kind) {
        case Entry::StepStart:
            return t + " ==== " + e.text;
        case Entry::Note:
        case Entry::Log: {
            char head[64];
            (void)snprintf(head, sizeof head, " %c/%-8s(%4s): ", e.kind == Entry::Note ? 'I' : prio_letter(e.prio),
                           e.tag.c_str(), e.thread.c_str());
            return t + head + printable(e.text);
        }
        case Entry::Event: {
            std::string line = t + "   event2: " + krvtest::decode_event(e.ev, origin);
            if (e.size != sizeof(struct input_event)) line += "  (write of " + std::to_string(e.size) + " bytes)";
            return line;
        }
    }
    return t;
}

std::string format_summary(const RunReport& r) {
    std::string out = "\nSummary of \"" + r.name + "\"\n";
    char b[512];
    (void)snprintf(b, sizeof b, "%-4s %-5s %-13s %-7s %-20s %-42s %-10s %s\n", "#", "line", "touch", "delay", "result",
                   "events", "latency", "check");
    out += b;
    int n = 0;
    for (const auto& t : r.touches) {
        std::string delay = t.outcome == TouchReport::OnDemand ? "-" : std::to_string(t.delay_ms) + " ms";
        std::string latency = "-";
        if (t.latency_us >= 0) {
            char l[32];
            (void)snprintf(l, sizeof l, "%.2f ms", static_cast<double>(t.latency_us) / 1000.0);
            latency = l;
        }
        (void)snprintf(b, sizeof b, "%-4d %-5d %-13s %-7s %-20s %-42s %-10s %s\n", ++n, t.line, t.source.c_str(),
                       delay.c_str(), outcome_text(t).c_str(), t.events.c_str(), latency.c_str(),
                       check_text(t).c_str());
        out += b;
    }
    (void)snprintf(b, sizeof b, "\n%zu touches and swipes in %.2f s: ", r.touches.size(),
                   static_cast<double>(r.duration_us) / 1e6);
    out += b;
    if (r.ok()) {
        out += "every one produced the expected events.\n";
    } else {
        out += std::to_string(r.problems.size()) + " problem(s):\n";
        for (const auto& p : r.problems) out += "  " + p + "\n";
    }
    return out;
}

std::string format_json(const RunReport& r) {
    std::string o = "{\n  \"scenario\": " + json_string(r.name) + ",\n  \"ok\": " + (r.ok() ? "true" : "false") +
                    ",\n  \"duration_s\": " + json_number(static_cast<double>(r.duration_us) / 1e6) +
                    ",\n  \"problems\": [";
    for (size_t i = 0; i < r.problems.size(); ++i) o += (i ? ", " : "") + json_string(r.problems[i]);
    o += "],\n  \"touches\": [";
    for (size_t i = 0; i < r.touches.size(); ++i) {
        const auto& t = r.touches[i];
        o += std::string(i ? "," : "") + "\n    {\"line\": " + std::to_string(t.line) +
             ", \"source\": " + json_string(t.source) + ", \"outcome\": \"" + outcome_word(t.outcome) + "\"";
        if (t.outcome != TouchReport::OnDemand) o += ", \"delay_ms\": " + std::to_string(t.delay_ms);
        if (t.outcome == TouchReport::Classified || t.outcome == TouchReport::OnDemand)
            o += ", \"result\": " + std::to_string(t.code) + ", \"gesture\": " + json_string(result_name(t.code));
        o += ", \"records\": " + std::to_string(t.records.size()) + ", \"events\": " + json_string(t.events) +
             ", \"latency_ms\": " +
             (t.latency_us >= 0 ? json_number(static_cast<double>(t.latency_us) / 1000.0) : "null") +
             ", \"expected\": " + (t.expect == kNoExpect ? "null" : json_string(expect_name(t.expect))) +
             ", \"events_ok\": " + (t.events_ok ? "true" : "false") +
             ", \"expect_ok\": " + (t.expect_ok ? "true" : "false") + "}";
    }
    o += "\n  ],\n  \"timeline\": [";
    for (size_t i = 0; i < r.timeline.size(); ++i) {
        const auto& e = r.timeline[i];
        o += std::string(i ? "," : "") + "\n    {\"t\": " + json_number(static_cast<double>(e.t_us) / 1e6) +
             ", \"step\": " + std::to_string(e.step + 1);
        switch (e.kind) {
            case Entry::StepStart:
                o += ", \"kind\": \"step\", \"text\": " + json_string(e.text);
                break;
            case Entry::Note:
            case Entry::Log:
                o += std::string(", \"kind\": \"") + (e.kind == Entry::Note ? "note" : "log") + "\", \"prio\": \"" +
                     (e.kind == Entry::Note ? 'I' : prio_letter(e.prio)) + "\", \"tag\": " + json_string(e.tag) +
                     ", \"thread\": " + json_string(e.thread) + ", \"text\": " + json_string(printable(e.text));
                break;
            case Entry::Event: {
                long long stamp = e.ev.input_event_sec * 1000000LL + e.ev.input_event_usec;
                o += ", \"kind\": \"event\", \"type\": " + json_string(krvtest::event_type_name(e.ev.type)) +
                     ", \"code\": " + json_string(krvtest::event_code_name(e.ev.type, e.ev.code)) +
                     ", \"value\": " + std::to_string(e.ev.value) + ", \"time\": " +
                     (stamp == 0 ? "null" : json_number(static_cast<double>(stamp - r.realtime_origin_us) / 1e6)) +
                     ", \"bytes\": " + std::to_string(e.size);
                break;
            }
        }
        o += "}";
    }
    o += "\n  ]\n}\n";
    return o;
}

}  // namespace krvsim
