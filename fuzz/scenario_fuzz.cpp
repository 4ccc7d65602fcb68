// Arbitrary scenario text through the simulator's scenario parser. Frame
// files come from a stand-in loader (no file system): "missing" fails, any
// other path yields a fixed pair. A scenario that parses must hold only
// what the format allows; one that does not must say where.
#include <stdint.h>
#include <string.h>

#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "scenario.h"

namespace {

bool load(const std::string& path, FramePair* out, std::string* error) {
    if (path.find("missing") != std::string::npos) {
        *error = "no such file";
        return false;
    }
    memset(out, 0xFF, sizeof *out);
    return true;
}

bool alnum_word(const std::string& w) {
    if (w.empty() || w.size() > 15) return false;
    for (unsigned char c : w)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
    return true;
}

void check_step(const krvsim::Step& s) {
    using krvsim::Op;
    FUZZ_CHECK(s.line >= 1, "step on line %d", s.line);
    switch (s.op) {
        case Op::Touch:
            FUZZ_CHECK(s.delay_ms >= 0 && s.delay_ms <= 5000, "touch delay %d", s.delay_ms);
            FUZZ_CHECK(s.expect == krvsim::kNoExpect || s.expect == krvsim::kExpectDropped ||
                           s.expect == krvsim::kExpectLost || (s.expect >= 0 && s.expect <= 7),
                       "touch expects %d", s.expect);
            break;
        case Op::Wait:
            FUZZ_CHECK(s.value >= 0 && s.value <= 60000, "wait %ld", s.value);
            break;
        case Op::Pipe:
            FUZZ_CHECK(alnum_word(s.word), "pipe word \"%s\"", s.word.c_str());
            break;
        case Op::Swipe:
            FUZZ_CHECK(s.word == "up" || s.word == "down", "swipe \"%s\"", s.word.c_str());
            break;
        case Op::GetState:
            FUZZ_CHECK(s.expect == krvsim::kNoExpect || (s.expect >= -1 && s.expect <= 1), "get-state expects %d",
                       s.expect);
            break;
        default:
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    krvsim::Scenario sc;
    std::string error;
    const bool ok = krvsim::parse_scenario(text, "fuzz.scn", &sc, &error, load);
    if (ok) {
        FUZZ_CHECK(sc.steps.size() <= krvsim::kMaxSteps, "%zu steps", sc.steps.size());
        for (const auto& s : sc.steps) check_step(s);
    } else {
        FUZZ_CHECK(error.rfind("fuzz.scn:", 0) == 0, "error without its place: %s", error.c_str());
    }
    // The same text parses the same way again.
    krvsim::Scenario again;
    std::string error2;
    FUZZ_CHECK(krvsim::parse_scenario(text, "fuzz.scn", &again, &error2, load) == ok && error2 == error &&
                   again.steps.size() == sc.steps.size(),
               "second parse differs");
    return 0;
}
