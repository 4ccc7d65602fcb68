// The scenario parser: every error names the file and line, and a bad file
// runs nothing; good files become the steps they say.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "common/file_text.h"
#include "frame_tools.h"
#include "scenario.h"

using namespace krvsim;

namespace {

std::string parse_error(const std::string& text, const std::string& file = "s.scn", const FrameLoader& loader = {}) {
    Scenario sc;
    std::string error;
    EXPECT_FALSE(parse_scenario(text, file, &sc, &error, loader)) << text;
    return error;
}

TEST(ScenarioParser, ErrorsNameFileAndLine) {
    struct Case {
        const char* text;
        const char* error;
    } cases[] = {
        {"init\n\ntuch swipe-up\n", "s.scn:3: unknown command 'tuch'"},
        {"# only a comment\nwait 12x\n", "s.scn:2: bad number '12x' for wait (want 0..60000)"},
        {"wait -1\n", "s.scn:1: bad number '-1' for wait (want 0..60000)"},
        {"wait 60001\n", "s.scn:1: bad number '60001' for wait (want 0..60000)"},
        {"wait 99999999999999999999999\n", "s.scn:1: bad number '99999999999999999999999' for wait (want 0..60000)"},
        {"wait\n", "s.scn:1: wait takes one number of milliseconds"},
        {"init\ntouch swipe-up delay=abc\n", "s.scn:2: bad number 'abc' for delay (want 0..5000)"},
        {"touch swipe-up delay=5001\n", "s.scn:1: bad number '5001' for delay (want 0..5000)"},
        {"touch swipe-up delay=1 delay=2\n", "s.scn:1: option 'delay' given twice"},
        {"touch swipe-up speed=2\n", "s.scn:1: unknown touch option 'speed'"},
        {"touch swipe-up level=3\n", "s.scn:1: unknown touch option 'level'"},
        {"touch wobble\n", "s.scn:1: unknown gesture 'wobble' (see krv-sim gestures)"},
        {"touch\n", "s.scn:1: touch needs a gesture, file=PATH or blobs=C,R,W,H:C,R,W,H"},
        {"touch swipe-up expect=sideways\n",
         "s.scn:1: unknown result 'sideways' (none up down tap flagged left right dropped lost)"},
        {"touch swipe-up expect=6\n", "s.scn:1: unknown result '6' (none up down tap flagged left right dropped lost)"},
        {"touch blobs=1,2,3,4\n", "s.scn:1: blobs= wants two rectangles, C,R,W,H:C,R,W,H"},
        {"touch blobs=1,2,3:1,2,3,4\n", "s.scn:1: bad blob '1,2,3' (want COL,ROW,W,H)"},
        {"touch blobs=1,2,3,x:1,2,3,4\n", "s.scn:1: bad number 'x' for blob height (want 0..1000)"},
        {"touch blobs=1,2,3,4:1,2,3,4 level=256\n", "s.scn:1: bad number '256' for level (want 0..255)"},
        {"touch blobs=1,2,3,4:1,2,3,4 shape=star\n", "s.scn:1: unknown shape 'star' (rect or round)"},
        {"touch file=\n", "s.scn:1: file= needs a path"},
        {"pipe\n", "s.scn:1: pipe takes one word, such as STP, STT or CNL"},
        {"pipe ST;P\n", "s.scn:1: pipe word 'ST;P' has other than letters and digits"},
        {"swipe left\n", "s.scn:1: swipe takes up or down"},
        {"set-state one\n", "s.scn:1: bad number 'one' for set-state (want -2147483648..2147483647)"},
        {"set-state 2147483648\n", "s.scn:1: bad number '2147483648' for set-state (want -2147483648..2147483647)"},
        {"get-state expect=2\n", "s.scn:1: bad number '2' for expect (want -1..1)"},
        {"get-state 1\n", "s.scn:1: get-state takes only expect=N"},
        {"init now\n", "s.scn:1: 'init' takes no arguments"},
        {"name a\nname b\n", "s.scn:2: name given twice"},
        {"init\r\nshutdown\r\nwait 1\x01\n", "s.scn:3: control character in the text"},
    };
    for (const auto& c : cases) EXPECT_EQ(parse_error(c.text), c.error) << c.text;
}

TEST(ScenarioParser, MissingOrWrongFrameFiles) {
    char dir[] = "/tmp/krv-scn-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    std::string d = dir;
    { std::ofstream(d + "/short.bin") << "not a frame pair"; }
    std::string scn = d + "/touches.scn";
    EXPECT_EQ(parse_error("init\n# a comment\ntouch file=missing.bin\n", scn),
              scn + ":3: cannot open frame pair '" + d + "/missing.bin': No such file or directory");
    EXPECT_EQ(parse_error("touch file=short.bin\n", scn),
              scn + ":1: '" + d + "/short.bin' is not a frame pair (16 bytes; want 18433)");
    unlink((d + "/short.bin").c_str());
    rmdir(dir);
}

TEST(ScenarioParser, FilesAreReadRelativeToTheScenario) {
    std::vector<std::string> asked;
    FrameLoader loader = [&](const std::string& path, FramePair* out, std::string*) {
        asked.push_back(path);
        memset(out, 7, sizeof *out);
        return true;
    };
    Scenario sc;
    std::string error;
    ASSERT_TRUE(parse_scenario("touch file=a.bin delay=30 expect=dropped\ntouch file=/abs/b.bin\n", "dir/sub/x.scn",
                               &sc, &error, loader))
        << error;
    EXPECT_EQ(asked, (std::vector<std::string>{"dir/sub/a.bin", "/abs/b.bin"}));
    ASSERT_EQ(sc.steps.size(), 2u);
    EXPECT_EQ(sc.steps[0].frames.status, 7);
    EXPECT_EQ(sc.steps[0].delay_ms, 30);
    EXPECT_EQ(sc.steps[0].expect, kExpectDropped);
    EXPECT_EQ(sc.steps[1].delay_ms, 0);
    EXPECT_EQ(sc.steps[1].expect, kNoExpect);
    EXPECT_EQ(sc.name, "x.scn");
}

TEST(ScenarioParser, DefaultScenarioHasEveryGestureOnce) {
    Scenario sc;
    std::string error;
    ASSERT_TRUE(parse_scenario(default_scenario_text(), "<built-in>", &sc, &error)) << error;
    std::vector<std::string> steps;
    for (const auto& s : sc.steps) steps.push_back(s.text);
    EXPECT_EQ(steps,
              (std::vector<std::string>{
                  "init", "get-state expect=1", "touch swipe-up expect=up", "touch swipe-down expect=down", "pipe STP",
                  "touch swipe-up expect=dropped", "pipe STT", "touch tap expect=tap", "touch flagged expect=flagged",
                  "touch too-small expect=none", "swipe down", "shutdown", "get-state expect=0"}));
    // The tap brings its 200 ms frame request; the rest are quick.
    EXPECT_EQ(sc.steps[7].delay_ms, 200);
    EXPECT_EQ(sc.steps[2].delay_ms, 0);
    EXPECT_EQ(sc.steps[8].frames.status, 1);
}

TEST(ScenarioParser, GeneratedPairs) {
    Scenario sc;
    std::string error;
    ASSERT_TRUE(
        parse_scenario("touch blobs=0,0,2,3:70,126,5,5 level=40 status=1 delay=7  # two boxes\n", "g", &sc, &error))
        << error;
    const FramePair& p = sc.steps[0].frames;
    int dark0 = 0, dark1 = 0;
    for (int i = 0; i < KRV_FRAME_PIXELS; ++i) {
        dark0 += p.frame0[i] == 40;
        dark1 += p.frame1[i] == 40;
        EXPECT_TRUE(p.frame0[i] == 40 || p.frame0[i] == 255);
    }
    EXPECT_EQ(dark0, 6);
    EXPECT_EQ(dark1, 2 * 2);  // clipped at the frame's last column and row
    EXPECT_EQ(p.frame0[1 * KRV_FRAME_COLS + 1], 40);
    EXPECT_EQ(p.frame1[127 * KRV_FRAME_COLS + 71], 40);
    EXPECT_EQ(p.status, 1);
    EXPECT_EQ(sc.steps[0].delay_ms, 7);
}

// The command line: a bad file is reported and nothing of it runs.
TEST(ScenarioParser, BadFileRunsNothing) {
    char path[] = "/tmp/krv-bad-XXXXXX.scn";
    int fd = mkstemps(path, 4);
    ASSERT_GE(fd, 0);
    std::string text = "init\ntouch swipe-up\nwait 1o\nshutdown\n";
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    std::string out = std::string(path) + ".out", err = std::string(path) + ".err";
    std::string cmd = std::string(KRV_SIM) + " " + path + " >" + out + " 2>" + err;
    int status = system(cmd.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
    using krvtest::slurp;
    EXPECT_EQ(slurp(err), std::string(path) + ":3: bad number '1o' for wait (want 0..60000)\n");
    EXPECT_EQ(slurp(out), "");
    unlink(path);
    unlink(out.c_str());
    unlink(err.c_str());
}

}  // namespace
