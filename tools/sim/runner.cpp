#include "runner.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "frame_tools.h"
#include "krv_nav.h"
#include "library_watch.h"
#include "pipe_writer.h"
#include "property_folder.h"
#include "simhw/sim_hardware.h"
#include "support/log_capture.h"
#include "support/record_streams.h"

namespace krvsim {
namespace {

long long realtime_us() {
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return t.tv_sec * 1000000LL + t.tv_nsec / 1000;
}

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
// does (the tools' pipe writer: a FIFO only, no link followed, a bounded
// wait for the control thread to open it for reading), at the place the
// simulated hardware keeps the pipe in this process.
bool write_pipe(const std::string& word, int timeout_ms, long long* written_us, std::string* error) {
    const std::string path = krvtest::pipe_real_path();
    const krvtools::PipeResult r = krvtools::send_command(path.c_str(), word.c_str(), timeout_ms);
    switch (r.status) {
        case krvtools::PipeStatus::kSent:
            *written_us = r.written_us;
            return true;
        case krvtools::PipeStatus::kMissing:
            *error = "no command pipe (the control thread creates it; has init run?)";
            break;
        case krvtools::PipeStatus::kNotFifo:
            *error = "the command pipe is not a FIFO";
            break;
        case krvtools::PipeStatus::kNoReader:
            *error = "no reader opened the command pipe within " + std::to_string(timeout_ms) + " ms";
            break;
        case krvtools::PipeStatus::kOpenFailed:
            // NOLINTNEXTLINE(concurrency-mt-unsafe): glibc's strerror uses a per-thread buffer.
            *error = std::string("cannot open the command pipe: ") + strerror(r.error);
            break;
        case krvtools::PipeStatus::kShortWrite:
            *error = "short write to the command pipe";
            break;
    }
    return false;
}

bool same_records(const std::vector<struct input_event>& got, const std::vector<krvrec::Record>& want) {
    return krvrec::records_of(got) == want;
}

class Run {
  public:
    Run(const Scenario& sc, const StepDone& cb) : sc_(sc), cb_(cb) {}

    RunReport go() {
        report_.name = sc_.name;
        t0_ = mono_us();
        report_.realtime_origin_us = realtime_us();
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
                bool nav = worker_alive("thNavigationFunc");
                note("NavCtrlJni.start() = " + std::to_string(jni_start()));
                if (nav && !krvtest::sensor_wait_armed(3000))
                    problem(s, "navigation thread not waiting for a touch after start");
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
        bool ctl = worker_alive("thNavigationCtlFunc");
        size_t from = krvtest::logs().size();
        int r = jni_init();
        note("NavCtrlJni.init() = " + std::to_string(r));
        if (r != 0) return problem(s, "init() returned " + std::to_string(r));
        if (!krvtest::sensor_wait_armed(5000)) problem(s, "navigation thread not waiting for a touch within 5 s");
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
                if (bare(lines[settle].text) == "Nav Running ..." && !krvtest::sensor_wait_armed(3000))
                    problem(s, "navigation thread not waiting for the next touch");
            }
        }
        if (!krvtest::input_wait_drained(2000)) problem(s, "input node still open after 2 s");
        bool whole = records_since(pkt_from, &r, t_touch);
        r.events = describe_records(r.records);
        r.events_ok = whole && same_records(r.records,
                                            krvrec::result_records(r.outcome == TouchReport::Classified ? r.code : -1));
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
        r.events_ok =
            whole && same_records(r.records, krvrec::swipe_records(down ? krvrec::Swipe::kDown : krvrec::Swipe::kUp));
        if (!r.events_ok) problem(s, "injected records are not a whole swipe " + s.word + ": " + r.events);
        report_.touches.push_back(r);
    }

    void pipe(const Step& s) {
        bool nav = worker_alive("thNavigationFunc");
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
        if (s.word == "STT" && nav && !krvtest::sensor_wait_armed(3000))
            problem(s, "navigation thread not waiting for a touch after STT");
    }

    void shutdown(const Step& s) {
        bool nav = worker_alive("thNavigationFunc"), ctl = worker_alive("thNavigationCtlFunc");
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

RunReport run_scenario(const Scenario& sc, const StepDone& on_step) {
    PropertyFolder props;
    RunReport r = Run(sc, on_step).go();
    return r;
}

}  // namespace krvsim
