// krv-sim in process: the default scenario end to end on the simulated
// hardware, a scenario whose expectations fail, frame files, and pictures
// read back with libpng.
#include <gtest/gtest.h>
#include <png.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "frame_tools.h"
#include "render.h"
#include "runner.h"
#include "scenario.h"
#include "simhw/sim_hardware.h"
#include "support/event_decoder.h"
#include "support/record_streams.h"

using namespace krvsim;

namespace {

Scenario parse(const std::string& text) {
    Scenario sc;
    std::string error;
    EXPECT_TRUE(parse_scenario(text, "test", &sc, &error)) << error;
    return sc;
}

// "EV_KEY KEY_BACK 00000001": a decoded record without its timestamp.
std::vector<std::string> decoded(const std::vector<struct input_event>& records) {
    std::vector<std::string> out;
    for (const auto& line : krvtest::decode_stream(records)) {
        std::string rest = line.substr(line.find(']') + 2);
        std::string squeezed;
        for (char c : rest)
            if (c != ' ' || (!squeezed.empty() && squeezed.back() != ' ')) squeezed += c;
        out.push_back(squeezed);
    }
    return out;
}

// The decoded records of a stream of the shared table.
std::vector<std::string> decoded_table(const std::vector<krvrec::Record>& records) {
    return decoded(krvrec::events_of(records));
}

std::vector<std::string> vertical_swipe(bool down) {
    return decoded_table(krvrec::swipe_records(down ? krvrec::Swipe::kDown : krvrec::Swipe::kUp));
}

std::vector<std::string> key(uint16_t code) { return decoded_table(krvrec::key_records(code)); }

// Both scenarios run in one test, one after the other: the library's
// threads are process-wide.
TEST(Simulator, DefaultScenarioAndAFailingOne) {
    krvtest::sensor_reset();
    RunReport r = run_scenario(parse(default_scenario_text()));
    EXPECT_TRUE(r.ok()) << (r.problems.empty() ? "" : r.problems[0]);

    struct Want {
        const char* source;
        TouchReport::Outcome outcome;
        int code;
        std::vector<std::string> records;
    } want[] = {
        {"swipe-up", TouchReport::Classified, 3, vertical_swipe(false)},
        {"swipe-down", TouchReport::Classified, 4, vertical_swipe(true)},
        {"swipe-up", TouchReport::Dropped, -1, {}},  // paused with STP
        {"tap", TouchReport::Classified, 5, key(KEY_BACK)},
        {"flagged", TouchReport::Classified, 7, key(KEY_HOMEPAGE)},
        {"too-small", TouchReport::Classified, 0, {}},
        {"simulateX()", TouchReport::OnDemand, 4, vertical_swipe(true)},
    };
    ASSERT_EQ(r.touches.size(), std::size(want));
    size_t total = 0;
    for (size_t i = 0; i < std::size(want); ++i) {
        const auto& t = r.touches[i];
        SCOPED_TRACE(want[i].source);
        EXPECT_EQ(t.source, want[i].source);
        EXPECT_EQ(t.outcome, want[i].outcome);
        if (want[i].code >= 0) {
            EXPECT_EQ(t.code, want[i].code);
        }
        EXPECT_EQ(decoded(t.records), want[i].records);
        EXPECT_TRUE(t.events_ok);
        EXPECT_TRUE(t.expect_ok);
        // Latency: from the touch to the first record, which for the tap
        // includes its 200 ms frame request.
        if (want[i].records.empty()) {
            EXPECT_EQ(t.latency_us, -1);
        } else {
            EXPECT_GE(t.latency_us, t.delay_ms * 1000LL);
            EXPECT_LT(t.latency_us, t.delay_ms * 1000LL + 2000000);
        }
        total += t.records.size();
    }

    // The timeline holds every record once, and the pipe commands as the
    // control thread read them; STT resumed navigation after its 1 s sleep.
    size_t events = 0;
    long long stt = -1, tap = -1;
    bool stp_read = false, stt_read = false;
    for (const auto& e : r.timeline) {
        events += e.kind == Entry::Event;
        if (e.kind == Entry::Log && e.thread == "ctl") {
            stp_read |= e.text.rfind("Read len = 4: \"STP\"", 0) == 0;
            stt_read |= e.text.rfind("Read len = 4: \"STT\"", 0) == 0;
        }
        if (e.kind == Entry::StepStart && e.text.find("pipe STT") != std::string::npos) stt = e.t_us;
        if (e.kind == Entry::StepStart && e.text.find("touch tap") != std::string::npos) tap = e.t_us;
    }
    EXPECT_EQ(events, total);
    EXPECT_TRUE(stp_read);
    EXPECT_TRUE(stt_read);
    EXPECT_GE(tap - stt, 1000000);
    for (size_t i = 1; i < r.timeline.size(); ++i)
        if (r.timeline[i].step == r.timeline[i - 1].step) {
            EXPECT_GE(r.timeline[i].t_us, r.timeline[i - 1].t_us);
        }

    std::string summary = format_summary(r);
    EXPECT_NE(summary.find("every one produced the expected events"), std::string::npos) << summary;
    EXPECT_NE(format_json(r).find("\"ok\": true"), std::string::npos);

    // The checker fails where it should: a touch before init is lost, a
    // still touch is not a swipe, and getSta reads disable after uinit.
    RunReport bad =
        run_scenario(parse("touch swipe-up expect=up\ninit\ntouch still expect=up\n"
                           "touch flagged\nshutdown\nget-state expect=1\n"));
    EXPECT_FALSE(bad.ok());
    ASSERT_EQ(bad.touches.size(), 3u);
    EXPECT_EQ(bad.touches[0].outcome, TouchReport::Lost);
    EXPECT_EQ(bad.touches[1].code, 0);
    EXPECT_FALSE(bad.touches[1].expect_ok);
    EXPECT_TRUE(bad.touches[2].expect_ok);  // no expectation given
    EXPECT_EQ(decoded(bad.touches[2].records), key(KEY_HOMEPAGE));
    EXPECT_EQ(bad.problems, (std::vector<std::string>{"line 1 (touch swipe-up expect=up): expected up",
                                                      "line 3 (touch still expect=up): expected up",
                                                      "line 6 (get-state expect=1): getSta() = 0, expected 1"}));
    EXPECT_NE(format_json(bad).find("\"ok\": false"), std::string::npos);
}

TEST(FrameFiles, WriteReadBack) {
    char path[] = "/tmp/krv-pair-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    FramePair p = make_frames(find_gesture("flagged")->pair);
    std::string error;
    ASSERT_TRUE(write_frames(path, p, &error)) << error;
    FramePair q;
    memset(&q, 0, sizeof q);
    ASSERT_TRUE(read_frames(path, &q, &error)) << error;
    EXPECT_EQ(memcmp(&p, &q, sizeof p), 0);
    // One byte more is not a frame pair.
    FILE* f = fopen(path, "ab");
    fputc(0, f);
    fclose(f);
    EXPECT_FALSE(read_frames(path, &q, &error));
    EXPECT_EQ(error, "'" + std::string(path) + "' is not a frame pair (more than 18433 bytes; want 18433)");
    unlink(path);
}

struct Png {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
    const uint8_t* at(int x, int y) const { return &rgb[(static_cast<size_t>(y) * width + x) * 3]; }
};

bool read_png(const std::string& path, Png* out) {
    png_image img;
    memset(&img, 0, sizeof img);
    img.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&img, path.c_str())) return false;
    img.format = PNG_FORMAT_RGB;
    out->width = static_cast<int>(img.width);
    out->height = static_cast<int>(img.height);
    out->rgb.resize(PNG_IMAGE_SIZE(img));
    return png_image_finish_read(&img, nullptr, out->rgb.data(), 0, nullptr) != 0;
}

bool is(const uint8_t* px, const uint8_t c[3]) { return px[0] == c[0] && px[1] == c[1] && px[2] == c[2]; }

TEST(Render, PictureHasMarkersWhereFrameInfoSays) {
    struct Case {
        const char* name;
        FramePair pair;
    } cases[] = {
        {"swipe-up", make_frames(find_gesture("swipe-up")->pair)},
        {"boxes at the borders", make_frames({{0, 0, 10, 30}, {60, 100, 12, 28}, 120, 0, false})},
        {"empty and too small", make_frames({{0, 0, 0, 0}, {30, 60, 12, 12}, 90, 0, true})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PairInfo info = analyse(c.pair);
        char path[] = "/tmp/krv-render-XXXXXX.png";
        int fd = mkstemps(path, 4);
        ASSERT_GE(fd, 0);
        close(fd);
        std::string error;
        ASSERT_TRUE(write_png(path, render_pair(c.pair, info, 3, c.name), &error)) << error;
        Png png;
        ASSERT_TRUE(read_png(path, &png));
        unlink(path);
        EXPECT_EQ(png.width, kImageW);
        EXPECT_EQ(png.height, kImageH);
        const FrameInfo* infos[2] = {&info.first, &info.second};
        const uint8_t* frames[2] = {c.pair.frame0, c.pair.frame1};
        for (int f = 0; f < 2; ++f) {
            const FrameInfo& i = *infos[f];
            int x, y;
            cell_center(f, i.center.y, i.center.x, &x, &y);
            EXPECT_TRUE(is(png.at(x, y), kCentroid)) << "centroid of frame " << f;
            int edges = 0;
            for (const FramePoint& p : {i.row_first, i.row_last, i.col_first, i.col_last}) {
                if (p.row == 0xFF) continue;  // not found: not drawn
                ++edges;
                if (p.row == i.center.y && p.col == i.center.x) continue;  // the centroid is drawn last
                cell_center(f, p.row, p.col, &x, &y);
                EXPECT_TRUE(is(png.at(x, y), kEdge)) << "edge point (" << +p.row << "," << +p.col << ")";
            }
            EXPECT_EQ(edges, i.invalid == 1 && i.level == 1 ? 0 : 4);
            // Away from the markers, a pixel shows what the sensor saw:
            // grey as seen, or blue when it is a touch pixel.
            int far_row = i.center.y < 64 ? 120 : 5, far_col = 36;
            cell_center(f, far_row, far_col, &x, &y);
            uint8_t v = frames[f][far_row * KRV_FRAME_COLS + far_col];
            const uint8_t* px = png.at(x, y);
            if (v > 199) {
                EXPECT_TRUE(px[0] == v && px[1] == v && px[2] == v);
            } else {
                EXPECT_GT(px[2], px[0] + 80);
            }
        }
        // Row 0 is at the bottom: frame 0's row 0 lies below its row 127.
        int x0, y0, x1, y1;
        cell_center(0, 0, 0, &x0, &y0);
        cell_center(0, 127, 0, &x1, &y1);
        EXPECT_GT(y0, y1);
    }
}

}  // namespace
