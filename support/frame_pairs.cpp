#include "support/frame_pairs.h"

#include <string.h>

namespace krvgen {
namespace {

constexpr int W = KRV_FRAME_COLS;
constexpr int H = KRV_FRAME_ROWS;

// splitmix64: small, fast, and the same on every platform.
struct Rng {
    uint64_t s;
    uint64_t next() {
        uint64_t z = (s += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    int below(int n) { return static_cast<int>(next() % static_cast<uint64_t>(n)); }
    int between(int lo, int hi) { return lo + below(hi - lo + 1); }
};

void light_background(uint8_t* f, Rng& r) {
    for (int i = 0; i < KRV_FRAME_PIXELS; ++i) f[i] = static_cast<uint8_t>(r.between(205, 255));
}

// An elliptic finger print, darker towards its middle, clipped at the frame.
void finger(uint8_t* f, int cx, int cy, int rx, int ry, Rng& r) {
    for (int y = cy - ry; y <= cy + ry; ++y) {
        for (int x = cx - rx; x <= cx + rx; ++x) {
            if (x < 0 || x >= W || y < 0 || y >= H) continue;
            const int dx = (x - cx) * 100 / rx, dy = (y - cy) * 100 / ry;
            const int d2 = dx * dx + dy * dy;  // 0 at the middle, 10000 at the rim
            if (d2 > 10000) continue;
            f[y * W + x] = static_cast<uint8_t>(60 + d2 / 80 + r.below(20));
        }
    }
}

void fill(uint8_t* f, uint8_t v) { memset(f, v, KRV_FRAME_PIXELS); }

void random_frame(uint8_t* f, Rng& r, int lo, int hi) {
    for (int i = 0; i < KRV_FRAME_PIXELS; ++i) f[i] = static_cast<uint8_t>(r.between(lo, hi));
}

// Every pixel 255 except `n` pixels of value `v` at random places.
void sparse(uint8_t* f, Rng& r, int n, uint8_t v) {
    fill(f, 255);
    for (int i = 0; i < n; ++i) f[r.below(KRV_FRAME_PIXELS)] = v;
}

// Border position k (0..395) of a 72 x 128 frame, clockwise from (0, 0).
int border_index(int k) {
    if (k < W) return k;  // top row
    k -= W;
    if (k < H - 1) return (k + 1) * W + (W - 1);  // right column
    k -= H - 1;
    if (k < W - 1) return (H - 1) * W + (W - 2 - k);  // bottom row
    k -= W - 1;
    return (H - 2 - k) * W;  // left column
}
constexpr int kBorderPixels = 2 * (W + H) - 4;

void one_frame(uint8_t* f, uint64_t kind, Rng& r) {
    switch (kind % 12) {
        case 0: {
            static const uint8_t values[] = {0, 199, 200, 201, 255, 127, 128};
            fill(f, values[r.below(7)]);
            break;
        }
        case 1:  // a single dark (or edge-threshold) pixel on the border
            fill(f, 255);
            f[border_index(r.below(kBorderPixels))] = static_cast<uint8_t>(r.below(4));
            break;
        case 2: {  // exactly 198..202 touch pixels, sometimes in row 127 too
            fill(f, 255);
            const int n = r.between(198, 202);
            const int start = r.below(KRV_FRAME_PIXELS - n);
            memset(f + start, r.between(0, 199), n);
            break;
        }
        case 3:
            light_background(f, r);
            finger(f, r.below(W), r.below(H), r.between(3, 40), r.between(3, 70), r);
            break;
        case 4:
            random_frame(f, r, 0, 255);
            break;
        case 5:
            random_frame(f, r, 195, 205);
            break;
        case 6:
            sparse(f, r, r.between(0, 400), static_cast<uint8_t>(r.between(0, 199)));
            break;
        case 7:  // light frame with a dark touch: edge threshold low, few edge pixels
            fill(f, 255);
            for (int i = 0; i < 300; ++i) f[r.below(KRV_FRAME_PIXELS)] = static_cast<uint8_t>(r.between(0, 6));
            break;
        case 8:  // values at twice the mean level: edges decided by one unit
            random_frame(f, r, 60, 70);
            for (int i = 0; i < 400; ++i) f[r.below(KRV_FRAME_PIXELS)] = static_cast<uint8_t>(r.between(120, 140));
            break;
        case 9:  // touch only in the last two rows, or only in the first column
            fill(f, 255);
            if (r.below(2))
                memset(f + (H - 2) * W, r.between(0, 199), 2 * W);
            else
                for (int y = 0; y < H; ++y) f[y * W] = static_cast<uint8_t>(r.between(0, 199));
            break;
        case 10:
            random_frame(f, r, 0, 199);
            break;
        default:
            random_frame(f, r, 150, 255);
            break;
    }
}

}  // namespace

const char* shape_name(Shape s) {
    switch (s) {
        case Shape::Swipe:
            return "swipe";
        case Shape::Tap:
            return "tap";
        case Shape::Empty:
            return "empty";
        case Shape::Dark:
            return "dark";
        case Shape::Noisy:
            return "noisy";
    }
    return "?";
}

void make_shape(Shape s, FramePair* pair) {
    Rng r{static_cast<uint64_t>(s) + 1};
    pair->status = 0;
    switch (s) {
        case Shape::Swipe:
            light_background(pair->frame0, r);
            light_background(pair->frame1, r);
            finger(pair->frame0, 36, 30, 18, 24, r);
            finger(pair->frame1, 36, 80, 18, 24, r);
            break;
        case Shape::Tap:
            light_background(pair->frame0, r);
            light_background(pair->frame1, r);
            finger(pair->frame0, 36, 64, 18, 24, r);
            finger(pair->frame1, 38, 66, 18, 24, r);
            break;
        case Shape::Empty:
            fill(pair->frame0, 255);
            fill(pair->frame1, 255);
            break;
        case Shape::Dark:
            fill(pair->frame0, 0);
            fill(pair->frame1, 0);
            break;
        case Shape::Noisy:
            random_frame(pair->frame0, r, 0, 255);
            random_frame(pair->frame1, r, 0, 255);
            break;
    }
}

void make_stream_pair(uint64_t index, FramePair* pair) {
    Rng r{index * 0x2545F4914F6CDD1DULL + 7};
    const uint64_t pick = r.next();
    one_frame(pair->frame0, pick, r);
    if ((pick >> 8) % 4 == 0) {
        // The same kind of frame again, or a copy slightly moved: results
        // depend on small centre differences.
        memcpy(pair->frame1, pair->frame0, KRV_FRAME_PIXELS);
        const int shift = r.between(-3, 3) * W + r.between(-3, 3);
        if (shift > 0) memmove(pair->frame1 + shift, pair->frame0, KRV_FRAME_PIXELS - shift);
        if (shift < 0) memmove(pair->frame1, pair->frame0 - shift, KRV_FRAME_PIXELS + shift);
    } else {
        one_frame(pair->frame1, pick >> 16, r);
    }
    const uint64_t st = (pick >> 32) % 8;
    pair->status = st == 0 ? 1 : st == 1 ? static_cast<uint8_t>(r.below(256)) : 0;
}

}  // namespace krvgen
