// Frame analysis of one pair (summary and edge points of both frames, then
// the pass's direction rules), the library beside the plain reference, and
// the whole pass with the simulated frame fetch.
//
//   analysis/library/<shape>        the library, log lines formatted
//   analysis/library_nolog/<shape>  the library, log lines dropped unformatted
//   analysis/reference/<shape>      one plain loop per step, index div/mod 72
//   summary|edges/<variant>/<shape> one step alone
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <string.h>

#include <utility>

#include "log_sink.h"
#include "ratio_reporter.h"
#include "simhw/sim_hardware.h"
#include "support/frame_pairs.h"
#include "support/pair_analysis.h"
#include "support/reference_analysis.h"

namespace {

using krvgen::Shape;

FramePair g_pairs[5];

const FramePair& pair_of(Shape s) { return g_pairs[static_cast<int>(s)]; }

FrameInfo fresh() {
    FrameInfo info;
    memset(&info, 0xFF, sizeof info);
    return info;
}

void analysis_library(benchmark::State& state, Shape s, bool format_logs) {
    const FramePair& p = pair_of(s);
    krvbench::log_set_formatting(format_logs);
    for (auto _ : state) {
        FrameInfo a, b;
        krvpair::analyse_pair(p, &a, &b);
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(b);
        benchmark::ClobberMemory();
    }
    krvbench::log_set_formatting(true);
}

void analysis_reference(benchmark::State& state, Shape s) {
    const FramePair& p = pair_of(s);
    for (auto _ : state) {
        FrameInfo a = fresh(), b = fresh();
        krvref::frame_info(p.frame0, &a);
        krvref::edg_pos(p.frame0, &a);
        krvref::frame_info(p.frame1, &b);
        krvref::edg_pos(p.frame1, &b);
        uint8_t code = krvref::move_dir_5406(&a, &b, 0);
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(b);
        benchmark::DoNotOptimize(code);
        benchmark::ClobberMemory();
    }
}

// One step on frame0 only, logs dropped.
enum class Step { Summary, Edges };

void step_library(benchmark::State& state, Step step, Shape s) {
    const FramePair& p = pair_of(s);
    krvbench::log_set_formatting(false);
    FrameInfo base = fresh();
    cal_frame_info(p.frame0, &base);
    for (auto _ : state) {
        FrameInfo a = base;
        memset(&a, 0xFF, 8);
        if (step == Step::Summary)
            benchmark::DoNotOptimize(cal_frame_info(p.frame0, &a));
        else
            cal_edg_pos(p.frame0, &a);
        benchmark::DoNotOptimize(a);
        benchmark::ClobberMemory();
    }
    krvbench::log_set_formatting(true);
}

void step_reference(benchmark::State& state, Step step, Shape s) {
    const FramePair& p = pair_of(s);
    FrameInfo base = fresh();
    krvref::frame_info(p.frame0, &base);
    for (auto _ : state) {
        FrameInfo a = base;
        memset(&a, 0xFF, 8);
        if (step == Step::Summary)
            benchmark::DoNotOptimize(krvref::frame_info(p.frame0, &a));
        else
            krvref::edg_pos(p.frame0, &a);
        benchmark::DoNotOptimize(a);
        benchmark::ClobberMemory();
    }
}

// For scale: one read of both frames (a byte sum the compiler vectorises).
void read_both_frames(benchmark::State& state) {
    const FramePair& p = pair_of(Shape::Noisy);
    for (auto _ : state) {
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&p);
        uint32_t sum = 0;
        for (int i = 0; i < 2 * KRV_FRAME_PIXELS; ++i) sum += bytes[i];
        benchmark::DoNotOptimize(sum);
    }
}

// The whole pass: records, log lines, the simulated fetch (open, frame
// request, close), both analyses and the direction rules.
void full_pass(benchmark::State& state, Shape s, uint8_t status) {
    FramePair p = pair_of(s);
    p.status = status;
    krvtest::sensor_reset();
    krvtest::sensor_set_frames(p);
    int code = -1;
    for (auto _ : state) {
        code = cal_touch_area();
        benchmark::DoNotOptimize(code);
    }
    state.counters["result"] = code;
}

// RegisterBenchmark copies the name.
template <typename... Args>
void add(const char* group, const char* variant, Shape s, Args&&... args) {
    char name[96];
    snprintf(name, sizeof name, "%s/%s/%s", group, variant, krvgen::shape_name(s));
    benchmark::RegisterBenchmark(name, std::forward<Args>(args)...);
}

void register_all() {
    for (Shape s : krvgen::kShapes) krvgen::make_shape(s, &g_pairs[static_cast<int>(s)]);
    for (Shape s : krvgen::kShapes) {
        add("analysis", "library", s, analysis_library, s, true);
        add("analysis", "library_nolog", s, analysis_library, s, false);
        add("analysis", "reference", s, analysis_reference, s);
    }
    for (Shape s : {Shape::Swipe, Shape::Empty, Shape::Noisy}) {
        add("summary", "library", s, step_library, Step::Summary, s);
        add("summary", "reference", s, step_reference, Step::Summary, s);
        add("edges", "library", s, step_library, Step::Edges, s);
        add("edges", "reference", s, step_reference, Step::Edges, s);
    }
    benchmark::RegisterBenchmark("read_both_frames", read_both_frames);
    benchmark::RegisterBenchmark("pass/swipe", full_pass, Shape::Swipe, 0);
    benchmark::RegisterBenchmark("pass/flagged", full_pass, Shape::Tap, 1);
    benchmark::RegisterBenchmark("pass/empty", full_pass, Shape::Empty, 0);
}

}  // namespace

int main(int argc, char** argv) {
    register_all();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    krvbench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
