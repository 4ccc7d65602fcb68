#include "scenario.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>

#include "frame_tools.h"

namespace krvsim {
namespace {

const char kDefault[] =
    "# krv-sim's built-in scenario (krv-sim --print-default shows this text).\n"
    "name default: every gesture once, a pause and resume through the pipe, shutdown\n"
    "init\n"
    "get-state expect=1\n"
    "touch swipe-up expect=up\n"
    "touch swipe-down expect=down\n"
    "pipe STP                         # pause, written into the pipe as another process would\n"
    "touch swipe-up expect=dropped    # ends the wait but is not classified\n"
    "pipe STT                         # resume, after the control thread's 1 s sleep\n"
    "touch tap expect=tap             # the gesture's frame request takes 200 ms\n"
    "touch flagged expect=flagged     # status byte 1: the home key\n"
    "touch too-small expect=none      # 112 touch pixels per frame: nothing\n"
    "swipe down                       # on demand: NavCtrlJni.simulateX()\n"
    "shutdown\n"
    "get-state expect=0\n";

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// Strict decimal integer within [lo, hi].
bool parse_long(std::string_view s, long lo, long hi, long* out) {
    if (s.empty() || s.size() > 20) return false;
    std::string buf(s);
    const char* p = buf.c_str();
    if (!(*p == '-' || (*p >= '0' && *p <= '9'))) return false;
    char* end = nullptr;
    errno = 0;
    long long v = strtoll(p, &end, 10);
    if (errno != 0 || *end != '\0' || end == p) return false;
    if (v < lo || v > hi) return false;
    *out = static_cast<long>(v);
    return true;
}

std::vector<std::string_view> split_words(std::string_view line) {
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && is_blank(line[i])) ++i;
        if (i >= line.size() || line[i] == '#') break;
        size_t start = i;
        while (i < line.size() && !is_blank(line[i])) ++i;
        words.push_back(line.substr(start, i - start));
    }
    return words;
}

std::string dirname_of(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return "";
    return path.substr(0, slash + 1);
}

class Parser {
  public:
    Parser(const std::string& filename, const FrameLoader& loader) : filename_(filename), loader_(loader) {}

    bool fail(int line, const std::string& message) {
        error_ = filename_ + ":" + std::to_string(line) + ": " + message;
        return false;
    }

    bool number(int line, std::string_view what, std::string_view text, long lo, long hi, long* out) {
        if (parse_long(text, lo, hi, out)) return true;
        return fail(line, "bad number '" + std::string(text) + "' for " + std::string(what) + " (want " +
                              std::to_string(lo) + ".." + std::to_string(hi) + ")");
    }

    // "KEY=VALUE" split; false when the word has no '='.
    static bool option(std::string_view word, std::string_view* key, std::string_view* value) {
        size_t eq = word.find('=');
        if (eq == std::string_view::npos) return false;
        *key = word.substr(0, eq);
        *value = word.substr(eq + 1);
        return true;
    }

    bool blob(int line, std::string_view text, BlobSpec* b) {
        long v[4];
        size_t pos = 0;
        for (int i = 0; i < 4; ++i) {
            size_t comma = i < 3 ? text.find(',', pos) : text.size();
            if (comma == std::string_view::npos)
                return fail(line, "bad blob '" + std::string(text) + "' (want COL,ROW,W,H)");
            static const char* kWhat[] = {"blob column", "blob row", "blob width", "blob height"};
            long lo = i < 2 ? -1000 : 0;
            if (!number(line, kWhat[i], text.substr(pos, comma - pos), lo, 1000, &v[i])) return false;
            pos = comma + 1;
        }
        *b = {static_cast<int>(v[0]), static_cast<int>(v[1]), static_cast<int>(v[2]), static_cast<int>(v[3])};
        return true;
    }

    bool touch(int line, const std::vector<std::string_view>& w, Step* s) {
        if (w.size() < 2) return fail(line, "touch needs a gesture, file=PATH or blobs=C,R,W,H:C,R,W,H");
        std::string_view key, value;
        bool generated = false, has_level = false, has_status = false, has_shape = false, has_delay = false,
             has_expect = false;
        GeneratedPair gen;
        if (option(w[1], &key, &value)) {
            if (key == "file") {
                if (value.empty()) return fail(line, "file= needs a path");
                std::string path(value);
                if (path[0] != '/') path = dirname_of(filename_) + path;
                std::string err;
                bool ok = loader_ ? loader_(path, &s->frames, &err) : read_frames(path, &s->frames, &err);
                if (!ok) return fail(line, err);
            } else if (key == "blobs") {
                size_t colon = value.find(':');
                if (colon == std::string_view::npos) return fail(line, "blobs= wants two rectangles, C,R,W,H:C,R,W,H");
                if (!blob(line, value.substr(0, colon), &gen.first) ||
                    !blob(line, value.substr(colon + 1), &gen.second))
                    return false;
                generated = true;
            } else {
                return fail(line, "touch needs a gesture, file=PATH or blobs=..., not '" + std::string(w[1]) + "'");
            }
        } else {
            const Gesture* g = find_gesture(std::string(w[1]));
            if (!g) return fail(line, "unknown gesture '" + std::string(w[1]) + "' (see krv-sim gestures)");
            gen = g->pair;
            s->delay_ms = g->fetch_delay_ms;
            generated = true;
        }
        s->source = std::string(w[1]);
        for (size_t i = 2; i < w.size(); ++i) {
            if (!option(w[i], &key, &value))
                return fail(line, "unexpected '" + std::string(w[i]) + "' (touch options are KEY=VALUE)");
            long v;
            bool* seen = nullptr;
            if (key == "delay") {
                seen = &has_delay;
                if (!number(line, "delay", value, 0, 5000, &v)) return false;
                s->delay_ms = static_cast<int>(v);
            } else if (key == "expect") {
                seen = &has_expect;
                if (!expectation(line, value, &s->expect)) return false;
            } else if (key == "shape" && w[1].substr(0, 6) == "blobs=") {
                seen = &has_shape;
                if (value != "rect" && value != "round")
                    return fail(line, "unknown shape '" + std::string(value) + "' (rect or round)");
                gen.round = value == "round";
            } else if ((key == "level" || key == "status") && w[1].substr(0, 6) == "blobs=") {
                seen = key == "level" ? &has_level : &has_status;
                if (!number(line, key, value, 0, 255, &v)) return false;
                (key == "level" ? gen.level : gen.status) = static_cast<int>(v);
            } else {
                return fail(line, "unknown touch option '" + std::string(key) + "'");
            }
            if (*seen) return fail(line, "option '" + std::string(key) + "' given twice");
            *seen = true;
        }
        if (generated) s->frames = make_frames(gen);
        return true;
    }

    bool expectation(int line, std::string_view text, int* out) {
        std::string t(text);
        if (t == "dropped") {
            *out = kExpectDropped;
            return true;
        }
        if (t == "lost") {
            *out = kExpectLost;
            return true;
        }
        int code = result_from_word(t);
        long v;
        if (code < 0 && parse_long(text, 0, 7, &v) && v != 6) code = static_cast<int>(v);
        if (code < 0)
            return fail(line, "unknown result '" + t + "' (none up down tap flagged left right dropped lost)");
        *out = code;
        return true;
    }

    bool statement(int line, std::string_view raw, Scenario* sc) {
        auto w = split_words(raw);
        if (w.empty()) return true;
        if (sc->steps.size() >= kMaxSteps)
            return fail(line, "too many steps (at most " + std::to_string(kMaxSteps) + ")");
        Step s;
        s.line = line;
        for (size_t i = 0; i < w.size(); ++i) {
            if (i) s.text += ' ';
            s.text.append(w[i]);
        }
        const std::string cmd(w[0]);
        auto no_args = [&](Op op) {
            if (w.size() != 1) return fail(line, "'" + cmd + "' takes no arguments");
            s.op = op;
            return true;
        };
        bool ok;
        if (cmd == "name") {
            if (w.size() < 2) return fail(line, "name needs a text");
            if (!sc->name.empty()) return fail(line, "name given twice");
            sc->name = s.text.substr(5);
            return true;
        } else if (cmd == "init") {
            ok = no_args(Op::Init);
        } else if (cmd == "start") {
            ok = no_args(Op::Start);
        } else if (cmd == "stop") {
            ok = no_args(Op::Stop);
        } else if (cmd == "shutdown") {
            ok = no_args(Op::Shutdown);
        } else if (cmd == "touch") {
            s.op = Op::Touch;
            ok = touch(line, w, &s);
        } else if (cmd == "wait") {
            s.op = Op::Wait;
            if (w.size() != 2) return fail(line, "wait takes one number of milliseconds");
            ok = number(line, "wait", w[1], 0, 60000, &s.value);
        } else if (cmd == "pipe") {
            s.op = Op::Pipe;
            if (w.size() != 2) return fail(line, "pipe takes one word, such as STP, STT or CNL");
            if (w[1].size() > 15) return fail(line, "pipe word longer than 15 characters");
            for (char c : w[1])
                if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')))
                    return fail(line, "pipe word '" + std::string(w[1]) + "' has other than letters and digits");
            s.word = std::string(w[1]);
            ok = true;
        } else if (cmd == "swipe") {
            s.op = Op::Swipe;
            if (w.size() != 2 || (w[1] != "up" && w[1] != "down")) return fail(line, "swipe takes up or down");
            s.word = std::string(w[1]);
            ok = true;
        } else if (cmd == "set-state") {
            s.op = Op::SetState;
            if (w.size() != 2) return fail(line, "set-state takes one number");
            ok = number(line, "set-state", w[1], INT_MIN, INT_MAX, &s.value);
        } else if (cmd == "get-state") {
            s.op = Op::GetState;
            std::string_view key, value;
            if (w.size() > 2 || (w.size() == 2 && (!option(w[1], &key, &value) || key != "expect")))
                return fail(line, "get-state takes only expect=N");
            long v = 0;
            ok = w.size() == 1 || number(line, "expect", value, -1, 1, &v);
            if (w.size() == 2) s.expect = static_cast<int>(v);
        } else {
            return fail(line, "unknown command '" + cmd + "'");
        }
        if (ok) sc->steps.push_back(std::move(s));
        return ok;
    }

    const std::string& error() const { return error_; }

  private:
    const std::string& filename_;
    const FrameLoader& loader_;
    std::string error_;
};

}  // namespace

bool parse_scenario(std::string_view text, const std::string& filename, Scenario* out, std::string* error,
                    const FrameLoader& loader) {
    Parser p(filename, loader);
    Scenario sc;
    int line = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        ++line;
        size_t nl = text.find('\n', pos);
        std::string_view raw = text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
        pos = nl == std::string_view::npos ? text.size() : nl + 1;
        bool ok = true;
        if (raw.size() > kMaxLine) {
            ok = p.fail(line, "line longer than " + std::to_string(kMaxLine) + " bytes");
        } else {
            for (char c : raw)
                if ((static_cast<unsigned char>(c) < 0x20 && !is_blank(c)) || c == 0x7f) {
                    ok = p.fail(line, "control character in the text");
                    break;
                }
        }
        if (!ok || !p.statement(line, raw, &sc)) {
            *error = p.error();
            return false;
        }
    }
    if (sc.name.empty()) {
        size_t slash = filename.rfind('/');
        sc.name = slash == std::string::npos ? filename : filename.substr(slash + 1);
    }
    *out = std::move(sc);
    return true;
}

const char* default_scenario_text() { return kDefault; }

std::string expect_name(int expect) {
    switch (expect) {
        case kNoExpect:
            return "-";
        case kExpectDropped:
            return "dropped";
        case kExpectLost:
            return "lost";
    }
    const char* word = result_word(expect);
    return word ? word : std::to_string(expect);
}

}  // namespace krvsim
