#include "frame_tools.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

namespace krvsim {

const std::vector<Gesture>& gestures() {
    // Finger-like ellipses. Rows grow towards the top of the sensor: a touch
    // that moves to higher rows is a swipe up. A tap needs a pass of 121 to
    // 499 ms, so its frame request takes 200 ms.
    static const std::vector<Gesture> kGestures = {
        {"swipe-up", {{20, 10, 24, 28}, {20, 60, 24, 28}, 90, 0, true}, 0, NAV_RESULT_UP, "centre moves 50 rows up"},
        {"swipe-down",
         {{20, 90, 24, 28}, {20, 40, 24, 28}, 90, 0, true},
         0,
         NAV_RESULT_DOWN,
         "centre moves 50 rows down"},
        {"tap",
         {{24, 50, 24, 28}, {26, 52, 24, 28}, 90, 0, true},
         200,
         NAV_RESULT_SINGLE_TAP,
         "small move, 200 ms pass"},
        {"flagged", {{24, 50, 24, 28}, {24, 50, 24, 28}, 90, 1, true}, 0, NAV_RESULT_DRIVER_FLAGGED, "status byte 1"},
        {"too-small",
         {{30, 60, 12, 12}, {30, 62, 12, 12}, 90, 0, true},
         0,
         NAV_RESULT_NONE,
         "112 touch pixels per frame"},
        {"sideways", {{5, 50, 24, 28}, {43, 48, 24, 28}, 90, 0, true}, 0, NAV_RESULT_NONE, "centre moves 38 columns"},
        {"still", {{24, 50, 24, 28}, {24, 50, 24, 28}, 90, 0, true}, 0, NAV_RESULT_NONE, "no move, quick pass"},
    };
    return kGestures;
}

const Gesture* find_gesture(const std::string& name) {
    for (const auto& g : gestures())
        if (name == g.name) return &g;
    return nullptr;
}

FramePair make_frames(const GeneratedPair& g) {
    FramePair p;
    memset(&p, 0xFF, sizeof p);
    auto inside = [&](const BlobSpec& b, int r, int c) {
        if (!g.round) return true;
        // Pixel centres within the ellipse inscribed in the box, in
        // half-pixel units to stay in integers.
        long long dx = 2LL * (c - b.col) + 1 - b.w, dy = 2LL * (r - b.row) + 1 - b.h;
        long long w2 = 1LL * b.w * b.w, h2 = 1LL * b.h * b.h;
        return dx * dx * h2 + dy * dy * w2 <= w2 * h2;
    };
    auto paint = [&](uint8_t* frame, const BlobSpec& b) {
        for (int r = std::max(b.row, 0); r < std::min(b.row + b.h, KRV_FRAME_ROWS); ++r)
            for (int c = std::max(b.col, 0); c < std::min(b.col + b.w, KRV_FRAME_COLS); ++c)
                if (inside(b, r, c)) frame[r * KRV_FRAME_COLS + c] = static_cast<uint8_t>(g.level);
    };
    paint(p.frame0, g.first);
    paint(p.frame1, g.second);
    p.status = static_cast<uint8_t>(g.status);
    return p;
}

bool read_frames(const std::string& path, FramePair* out, std::string* error) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) {
        // NOLINTNEXTLINE(concurrency-mt-unsafe): glibc's strerror uses a per-thread buffer.
        *error = "cannot open frame pair '" + path + "': " + strerror(errno);
        return false;
    }
    FramePair p;
    size_t n = fread(&p, 1, sizeof p, f);
    bool longer = n == sizeof p && fgetc(f) != EOF;
    bool failed = ferror(f);
    (void)fclose(f);
    if (failed) {
        *error = "cannot read frame pair '" + path + "'";
        return false;
    }
    if (n != sizeof p || longer) {
        *error = "'" + path + "' is not a frame pair (" + (longer ? "more than " : "") + std::to_string(n) +
                 " bytes; want " + std::to_string(sizeof p) + ")";
        return false;
    }
    *out = p;
    return true;
}

bool write_frames(const std::string& path, const FramePair& pair, std::string* error) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) {
        // NOLINTNEXTLINE(concurrency-mt-unsafe): glibc's strerror uses a per-thread buffer.
        *error = "cannot create '" + path + "': " + strerror(errno);
        return false;
    }
    bool ok = fwrite(&pair, sizeof pair, 1, f) == 1;
    ok = fclose(f) == 0 && ok;
    if (!ok) *error = "cannot write '" + path + "'";
    return ok;
}

const char* result_name(int code) {
    switch (code) {
        case NAV_RESULT_NONE:
            return "nothing";
        case NAV_RESULT_LEFT:
            return "left";
        case NAV_RESULT_RIGHT:
            return "right";
        case NAV_RESULT_UP:
            return "swipe up";
        case NAV_RESULT_DOWN:
            return "swipe down";
        case NAV_RESULT_SINGLE_TAP:
            return "single tap";
        case NAV_RESULT_DRIVER_FLAGGED:
            return "driver-flagged";
    }
    return "?";
}

namespace {
const struct {
    const char* word;
    int code;
} kWords[] = {{"none", 0}, {"left", 1}, {"right", 2}, {"up", 3}, {"down", 4}, {"tap", 5}, {"flagged", 7}};
}  // namespace

int result_from_word(const std::string& w) {
    for (const auto& k : kWords)
        if (w == k.word) return k.code;
    return -1;
}

const char* result_word(int code) {
    for (const auto& k : kWords)
        if (code == k.code) return k.word;
    return nullptr;
}

std::string describe_info(const FrameInfo& i) {
    char buf[200];
    (void)snprintf(buf, sizeof buf,
                   "level %3u invalid %s center (x %u, y %u) row_first (%u,%u) row_last (%u,%u) col_first (%u,%u) "
                   "col_last (%u,%u)",
                   i.level, i.invalid == 1 ? "yes" : "no ", i.center.x, i.center.y, i.row_first.row, i.row_first.col,
                   i.row_last.row, i.row_last.col, i.col_first.row, i.col_first.col, i.col_last.row, i.col_last.col);
    return buf;
}

}  // namespace krvsim
