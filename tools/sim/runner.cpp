#include "runner.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <thread>

#include "frame_tools.h"
#include "krv_nav.h"
#include "simhw/sim_hardware.h"
#include "support/event_decoder.h"
#include "support/log_capture.h"

namespace krvsim {
namespace {

long long clock_us(clockid_t id) {
    struct timespec t;
    clock_gettime(id, &t);
    return t.tv_sec * 1000000LL + t.tv_nsec / 1000;
}
long long mono_us() { return clock_us(CLOCK_MONOTONIC); }

void sleep_ms(long ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The host's view of the library: NavCtrlJni's native methods, called as
// the Java class would (the environment and class arguments are ignored).
int jni_init() { return Java_com_korrivan_navigation_NavCtrlJni_init(nullptr, nullptr); }
int jni_start() { return Java_com_korrivan_navigation_NavCtrlJni_start(nullptr, nullptr); }
int jni_stop() { return Java_com_korrivan_navigation_NavCtrlJni_stop(nullptr, nullptr); }
int jni_uinit() { return Java_com_korrivan_navigation_NavCtrlJni_uinit(nullptr, nullptr); }
int jni_getSta() { return Java_com_korrivan_navigation_NavCtrlJni_getSta(nullptr, nullptr); }
int jni_setSta(int sta) { return Java_com_korrivan_navigation_NavCtrlJni_setSta(nullptr, nullptr, sta); }
int jni_simulateX() { return Java_com_korrivan_navigation_NavCtrlJni_simulateX(nullptr, nullptr); }
int jni_simulateY() { return Java_com_korrivan_navigation_NavCtrlJni_simulateY(nullptr, nullptr); }

// Writes WORD and its NUL into the command pipe the way another process
// does: a non-blocking open retried until the control thread has the pipe
// open for reading (bounded), one write, close.
bool write_pipe(const std::string& word, int timeout_ms, long long* written_us, std::string* error) {
    long long until = mono_us() + timeout_ms * 1000LL;
    int fd;
    for (;;) {
        fd = open(KRV_CTL_PIPE, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) break;
        if (errno == ENOENT) {
            *error = "no command pipe (the control thread creates it; has init run?)";
            return false;
        }
        if (errno != ENXIO) {
            // NOLINTNEXTLINE(concurrency-mt-unsafe): glibc's strerror uses a per-thread buffer.
            *error = std::string("cannot open the command pipe: ") + strerror(errno);
            return false;
        }
        if (mono_us() >= until) {
            *error = "no reader opened the command pipe within " + std::to_string(timeout_ms) + " ms";
            return false;
        }
        sleep_ms(2);
    }
    std::string msg = word;
    msg.push_back('\0');
    *written_us = mono_us();
    ssize_t n = write(fd, msg.data(), msg.size());
    close(fd);
    if (n != static_cast<ssize_t>(msg.size())) {
        *error = "short write to the command pipe";
        return false;
    }
    return true;
}

// A private folder for the persisted enable property during the run.
class PropertyFolder {
  public:
    PropertyFolder() {
        char tmpl[] = "/tmp/krv-sim-props-XXXXXX";
        if (mkdtemp(tmpl)) dir_ = tmpl;
        // NOLINTNEXTLINE(concurrency-mt-unsafe): set before the library starts any thread.
        setenv("KRV_PROPERTY_DIR", dir_.empty() ? "/tmp/krv-sim-props" : dir_.c_str(), 1);
    }
    ~PropertyFolder() {
        if (dir_.empty()) return;
        if (DIR* d = opendir(dir_.c_str())) {
            // NOLINTNEXTLINE(concurrency-mt-unsafe): this directory stream is used by this thread only.
            while (struct dirent* e = readdir(d))
                if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                    unlink((dir_ + "/" + e->d_name).c_str());
            closedir(d);
        }
        rmdir(dir_.c_str());
    }

  private:
    std::string dir_;
};

bool same_records(const std::vector<struct input_event>& got, const std::vector<Record>& want) {
    if (got.size() != want.size()) return false;
    for (size_t i = 0; i < got.size(); ++i)
        if (got[i].type != want[i].type || got[i].code != want[i].code || got[i].value != want[i].value) return false;
    return true;
}

// A log text without its line ends.
std::string bare(const std::string& text) {
    size_t end = text.size();
    while (end > 0 && text[end - 1] == '\n') --end;
    return text.substr(0, end);
}

bool is_settle_line(const krvtest::LogLine& l) {
    std::string t = bare(l.text);
    return t == "Nav Running ..." || t == "thNavigationFunc Stop ..." || t == "thNavigationFunc CANCEL ...";
}

class Run {
  public:
    Run(const Scenario& sc, const StepDone& cb) : sc_(sc), cb_(cb) {}

    RunReport go() {
        report_.name = sc_.name;
        t0_ = mono_us();
        report_.realtime_origin_us = clock_us(CLOCK_REALTIME);
        host_tid_ = static_cast<int>(syscall(SYS_gettid));
        log_seen_ = krvtest::logs().size();
        pkt_seen_ = krvtest::input_packets().size();
        for (size_t i = 0; i < sc_.steps.size(); ++i) {
            const Step& s = sc_.steps[i];
            step_ = static_cast<int>(i);
            add(Entry::StepStart, "[" + std::to_string(i + 1) + "/" + std::to_string(sc_.steps.size()) + "] line " +
                                      std::to_string(s.line) + ": " + s.text);
            play(s);
            krvtest::input_wait_drained(2000);
            flush();
        }
        report_.duration_us = mono_us() - t0_;
        return report_;
    }

  private:
    // A new entry of the current step at `at_us` on the monotonic clock,
    // waiting in `pending_` for the next flush.
    Entry& pend(Entry::Kind kind, long long at_us) {
        Entry& e = pending_.emplace_back();
        e.kind = kind;
        e.t_us = at_us - t0_;
        e.step = step_;
        return e;
    }
    void add(Entry::Kind kind, const std::string& text, long long at_us = -1) {
        Entry& e = pend(kind, at_us < 0 ? mono_us() : at_us);
        e.text = text;
        e.prio = 4;
        e.tag = "krv-sim";
        e.thread = "host";
    }
    void note(const std::string& text) { add(Entry::Note, text); }
    void problem(const Step& s, const std::string& text) {
        report_.problems.push_back("line " + std::to_string(s.line) + " (" + s.text + "): " + text);
        note("problem: " + text);
    }

    std::string thread_name(int tid, const std::string& text) {
        if (text == "++thNavigationFunc") names_[tid] = "nav";
        if (text == "++thNavigationCtlFunc") names_[tid] = "ctl";
        if (tid == host_tid_) return "host";
        auto it = names_.find(tid);
        return it != names_.end() ? it->second : std::to_string(tid);
    }

    // Moves the new log lines and records, and the step's own entries, into
    // the timeline in time order.
    void flush() {
        auto lines = krvtest::logs();
        for (size_t i = log_seen_; i < lines.size(); ++i) {
            Entry& e = pend(Entry::Log, lines[i].mono_us);
            e.prio = lines[i].prio;
            e.tag = lines[i].tag;
            e.thread = thread_name(lines[i].tid, lines[i].text);
            e.text = lines[i].text;
        }
        log_seen_ = lines.size();
        auto packets = krvtest::input_packets();
        for (size_t i = pkt_seen_; i < packets.size(); ++i) {
            Entry& e = pend(Entry::Event, packets[i].written_us);
            e.ev = packets[i].ev;
            e.size = packets[i].size;
        }
        pkt_seen_ = packets.size();
        std::stable_sort(pending_.begin(), pending_.end(),
                         [](const Entry& a, const Entry& b) { return a.t_us < b.t_us; });
        size_t first = report_.timeline.size();
        report_.timeline.insert(report_.timeline.end(), pending_.begin(), pending_.end());
        pending_.clear();
        if (cb_) cb_(report_, static_cast<size_t>(step_), first);
    }

    // Index of the first line at or after `from` that matches, waiting up
    // to `ms`; -1 when none came.
    template <typename Pred>
    long find_line(size_t from, Pred pred, int ms) {
        long long until = mono_us() + ms * 1000LL;
        for (;;) {
            auto lines = krvtest::logs();
            for (size_t i = from; i < lines.size(); ++i)
                if (pred(lines[i])) return static_cast<long>(i);
            from = std::max(from, lines.size());
            long long left = until - mono_us();
            if (left <= 0) return -1;
            krvtest::wait_logs(lines.size() + 1, static_cast<int>(left / 1000 + 1));
        }
    }
    long find_text(size_t from, const std::string& text, int ms) {
        return find_line(
            from, [&](const krvtest::LogLine& l) { return bare(l.text) == text; }, ms);
    }

    // A worker runs when its entry trace has been logged more often than its
    // exit trace.
    static bool alive(const char* name) {
        int n = 0;
        for (const auto& l : krvtest::logs()) {
            if (bare(l.text) == std::string("++") + name) ++n;
            if (bare(l.text) == std::string("--") + name) --n;
        }
        return n > 0;
    }

    // The navigation thread has the sensor open and armed for SIGIO.
    static bool wait_armed(int ms) {
        long long until = mono_us() + ms * 1000LL;
        while (krvtest::sensor_armed_count() < 1) {
            if (mono_us() >= until) return false;
            sleep_ms(1);
        }
        return true;
    }

    // The records written since packet `from`; false when a write was not
    // exactly one record.
    bool records_since(size_t from, TouchReport* r, long long t_start) {
        auto packets = krvtest::input_packets();
        bool whole = true;
        for (size_t i = from; i < packets.size(); ++i) {
            if (i == from) r->latency_us = packets[i].written_us - t_start;
            whole = whole && packets[i].size == sizeof(struct input_event);
            r->records.push_back(packets[i].ev);
        }
        return whole;
    }

    void play(const Step& s) {
        switch (s.op) {
            case Op::Init:
                init(s);
                break;
            case Op::Start: {
                bool nav = alive("thNavigationFunc");
                note("NavCtrlJni.start() = " + std::to_string(jni_start()));
                if (nav && !wait_armed(3000)) problem(s, "navigation thread not waiting for a touch after start");
                break;
            }
            case Op::Stop:
                note("NavCtrlJni.stop() = " + std::to_string(jni_stop()));
                break;
            case Op::Touch:
                touch(s);
                break;
            case Op::Wait:
                sleep_ms(s.value);
                break;
            case Op::Pipe:
                pipe(s);
                break;
            case Op::Swipe:
                swipe(s);
                break;
            case Op::SetState: {
                int r = jni_setSta(static_cast<int>(s.value));
                note("NavCtrlJni.setSta(" + std::to_string(s.value) + ") = " + std::to_string(r));
                if (r < 0) problem(s, "setSta failed with " + std::to_string(r));
                break;
            }
            case Op::GetState: {
                int r = jni_getSta();
                note("NavCtrlJni.getSta() = " + std::to_string(r));
                if (s.expect != kNoExpect && r != s.expect)
                    problem(s, "getSta() = " + std::to_string(r) + ", expected " + std::to_string(s.expect));
                break;
            }
            case Op::Shutdown:
                shutdown(s);
                break;
        }
    }

    void init(const Step& s) {
        bool ctl = alive("thNavigationCtlFunc");
        size_t from = krvtest::logs().size();
        int r = jni_init();
        note("NavCtrlJni.init() = " + std::to_string(r));
        if (r != 0) return problem(s, "init() returned " + std::to_string(r));
        if (!wait_armed(5000)) problem(s, "navigation thread not waiting for a touch within 5 s");
        if (!ctl && find_text(from, "thNavigationCtlFunc Running ...", 5000) < 0)
            problem(s, "control thread not reading the pipe within 5 s");
    }

    void touch(const Step& s) {
        TouchReport r;
        r.step = step_;
        r.line = s.line;
        r.source = s.source;
        r.delay_ms = s.delay_ms;
        r.expect = s.expect;
        krvtest::sensor_set_frames(s.frames);
        krvtest::sensor_set_fetch_delay_ms(s.delay_ms);
        size_t from = krvtest::logs().size();
        size_t pkt_from = krvtest::input_packets().size();
        long long t_touch = mono_us();
        int reached = krvtest::touch();
        add(Entry::Note, "touch: SIGIO raised on " + std::to_string(reached) + " armed sensor descriptor(s)", t_touch);
        if (reached == 0) {
            r.outcome = TouchReport::Lost;
        } else {
            long settle = find_line(from, is_settle_line, 5000 + s.delay_ms);
            if (settle < 0) {
                r.outcome = TouchReport::NoAnswer;
                problem(s, "the navigation thread did not finish the touch within " +
                               std::to_string(5 + s.delay_ms / 1000) + " s");
            } else {
                auto lines = krvtest::logs();
                bool classified = false, invalid = false;
                int direction = -1;
                for (long i = static_cast<long>(from); i < settle; ++i) {
                    const auto& t = lines[i].text;
                    if (bare(t) == "cal_touch_area ") classified = true;
                    if (t.rfind("sum_p = ", 0) == 0 && strtol(t.c_str() + 8, nullptr, 10) < 200) invalid = true;
                    if (t.rfind("gDirection = ", 0) == 0)
                        direction = static_cast<int>(strtol(t.c_str() + 13, nullptr, 10));
                }
                // The result as the pass's log lines show it: an invalid frame
                // ends it with 0, a full pass logs its direction, and a pass
                // with two valid frames that logs none stopped at the flag.
                if (!classified) {
                    r.outcome = TouchReport::Dropped;
                } else {
                    r.outcome = TouchReport::Classified;
                    r.code = invalid ? NAV_RESULT_NONE : direction >= 0 ? direction : NAV_RESULT_DRIVER_FLAGGED;
                }
                if (bare(lines[settle].text) == "Nav Running ..." && !wait_armed(3000))
                    problem(s, "navigation thread not waiting for the next touch");
            }
        }
        if (!krvtest::input_wait_drained(2000)) problem(s, "input node still open after 2 s");
        bool whole = records_since(pkt_from, &r, t_touch);
        r.events = describe_records(r.records);
        r.events_ok =
            whole && same_records(r.records, expected_records(r.outcome == TouchReport::Classified ? r.code : -1));
        switch (r.expect) {
            case kNoExpect:
                break;
            case kExpectDropped:
                r.expect_ok = r.outcome == TouchReport::Dropped;
                break;
            case kExpectLost:
                r.expect_ok = r.outcome == TouchReport::Lost;
                break;
            default:
                r.expect_ok = r.outcome == TouchReport::Classified && r.code == r.expect;
        }
        if (r.outcome == TouchReport::Classified)
            note("result " + std::to_string(r.code) + " (" + result_name(r.code) + "), " + r.events);
        else
            note(std::string(r.outcome == TouchReport::Dropped ? "dropped: not classified"
                             : r.outcome == TouchReport::Lost  ? "lost: no sensor descriptor armed"
                                                               : "no answer") +
                 ", " + r.events);
        if (!r.events_ok) problem(s, "injected records do not match the result: " + r.events);
        if (!r.expect_ok) problem(s, "expected " + expect_name(r.expect));
        report_.touches.push_back(r);
    }

    void swipe(const Step& s) {
        TouchReport r;
        bool down = s.word == "down";
        r.outcome = TouchReport::OnDemand;
        r.step = step_;
        r.line = s.line;
        r.source = down ? "simulateX()" : "simulateY()";
        size_t pkt_from = krvtest::input_packets().size();
        long long t_call = mono_us();
        int rc = down ? jni_simulateX() : jni_simulateY();
        note("NavCtrlJni." + r.source.substr(0, 9) + "() = " + std::to_string(rc));
        if (!krvtest::input_wait_drained(2000)) problem(s, "input node still open after 2 s");
        bool whole = records_since(pkt_from, &r, t_call);
        r.code = down ? NAV_RESULT_DOWN : NAV_RESULT_UP;
        r.events = describe_records(r.records);
        r.events_ok = whole && same_records(r.records, expected_swipe(down));
        if (!r.events_ok) problem(s, "injected records are not a whole swipe " + s.word + ": " + r.events);
        report_.touches.push_back(r);
    }

    void pipe(const Step& s) {
        bool nav = alive("thNavigationFunc");
        size_t from = krvtest::logs().size();
        std::string err;
        long long written = -1;
        if (!write_pipe(s.word, 3000, &written, &err)) return problem(s, err);
        add(Entry::Note, "wrote \"" + s.word + "\\0\" into the command pipe", written);
        std::string quoted = "\"" + s.word + "\"";
        long read = find_line(
            from,
            [&](const krvtest::LogLine& l) {
                return l.text.rfind("Read len = ", 0) == 0 && l.text.find(quoted) != std::string::npos;
            },
            3000);
        if (read < 0) return problem(s, "the control thread did not read " + quoted + " within 3 s");
        if (s.word == "CNL") {
            if (find_text(from, "--thNavigationCtlFunc", 3000) < 0) problem(s, "control thread did not end");
            if (nav && find_text(from, "--thNavigationFunc", 3000) < 0) problem(s, "navigation thread did not end");
            return;
        }
        // STT sleeps 1 s before it resumes navigation.
        if (find_text(static_cast<size_t>(read), "thNavigationCtlFunc Running ...", 3000) < 0)
            return problem(s, "control thread not back at the pipe within 3 s");
        if (s.word == "STT" && nav && !wait_armed(3000))
            problem(s, "navigation thread not waiting for a touch after STT");
    }

    void shutdown(const Step& s) {
        bool nav = alive("thNavigationFunc"), ctl = alive("thNavigationCtlFunc");
        size_t from = krvtest::logs().size();
        note("NavCtrlJni.uinit() = " + std::to_string(jni_uinit()));
        if (ctl && find_text(from, "--thNavigationCtlFunc", 3000) < 0) problem(s, "control thread did not end");
        if (nav && find_text(from, "--thNavigationFunc", 3000) < 0) problem(s, "navigation thread did not end");
    }

    const Scenario& sc_;
    const StepDone& cb_;
    RunReport report_;
    std::vector<Entry> pending_;
    std::map<int, std::string> names_;
    long long t0_ = 0;
    int host_tid_ = 0;
    int step_ = -1;
    size_t log_seen_ = 0, pkt_seen_ = 0;
};

}  // namespace

std::vector<Record> expected_swipe(bool down) {
    std::vector<Record> v = {{EV_ABS, ABS_MT_TRACKING_ID, 154},
                             {EV_ABS, ABS_MT_POSITION_X, 360},
                             {EV_ABS, ABS_MT_POSITION_Y, down ? 0 : 608},
                             {EV_KEY, BTN_TOUCH, 1},
                             {EV_SYN, SYN_REPORT, 0}};
    for (int i = 0; i < 20; ++i) {
        v.push_back({EV_ABS, ABS_MT_POSITION_X, 360});
        v.push_back({EV_ABS, ABS_MT_POSITION_Y, down ? 32 * i : 608 - 32 * i});
        v.push_back({EV_SYN, SYN_REPORT, 0});
    }
    v.push_back({EV_ABS, ABS_MT_TRACKING_ID, -1});
    v.push_back({EV_KEY, BTN_TOUCH, 0});
    v.push_back({EV_SYN, SYN_REPORT, 0});
    return v;
}

std::vector<Record> expected_records(int code) {
    auto key = [](unsigned k) {
        return std::vector<Record>{{EV_KEY, k, 1}, {EV_SYN, SYN_REPORT, 0}, {EV_KEY, k, 0}, {EV_SYN, SYN_REPORT, 0}};
    };
    switch (code) {
        case NAV_RESULT_UP:
            return expected_swipe(false);
        case NAV_RESULT_DOWN:
            return expected_swipe(true);
        case NAV_RESULT_SINGLE_TAP:
            return key(KEY_BACK);
        case NAV_RESULT_DRIVER_FLAGGED:
            return key(KEY_HOMEPAGE);
    }
    return {};
}

std::string describe_records(const std::vector<struct input_event>& r) {
    if (r.empty()) return "none";
    std::string n = std::to_string(r.size()) + " records: ";
    if (same_records(r, expected_swipe(false))) return n + "swipe up, x 360, y 608..0";
    if (same_records(r, expected_swipe(true))) return n + "swipe down, x 360, y 0..608";
    if (r.size() == 4 && r[0].type == EV_KEY) {
        std::vector<Record> want = {
            {EV_KEY, r[0].code, 1}, {EV_SYN, SYN_REPORT, 0}, {EV_KEY, r[0].code, 0}, {EV_SYN, SYN_REPORT, 0}};
        if (same_records(r, want)) return n + krvtest::event_code_name(EV_KEY, r[0].code) + " press, release";
    }
    return n + "first " + krvtest::event_type_name(r[0].type) + " " + krvtest::event_code_name(r[0].type, r[0].code);
}

RunReport run_scenario(const Scenario& sc, const StepDone& on_step) {
    PropertyFolder props;
    RunReport r = Run(sc, on_step).go();
    return r;
}

}  // namespace krvsim
