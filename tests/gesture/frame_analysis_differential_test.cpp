// The library's frame analysis against the plain reference: every FrameInfo
// byte of both frames and the pass's result code must agree, for the named
// touch shapes and a long stream of random and adversarial pairs.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <string.h>

#include "krv_nav.h"
#include "simhw/sim_hardware.h"
#include "support/frame_pairs.h"
#include "support/log_capture.h"
#include "support/reference_analysis.h"

// What the library's analysis steps produced inside the pass. The pass
// calls them through their exported names, so these definitions stand in
// for them and hand on to the library's own.
namespace {
struct Analysed {
    const uint8_t* frame;
    uint8_t mean;
    FrameInfo info;
};
Analysed g_seen[2];
int g_seen_count = 0;

template <typename Fn>
Fn library_function(const char* name) {
    static Fn fn = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
    return fn;
}
}  // namespace

extern "C" uint8_t cal_frame_info(const uint8_t* frame, FrameInfo* info) {
    using Fn = uint8_t (*)(const uint8_t*, FrameInfo*);
    const uint8_t mean = library_function<Fn>("cal_frame_info")(frame, info);
    if (g_seen_count < 2) g_seen[g_seen_count] = {frame, mean, {}};
    return mean;
}

extern "C" void cal_edg_pos(const uint8_t* frame, FrameInfo* info) {
    using Fn = void (*)(const uint8_t*, FrameInfo*);
    library_function<Fn>("cal_edg_pos")(frame, info);
    if (g_seen_count < 2 && g_seen[g_seen_count].frame == frame) g_seen[g_seen_count].info = *info;
    ++g_seen_count;
}

namespace {

// The stream keeps a sanitizer or emulated run within about half a minute:
// ThreadSanitizer and user-mode emulation of a cross build slow the loops
// about twentyfold, AddressSanitizer about threefold.
#if defined(__SANITIZE_THREAD__) || defined(KRV_TEST_EMULATED)
constexpr uint64_t kStreamPairs = 10000;
#elif defined(__SANITIZE_ADDRESS__)
constexpr uint64_t kStreamPairs = 40000;
#else
constexpr uint64_t kStreamPairs = 100000;
#endif

// Pass durations around the tap window (121 to 499 ms), in microseconds.
constexpr long kDurationsUs[] = {200000, 50000, 121000, 499999, 120999, 500000};

std::string hex(const FrameInfo& info) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&info);
    std::string s;
    char buf[4];
    for (size_t i = 0; i < sizeof info; ++i) {
        snprintf(buf, sizeof buf, "%02x ", b[i]);
        s += buf;
    }
    return s;
}

class FrameAnalysisDifferential : public ::testing::Test {
  protected:
    void SetUp() override {
        krvtest::sensor_reset();
        krvtest::set_capture(false);
    }
    void TearDown() override { krvtest::set_capture(true); }

    // The result code the reference gave for the last pair that agreed.
    int last_code = -1;

    // Runs one pass over `pair` lasting `duration_us` (scripted clock) and
    // compares the records of both frames and the result with the
    // reference. Returns false (after reporting) on the first difference so
    // that a broken build does not flood the output.
    bool agree(const FramePair& pair, long duration_us, const std::string& what) {
        krvtest::sensor_set_frames(pair);
        const struct timeval t0 = {5000, 300000};
        const struct timeval t1 = {5000 + (300000 + duration_us) / 1000000, (300000 + duration_us) % 1000000};
        krvtest::script_clock({t0, t1});
        g_seen_count = 0;
        const int lib_code = cal_touch_area();
        krvtest::script_clock({});
        if (g_seen_count != 2) {
            ADD_FAILURE() << what << ": the pass analysed " << g_seen_count << " frames through the exported names";
            return false;
        }
        FrameInfo ref[2];
        for (int f = 0; f < 2; ++f) {
            memset(&ref[f], 0xFF, sizeof ref[f]);
            const uint8_t ref_mean = krvref::frame_info(f ? pair.frame1 : pair.frame0, &ref[f]);
            krvref::edg_pos(f ? pair.frame1 : pair.frame0, &ref[f]);
            const Analysed& lib = g_seen[f];
            if (lib.mean != ref_mean || memcmp(&lib.info, &ref[f], sizeof(FrameInfo)) != 0) {
                ADD_FAILURE() << what << ", frame" << f << ": mean " << int(lib.mean) << " vs " << int(ref_mean)
                              << "\n library   " << hex(lib.info) << "\n reference " << hex(ref[f]);
                return false;
            }
        }
        const int ref_code = krvref::pass_result(ref[0], ref[1], pair.status, static_cast<int32_t>(duration_us / 1000));
        last_code = ref_code;
        if (lib_code != ref_code) {
            ADD_FAILURE() << what << ": result " << lib_code << " vs " << ref_code << ", duration " << duration_us;
            return false;
        }
        return true;
    }
};

TEST_F(FrameAnalysisDifferential, NamedShapes) {
    FramePair pair;
    for (krvgen::Shape s : krvgen::kShapes) {
        krvgen::make_shape(s, &pair);
        for (uint8_t status : {0, 1, 2})
            for (long d : kDurationsUs) {
                pair.status = status;
                ASSERT_TRUE(agree(pair, d, krvgen::shape_name(s)));
            }
    }
    // The shapes classify as their names say.
    krvgen::make_shape(krvgen::Shape::Swipe, &pair);
    FrameInfo a, b;
    EXPECT_EQ(krvref::classify_pair(pair, 50, &a, &b), NAV_RESULT_UP);
    krvgen::make_shape(krvgen::Shape::Tap, &pair);
    EXPECT_EQ(krvref::classify_pair(pair, 200, &a, &b), NAV_RESULT_SINGLE_TAP);
}

TEST_F(FrameAnalysisDifferential, SingleDarkPixelAtEveryBorderPosition) {
    // One pixel of value v (an edge pixel for level 1, threshold 2) at each
    // border position of frame0; frame1 is a valid touch.
    FramePair pair;
    krvgen::make_shape(krvgen::Shape::Tap, &pair);
    for (int v : {0, 2, 3}) {
        for (int row = 0; row < KRV_FRAME_ROWS; ++row) {
            for (int col = 0; col < KRV_FRAME_COLS; ++col) {
                if (row != 0 && row != KRV_FRAME_ROWS - 1 && col != 0 && col != KRV_FRAME_COLS - 1) continue;
                memset(pair.frame0, 255, sizeof pair.frame0);
                pair.frame0[row * KRV_FRAME_COLS + col] = static_cast<uint8_t>(v);
                ASSERT_TRUE(agree(pair, 200000, "border pixel " + std::to_string(row) + "," + std::to_string(col)));
            }
        }
    }
}

TEST_F(FrameAnalysisDifferential, RandomAndAdversarialStream) {
    FramePair pair;
    std::vector<int> codes(8, 0);
    for (uint64_t i = 0; i < kStreamPairs; ++i) {
        krvgen::make_stream_pair(i, &pair);
        const long d = kDurationsUs[i % (sizeof kDurationsUs / sizeof kDurationsUs[0])];
        ASSERT_TRUE(agree(pair, d, "stream pair " + std::to_string(i)));
        ++codes[last_code];
    }
    // The stream reaches every result a pass can give.
    for (int code : {0, 3, 4, 5, 7}) EXPECT_GT(codes[code], 0) << "no pair gave " << code;
}

}  // namespace
