// krv-sim: the navigation library at work on a host without the phone.
//
//   krv-sim [run] [--json] [SCENARIO]   play the built-in scenario, or a
//                                       scenario file (format: scenario.h)
//   krv-sim --print-default             the built-in scenario as a file
//   krv-sim gestures                    the built-in gestures
//   krv-sim gen PAIR OUT.bin            write a generated frame pair; PAIR as
//                                       in a scenario's touch: GESTURE or
//                                       blobs=C,R,W,H:C,R,W,H [level=N] [status=N]
//   krv-sim classify [--delay MS] [FILE...]
//                                       both FrameInfo records and the result of
//                                       a real pass (every gesture without FILE)
//   krv-sim render [--delay MS] FILE|GESTURE OUT.png
//                                       the pair as a picture
//
// The library runs in this process on the simulated hardware of the tests:
// the sensor node, the input node and the command pipe. A scenario drives it
// only through NavCtrlJni's native methods and the command pipe.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "frame_tools.h"
#include "krv_nav.h"
#include "render.h"
#include "runner.h"
#include "scenario.h"
#include "simhw/sim_hardware.h"

using namespace krvsim;

namespace {

int usage() {
    fprintf(stderr,
            "usage: krv-sim [run] [--json] [SCENARIO]\n"
            "       krv-sim --print-default | gestures\n"
            "       krv-sim gen GESTURE|blobs=C,R,W,H:C,R,W,H [level=N] [status=N] OUT.bin\n"
            "       krv-sim classify [--delay MS] [FILE...]\n"
            "       krv-sim render [--delay MS] FILE|GESTURE OUT.png\n");
    return 2;
}

// One line on stderr, rewritten in place, when stderr is a terminal.
class Progress {
  public:
    Progress() : on_(isatty(2)) {}
    ~Progress() { done(); }
    void show(const std::string& text) {
        if (!on_) return;
        fprintf(stderr, "\r\033[K%s", text.c_str());
        shown_ = true;
    }
    void done() {
        if (shown_) fprintf(stderr, "\r\033[K");
        shown_ = false;
    }

  private:
    bool on_;
    bool shown_ = false;
};

bool read_text(const std::string& path, std::string* out) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) {
        out->append(buf, n);
        if (out->size() > size_t{16} * 1024 * 1024) break;  // no scenario is that long
    }
    bool ok = !ferror(f);
    (void)fclose(f);
    return ok;
}

int run(int argc, char** argv) {
    bool json = false;
    const char* file = nullptr;
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "--json") == 0)
            json = true;
        else if (argv[i][0] == '-' || file)
            return usage();
        else
            file = argv[i];
    }
    std::string text = default_scenario_text();
    std::string name = "<built-in>";
    if (file) {
        text.clear();
        name = file;
        if (!read_text(file, &text)) {
            // NOLINTNEXTLINE(concurrency-mt-unsafe): glibc's strerror uses a per-thread buffer.
            fprintf(stderr, "krv-sim: cannot read %s: %s\n", file, strerror(errno));
            return 2;
        }
    }
    Scenario sc;
    std::string error;
    if (!parse_scenario(text, name, &sc, &error)) {
        fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    Progress progress;
    if (!json) printf("Scenario \"%s\": %zu steps\n\n", sc.name.c_str(), sc.steps.size());
    fflush(stdout);
    krvtest::sensor_reset();
    // The timeline shows itself step by step on a terminal; otherwise a
    // line on stderr (when that is a terminal) says which step runs.
    bool quiet_stdout = json || !isatty(1);
    if (quiet_stdout && !sc.steps.empty())
        progress.show("krv-sim: step 1/" + std::to_string(sc.steps.size()) + ": " + sc.steps[0].text);
    RunReport r = run_scenario(sc, [&](const RunReport& rep, size_t step, size_t first) {
        if (quiet_stdout && step + 1 < sc.steps.size())
            progress.show("krv-sim: step " + std::to_string(step + 2) + "/" + std::to_string(sc.steps.size()) + ": " +
                          sc.steps[step + 1].text);
        if (json) return;
        for (size_t i = first; i < rep.timeline.size(); ++i)
            printf("%s\n", format_entry(rep.timeline[i], rep.realtime_origin_us).c_str());
        fflush(stdout);
    });
    progress.done();
    fputs(json ? format_json(r).c_str() : format_summary(r).c_str(), stdout);
    return r.ok() ? 0 : 1;
}

// "touch"-style pair words to frames, with the gesture's fetch delay.
bool pair_from_words(const std::vector<std::string>& words, FramePair* out, int* delay, std::string* error) {
    std::string line = "touch";
    for (const auto& w : words) line += " " + w;
    Scenario sc;
    if (!parse_scenario(line, "<arguments>", &sc, error)) return false;
    *out = sc.steps[0].frames;
    *delay = sc.steps[0].delay_ms;
    return true;
}

int gen(int argc, char** argv) {
    if (argc < 2) return usage();
    FramePair p;
    int delay;
    std::string error;
    if (!pair_from_words(std::vector<std::string>(argv, argv + argc - 1), &p, &delay, &error) ||
        !write_frames(argv[argc - 1], p, &error)) {
        fprintf(stderr, "krv-sim: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

// A real pass over the pair on the simulated sensor.
int classify_pair(const FramePair& p, int delay_ms) {
    krvtest::sensor_set_frames(p);
    krvtest::sensor_set_fetch_delay_ms(delay_ms);
    return cal_touch_area();
}

bool parse_delay(int* argc, char*** argv, int* delay) {
    if (*argc >= 2 && strcmp((*argv)[0], "--delay") == 0) {
        char* end;
        long v = strtol((*argv)[1], &end, 10);
        if (*end || v < 0 || v > 5000) return false;
        *delay = static_cast<int>(v);
        *argc -= 2;
        *argv += 2;
    }
    return true;
}

// A frame file, or a gesture with its own fetch delay.
bool load_pair(const std::string& what, FramePair* p, int* delay, std::string* error) {
    if (const Gesture* g = find_gesture(what)) {
        *p = make_frames(g->pair);
        if (*delay < 0) *delay = g->fetch_delay_ms;
        return true;
    }
    if (*delay < 0) *delay = 0;
    return read_frames(what, p, error);
}

int classify(int argc, char** argv) {
    int delay = -1;
    if (!parse_delay(&argc, &argv, &delay)) return usage();
    std::vector<std::string> items(argv, argv + argc);
    if (items.empty())
        for (const auto& g : gestures()) items.push_back(g.name);
    krvtest::sensor_reset();
    Progress progress;
    int rc = 0;
    for (size_t i = 0; i < items.size(); ++i) {
        FramePair p;
        int d = delay;
        std::string error;
        if (!load_pair(items[i], &p, &d, &error)) {
            fprintf(stderr, "krv-sim: %s\n", error.c_str());
            rc = 1;
            continue;
        }
        if (d > 0)
            progress.show("krv-sim: " + items[i] + " (" + std::to_string(i + 1) + "/" + std::to_string(items.size()) +
                          "), frame request " + std::to_string(d) + " ms");
        PairInfo info = analyse(p);
        int code = classify_pair(p, d);
        progress.done();
        printf("%s (status %u, frame request %d ms)\n  frame0: %s\n  frame1: %s\n  result %d (%s)\n\n",
               items[i].c_str(), p.status, d, describe_info(info.first).c_str(), describe_info(info.second).c_str(),
               code, result_name(code));
    }
    return rc;
}

int render(int argc, char** argv) {
    int delay = -1;
    if (!parse_delay(&argc, &argv, &delay) || argc != 2) return usage();
    FramePair p;
    std::string error;
    krvtest::sensor_reset();
    if (!load_pair(argv[0], &p, &delay, &error)) {
        fprintf(stderr, "krv-sim: %s\n", error.c_str());
        return 1;
    }
    PairInfo info = analyse(p);
    int code = classify_pair(p, delay);
    std::string title = argv[0];
    size_t slash = title.rfind('/');
    if (slash != std::string::npos) title = title.substr(slash + 1);
    if (!write_png(argv[1], render_pair(p, info, code, title), &error)) {
        fprintf(stderr, "krv-sim: %s\n", error.c_str());
        return 1;
    }
    printf("%s: result %d (%s), %dx%d pixels\n", argv[1], code, result_name(code), kImageW, kImageH);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "--print-default") {
        fputs(default_scenario_text(), stdout);
        return 0;
    }
    if (cmd == "gestures") {
        for (const auto& g : gestures())
            printf("%-11s %-28s frame request %3d ms, result %d (%s)\n", g.name, g.about, g.fetch_delay_ms, g.expected,
                   result_name(g.expected));
        return 0;
    }
    if (cmd == "gen") return gen(argc - 2, argv + 2);
    if (cmd == "classify") return classify(argc - 2, argv + 2);
    if (cmd == "render") return render(argc - 2, argv + 2);
    if (cmd == "-h" || cmd == "--help") {
        usage();
        return 0;
    }
    if (cmd == "run") return run(argc - 2, argv + 2);
    return run(argc - 1, argv + 1);
}
