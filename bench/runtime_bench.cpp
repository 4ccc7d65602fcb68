// The library at work on the simulated hardware:
//
//   size/stripped_library       bytes of the library without symbols
//   stack/*                     peak stack use of a pass and of the analysis
//   heap/*                      allocations over passes, keys and swipes
//   latency/touch_to_event/*    touch (the sensor's SIGIO) to the first record
//                               written to the input node, with its threads
//   latency/wake_to_pass        krv_nav_core_start to the start of the pass
//   idle/threads                CPU time and context switches of the
//                               library's two threads while nothing happens
//
// Each runs once (one iteration) and reports its figures as counters; the
// Time column of a latency benchmark is its median. --krv_smoke runs every
// benchmark with fewer rounds and a 1 s idle window.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <string>
#include <vector>

#include "log_sink.h"
#include "simhw/sim_hardware.h"
#include "support/frame_pairs.h"
#include "support/heap_count.h"
#include "support/pair_analysis.h"

using krvbench::now_ns;

// ------------------------------------------------------------ stand-ins

namespace {
std::atomic<bool> g_skip_sleeps{false};
}  // namespace

// The swipe pauses 5 ms between steps; the heap count replays many swipes
// and skips the pauses.
extern "C" int usleep(useconds_t us) {
    static auto real = reinterpret_cast<int (*)(useconds_t)>(dlsym(RTLD_NEXT, "usleep"));
    if (g_skip_sleeps.load(std::memory_order_relaxed)) return 0;
    return real(us);
}

namespace {

bool g_smoke = false;
int rounds(int full, int smoke) { return g_smoke ? smoke : full; }

FramePair shape_pair(krvgen::Shape s, uint8_t status) {
    FramePair p;
    krvgen::make_shape(s, &p);
    p.status = status;
    return p;
}

void sleep_us(long us) {
    struct timespec ts = {us / 1000000, (us % 1000000) * 1000};
    nanosleep(&ts, nullptr);
}

// Waits (polling; this is the benchmark, not the library) until `cond`
// holds; false after `ms`.
template <typename Cond>
bool wait_for(Cond cond, int ms) {
    const int64_t until = now_ns(CLOCK_MONOTONIC) + int64_t{ms} * 1000000;
    while (!cond()) {
        if (now_ns(CLOCK_MONOTONIC) > until) return false;
        sleep_us(50);
    }
    return true;
}

// The navigation thread waits for a touch with its sensor descriptor armed.
bool sensor_armed() { return krvtest::sensor_armed_count() == 1; }

struct Percentiles {
    double p50, p99, max;
};

Percentiles percentiles(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    auto at = [&](double q) { return v[std::min(v.size() - 1, static_cast<size_t>(q * (v.size() - 1) + 0.5))]; };
    return {at(0.5), at(0.99), v.back()};
}

void report_latency(benchmark::State& state, const char* prefix, const std::vector<double>& us) {
    const Percentiles p = percentiles(us);
    state.counters[std::string(prefix) + "p50_us"] = p.p50;
    state.counters[std::string(prefix) + "p99_us"] = p.p99;
    state.counters[std::string(prefix) + "max_us"] = p.max;
}

// ------------------------------------------------------------- size

void stripped_size(benchmark::State& state) {
    for (auto _ : state) {
        struct stat st;
        if (stat(KRV_STRIPPED_LIB, &st) != 0) {
            state.SkipWithError("no stripped library");
            return;
        }
        state.counters["bytes"] = static_cast<double>(st.st_size);
    }
}

// ------------------------------------------------------------- stack

constexpr size_t kStackBytes = 512 * 1024;
constexpr uint8_t kPaint = 0xA5;
alignas(4096) uint8_t g_stack[kStackBytes];

// Runs fn on a thread whose stack is painted first; returns the bytes of
// stack it touched (thread set-up and the stack's own bookkeeping included).
size_t stack_use(void* (*fn)(void*)) {
    memset(g_stack, kPaint, sizeof g_stack);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstack(&attr, g_stack, sizeof g_stack);
    pthread_t t;
    pthread_create(&t, &attr, fn, nullptr);
    pthread_join(t, nullptr);
    pthread_attr_destroy(&attr);
    size_t untouched = 0;
    while (untouched < sizeof g_stack && g_stack[untouched] == kPaint) ++untouched;
    return sizeof g_stack - untouched;
}

void* do_nothing(void*) { return nullptr; }

void* run_pass(void*) {
    benchmark::DoNotOptimize(cal_touch_area());
    return nullptr;
}

void* run_analysis(void*) {
    static FramePair p = shape_pair(krvgen::Shape::Noisy, 0);
    FrameInfo a, b;
    krvpair::analyse_pair(p, &a, &b);
    benchmark::DoNotOptimize(a);
    return nullptr;
}

void stack_peak(benchmark::State& state, bool whole_pass) {
    krvtest::sensor_reset();
    krvtest::sensor_set_frames(shape_pair(krvgen::Shape::Swipe, 0));
    for (auto _ : state) {
        const size_t base = stack_use(do_nothing);
        const size_t used = stack_use(whole_pass ? run_pass : run_analysis);
        state.counters["bytes"] = static_cast<double>(used - base);
        state.counters["thread_baseline_bytes"] = static_cast<double>(base);
    }
}

// -------------------------------------------------------------- heap

void heap(benchmark::State& state) {
    const int passes = rounds(10000, 1000), keys = rounds(1000, 100), swipes = rounds(1000, 50);
    const FramePair pairs[] = {shape_pair(krvgen::Shape::Swipe, 0), shape_pair(krvgen::Shape::Tap, 0),
                               shape_pair(krvgen::Shape::Tap, 1), shape_pair(krvgen::Shape::Empty, 0),
                               shape_pair(krvgen::Shape::Noisy, 0)};
    krvtest::sensor_reset();
    // One of each first: lazy symbol binding and the fixture's first use.
    cal_touch_area();
    krv_nav_reportKey2(5);
    g_skip_sleeps = true;
    krv_nav_simulateTouch("up");
    krvtest::input_wait(68 + 4, 2000);
    krvtest::input_clear();

    for (auto _ : state) {
        krvheap::heap_reset();
        krvheap::heap_count(true);
        for (int i = 0; i < passes; ++i) {
            krvtest::sensor_set_frames(pairs[i % 5]);
            benchmark::DoNotOptimize(cal_touch_area());
        }
        const krvheap::HeapCounts after_passes = krvheap::heap_counts();
        for (int i = 0; i < keys; ++i) krv_nav_reportKey2(i % 2 ? 5 : 7);
        for (int i = 0; i < swipes; ++i) krv_nav_simulateTouch(i % 2 ? "up" : "down");
        krvheap::heap_count(false);
        const krvheap::HeapCounts all = krvheap::heap_counts();
        state.counters["passes"] = passes;
        state.counters["keys"] = keys;
        state.counters["swipes"] = swipes;
        state.counters["lib_allocs_passes"] = static_cast<double>(after_passes.library);
        state.counters["lib_allocs_injections"] = static_cast<double>(all.library - after_passes.library);
        state.counters["fixture_allocs"] = static_cast<double>(all.other);
    }
    g_skip_sleeps = false;
    krvtest::input_clear();  // waits until the fixture has read the last sessions
}

// ------------------------------------------------------ library threads

std::set<int> task_ids() {
    std::set<int> ids;
    if (DIR* d = opendir("/proc/self/task")) {
        while (struct dirent* e = readdir(d))
            if (e->d_name[0] != '.') ids.insert(atoi(e->d_name));
        closedir(d);
    }
    return ids;
}

std::vector<int> g_library_tids;
krvheap::HeapCounts g_start_allocs{};

// Starts the navigation and control threads once, and remembers their ids.
bool library_threads() {
    if (!g_library_tids.empty()) return true;
    krvtest::sensor_reset();
    const std::set<int> before = task_ids();
    // Creating the threads is the one place where the C library allocates
    // on the library's behalf (thread bookkeeping); it shows in the heap
    // figures as the start-up cost.
    krvheap::heap_reset();
    krvheap::heap_count(true);
    const bool started = krv_nav_core_init() == 0 && krv_nav_core_ctl_init() == 0;
    krvheap::heap_count(false);
    g_start_allocs = krvheap::heap_counts();
    if (!started) return false;
    if (!wait_for(sensor_armed, 5000)) return false;
    sleep_us(100000);  // the control thread settles on its pipe
    for (int id : task_ids())
        if (!before.count(id)) g_library_tids.push_back(id);
    return g_library_tids.size() == 2;
}

// One touch with its first record; false when nothing came within 2 s.
struct TouchTimes {
    double to_pass_us;    // touch to the start of the pass
    double to_record_us;  // touch to the first input record
};

bool touch_once(size_t records, TouchTimes& out) {
    if (!wait_for(sensor_armed, 2000)) return false;
    krvtest::input_clear();
    krvbench::log_watch("cal_touch_area \n");
    const int64_t t0 = now_ns(CLOCK_MONOTONIC);
    if (krvtest::touch() != 1) return false;
    // The whole event, and the library's close of the node.
    if (krvtest::input_wait(records, 2000) < records) return false;
    if (!wait_for([] { return krvtest::input_closes() >= 1; }, 2000)) return false;
    // The fixture stamps each record with the time of the library's write.
    const long long first_write_us = krvtest::input_packets().front().written_us;
    out.to_pass_us = static_cast<double>(krvbench::log_watch_time_ns() - t0) / 1000.0;
    out.to_record_us = static_cast<double>(first_write_us * 1000 - t0) / 1000.0;
    return true;
}

enum class Touch { Flagged, Tap, Swipe };

void touch_to_event(benchmark::State& state, Touch kind) {
    if (!library_threads()) {
        state.SkipWithError("library threads did not start");
        return;
    }
    const int n = kind == Touch::Swipe ? rounds(1000, 20) : rounds(1000, 200);
    size_t records = 4;
    switch (kind) {
        case Touch::Flagged:  // home key: valid frames, driver flag, no timing
            krvtest::sensor_set_frames(shape_pair(krvgen::Shape::Tap, 1));
            break;
        case Touch::Tap:  // back key: the pass's clock says 200 ms
            krvtest::sensor_set_frames(shape_pair(krvgen::Shape::Tap, 0));
            break;
        case Touch::Swipe:  // 68 records, 20 steps 5 ms apart
            krvtest::sensor_set_frames(shape_pair(krvgen::Shape::Swipe, 0));
            records = 68;
            break;
    }
    std::vector<double> to_pass, to_record;
    krvheap::heap_reset();
    krvheap::heap_count(true);
    for (auto _ : state) {
        for (int i = 0; i < n; ++i) {
            if (kind == Touch::Tap) krvtest::script_clock({{7000, 0}, {7000, 200000}});
            TouchTimes t;
            if (!touch_once(records, t)) {
                krvheap::heap_count(false);
                state.SkipWithError("a touch gave no event");
                return;
            }
            to_pass.push_back(t.to_pass_us);
            to_record.push_back(t.to_record_us);
        }
        state.SetIterationTime(percentiles(to_record).p50 / 1e6);
    }
    krvheap::heap_count(false);
    state.counters["touches"] = n;
    report_latency(state, "", to_record);
    report_latency(state, "pass_start_", to_pass);
    state.counters["lib_allocs"] = static_cast<double>(krvheap::heap_counts().library);
    state.counters["lib_allocs_thread_start"] = static_cast<double>(g_start_allocs.library);
}

// Explicit wake while the thread waits for a touch: krv_nav_core_start to
// the pass's first line. The frames are light, so the pass gives 0 and
// injects nothing.
void wake_to_pass(benchmark::State& state) {
    if (!library_threads()) {
        state.SkipWithError("library threads did not start");
        return;
    }
    krvtest::sensor_set_frames(shape_pair(krvgen::Shape::Empty, 0));
    const int n = rounds(1000, 200);
    std::vector<double> us;
    for (auto _ : state) {
        for (int i = 0; i < n; ++i) {
            if (!wait_for(sensor_armed, 2000)) {
                state.SkipWithError("the thread did not wait again");
                return;
            }
            krvbench::log_watch("cal_touch_area \n");
            const int64_t t0 = now_ns(CLOCK_MONOTONIC);
            krv_nav_core_start();
            if (!wait_for([] { return krvbench::log_watch_time_ns() != 0; }, 2000)) {
                state.SkipWithError("no pass after the wake");
                return;
            }
            us.push_back(static_cast<double>(krvbench::log_watch_time_ns() - t0) / 1000.0);
        }
        state.SetIterationTime(percentiles(us).p50 / 1e6);
    }
    state.counters["wakes"] = n;
    report_latency(state, "", us);
}

// ------------------------------------------------------------------ idle

struct TaskTimes {
    long long cpu_ns = 0;  // time on a CPU (schedstat)
    long ticks = 0;        // utime + stime (stat, clock ticks)
    long voluntary = 0, involuntary = 0;
};

TaskTimes task_times(int tid) {
    TaskTimes t;
    char path[64];
    snprintf(path, sizeof path, "/proc/self/task/%d/schedstat", tid);
    if (FILE* f = fopen(path, "r")) {
        if (fscanf(f, "%lld", &t.cpu_ns) != 1) t.cpu_ns = -1;
        fclose(f);
    }
    snprintf(path, sizeof path, "/proc/self/task/%d/stat", tid);
    if (FILE* f = fopen(path, "r")) {
        char buf[1024];
        size_t n = fread(buf, 1, sizeof buf - 1, f);
        buf[n] = 0;
        fclose(f);
        // Fields after the command name (which ends at the last ')'): state is
        // field 3, utime 14 and stime 15.
        if (const char* p = strrchr(buf, ')')) {
            long utime = 0, stime = 0;
            if (sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &utime, &stime) == 2)
                t.ticks = utime + stime;
        }
    }
    snprintf(path, sizeof path, "/proc/self/task/%d/status", tid);
    if (FILE* f = fopen(path, "r")) {
        char line[256];
        while (fgets(line, sizeof line, f)) {
            sscanf(line, "voluntary_ctxt_switches: %ld", &t.voluntary);
            sscanf(line, "nonvoluntary_ctxt_switches: %ld", &t.involuntary);
        }
        fclose(f);
    }
    return t;
}

void idle(benchmark::State& state) {
    if (!library_threads()) {
        state.SkipWithError("library threads did not start");
        return;
    }
    const long window_us = rounds(10000000, 1000000);
    if (!wait_for(sensor_armed, 2000)) {
        state.SkipWithError("the navigation thread is not waiting");
        return;
    }
    sleep_us(200000);
    std::vector<TaskTimes> before;
    for (int tid : g_library_tids) before.push_back(task_times(tid));
    for (auto _ : state) sleep_us(window_us);
    const char* names[] = {"nav_", "ctl_"};  // created in this order
    for (size_t i = 0; i < g_library_tids.size() && i < 2; ++i) {
        const TaskTimes after = task_times(g_library_tids[i]);
        const std::string n = names[i];
        state.counters[n + "cpu_ns"] = static_cast<double>(after.cpu_ns - before[i].cpu_ns);
        state.counters[n + "cpu_ticks"] = static_cast<double>(after.ticks - before[i].ticks);
        state.counters[n + "vol_switches"] = static_cast<double>(after.voluntary - before[i].voluntary);
        state.counters[n + "invol_switches"] = static_cast<double>(after.involuntary - before[i].involuntary);
    }
    state.counters["window_s"] = static_cast<double>(window_us) / 1e6;
}

void register_all() {
    using benchmark::RegisterBenchmark;
    RegisterBenchmark("size/stripped_library", stripped_size)->Iterations(1);
    RegisterBenchmark("stack/pass", stack_peak, true)->Iterations(1);
    RegisterBenchmark("stack/analysis", stack_peak, false)->Iterations(1);
    RegisterBenchmark("heap/passes_keys_swipes", heap)->Iterations(1)->Unit(benchmark::kMillisecond);
    RegisterBenchmark("latency/touch_to_event/flagged", touch_to_event, Touch::Flagged)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
    RegisterBenchmark("latency/touch_to_event/tap", touch_to_event, Touch::Tap)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
    RegisterBenchmark("latency/touch_to_event/swipe", touch_to_event, Touch::Swipe)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
    RegisterBenchmark("latency/wake_to_pass", wake_to_pass)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
    RegisterBenchmark("idle/threads", idle)->Iterations(1)->Unit(benchmark::kSecond);
}

}  // namespace

int main(int argc, char** argv) {
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--krv_smoke") == 0)
            g_smoke = true;
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    krvheap::heap_setup();
    register_all();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
