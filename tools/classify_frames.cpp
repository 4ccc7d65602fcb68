// krv-classify: shows how the library classifies frame pairs.
//
//   krv-classify                 every built-in gesture
//   krv-classify FILE...         18433-byte frame-pair files
//   krv-classify --write NAME FILE   write a built-in gesture to FILE
//
// Each pair is served by a stand-in sensor driver (the one the tests use)
// and classified by a real pass, cal_touch_area; both FrameInfo records are
// shown as cal_frame_info and cal_edg_pos compute them. The built-in "tap"
// is served with a 200 ms frame request, inside the tap window.
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "krv_nav.h"
#include "support/sim_hardware.h"

namespace {

struct Gesture {
    const char* name;
    int c0, r0, c1, r1, size;
    uint8_t status;
    int fetch_delay_ms;
};

constexpr Gesture kGestures[] = {
    {"swipe-up", 20, 10, 20, 60, 24, 0, 0},  {"swipe-down", 20, 90, 20, 40, 24, 0, 0},
    {"tap", 24, 50, 26, 52, 24, 0, 200},     {"flagged", 24, 50, 24, 50, 24, 1, 0},
    {"too-small", 30, 60, 30, 62, 10, 0, 0}, {"sideways", 5, 50, 45, 48, 24, 0, 0},
};

void paint(uint8_t* frame, int col, int row, int size) {
    for (int r = row; r < row + size && r < KRV_FRAME_ROWS; ++r)
        for (int c = col; c < col + size && c < KRV_FRAME_COLS; ++c) frame[r * KRV_FRAME_COLS + c] = 90;
}

FramePair make(const Gesture& g) {
    FramePair p;
    memset(&p, 0xFF, sizeof p);
    paint(p.frame0, g.c0, g.r0, g.size);
    paint(p.frame1, g.c1, g.r1, g.size);
    p.status = g.status;
    return p;
}

const char* result_name(int code) {
    switch (code) {
        case NAV_RESULT_NONE: return "nothing";
        case NAV_RESULT_LEFT: return "left";
        case NAV_RESULT_RIGHT: return "right";
        case NAV_RESULT_UP: return "swipe up";
        case NAV_RESULT_DOWN: return "swipe down";
        case NAV_RESULT_SINGLE_TAP: return "single tap";
        case NAV_RESULT_DRIVER_FLAGGED: return "driver-flagged";
    }
    return "?";
}

void print_info(const char* label, const FrameInfo& i) {
    printf("  %s: level %3u invalid %s center (x %u, y %u) row_first (%u,%u) row_last (%u,%u) "
           "col_first (%u,%u) col_last (%u,%u)\n",
           label, i.level, i.invalid == 1 ? "yes" : "no ", i.center.x, i.center.y, i.row_first.row,
           i.row_first.col, i.row_last.row, i.row_last.col, i.col_first.row, i.col_first.col, i.col_last.row,
           i.col_last.col);
}

int classify(const char* name, const FramePair& p, int fetch_delay_ms) {
    FrameInfo a, b;
    memset(&a, 0xFF, sizeof a);
    memset(&b, 0xFF, sizeof b);
    cal_frame_info(p.frame0, &a);
    cal_edg_pos(p.frame0, &a);
    cal_frame_info(p.frame1, &b);
    cal_edg_pos(p.frame1, &b);
    krvtest::sensor_set_frames(p);
    krvtest::sensor_set_fetch_delay_ms(fetch_delay_ms);
    int code = cal_touch_area();
    printf("%s\n", name);
    print_info("frame0", a);
    print_info("frame1", b);
    printf("  result %d (%s)\n\n", code, result_name(code));
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    krvtest::sensor_reset();
    if (argc == 4 && strcmp(argv[1], "--write") == 0) {
        for (const auto& g : kGestures)
            if (strcmp(g.name, argv[2]) == 0) {
                FramePair p = make(g);
                FILE* f = fopen(argv[3], "wb");
                if (!f || fwrite(&p, sizeof p, 1, f) != 1) {
                    perror(argv[3]);
                    return 1;
                }
                fclose(f);
                return 0;
            }
        fprintf(stderr, "krv-classify: unknown gesture '%s'\n", argv[2]);
        return 2;
    }
    if (argc == 1) {
        for (const auto& g : kGestures) classify(g.name, make(g), g.fetch_delay_ms);
        return 0;
    }
    int rc = 0;
    for (int i = 1; i < argc; ++i) {
        FramePair p;
        FILE* f = fopen(argv[i], "rb");
        if (!f) {
            perror(argv[i]);
            rc = 1;
            continue;
        }
        size_t n = fread(&p, 1, sizeof p, f);
        int extra = fgetc(f);
        fclose(f);
        if (n != sizeof p || extra != EOF) {
            fprintf(stderr, "%s: not a frame pair (%zu bytes; want %zu)\n", argv[i], n, sizeof p);
            rc = 1;
            continue;
        }
        classify(argv[i], p, 0);
    }
    return rc;
}
