// Plays a scenario: the library driven only through NavCtrlJni's entry
// points, on the simulated sensor, input node and command pipe, while the
// log lines and the injected records are collected into one timeline.
#pragma once

#include <linux/input.h>

#include <functional>
#include <string>
#include <vector>

#include "scenario.h"

namespace krvsim {

struct Entry {
    enum Kind { StepStart, Note, Log, Event } kind;
    long long t_us = 0;  // since the run began (monotonic clock)
    int step = -1;       // index of the step it belongs to
    // StepStart and Note: text; Log: priority, tag, thread and text
    std::string text;
    int prio = 0;
    std::string tag;
    std::string thread;  // host, nav, ctl or a thread id
    // Event: the record and the size of its write
    struct input_event ev {};
    size_t size = 0;
};

// One row of the summary: a touch on the sensor or an on-demand swipe.
struct TouchReport {
    enum Outcome { Classified, Dropped, Lost, NoAnswer, OnDemand } outcome = NoAnswer;
    int step = 0, line = 0;
    std::string source;  // gesture, file=..., blobs=..., or simulateX()/simulateY()
    int delay_ms = 0;
    int code = -1;                            // result code when classified
    std::vector<struct input_event> records;  // what it injected
    std::string events;                       // the records described
    bool events_ok = false;                   // the records are those of the result
    long long latency_us = -1;                // touch (or call) to first record
    int expect = kNoExpect;
    bool expect_ok = true;
};

struct RunReport {
    std::string name;
    std::vector<Entry> timeline;
    std::vector<TouchReport> touches;
    std::vector<std::string> problems;  // "line N: ..." for every failed step
    long long realtime_origin_us = 0;   // real-time clock when the run began
    long long duration_us = 0;
    bool ok() const { return problems.empty(); }
};

// Called after each step with the report so far and the index of the first
// timeline entry added by that step.
using StepDone = std::function<void(const RunReport&, size_t step, size_t first_entry)>;

// Runs every step in order and returns the report. The enable property is
// kept in a private folder for the run. Runs once per process.
RunReport run_scenario(const Scenario& sc, const StepDone& on_step = {});

// The records a result code makes the navigation thread inject are
// krvrec::result_records (support/record_streams.h).
// "68 records: swipe up x 360 y 608..0", "4 records: KEY_BACK press, release", "none".
std::string describe_records(const std::vector<struct input_event>& records);

// ---- output
std::string format_entry(const Entry& e, long long origin);
std::string format_summary(const RunReport& r);
std::string format_json(const RunReport& r);

}  // namespace krvsim
