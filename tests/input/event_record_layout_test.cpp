// The input event record as it reaches the device, byte for byte: 16 bytes
// on a 32-bit build (seconds and microseconds as 32-bit words), 24 on a
// 64-bit one, with the same field values and timestamp rule on both. The
// records are read back whole from a packet socket and decoded by offset,
// not through the platform's struct.
#include <gtest/gtest.h>
#include <linux/input.h>
#include <stddef.h>
#include <string.h>
#include <sys/time.h>
#include <unistd.h>

#include <utility>
#include <vector>

#include "common/packet_channel.h"
#include "krv_nav.h"
#include "support/log_capture.h"

namespace {

// Where the fields sit in one record of this build.
struct Layout {
    size_t size, sec, usec, type, code, value, time_width;
};
constexpr Layout kLayout32 = {16, 0, 4, 8, 10, 12, 4};
constexpr Layout kLayout64 = {24, 0, 8, 16, 18, 20, 8};
// The time fields are the kernel's long words on every Linux ABI we build.
constexpr Layout kLayout = sizeof(long) == 4 ? kLayout32 : kLayout64;

struct Raw {
    std::vector<unsigned char> bytes;

    long long word(size_t off, size_t width) const {
        if (width == 4) {
            int32_t v;
            memcpy(&v, &bytes[off], 4);
            return v;
        }
        int64_t v;
        memcpy(&v, &bytes[off], 8);
        return v;
    }
    long long sec() const { return word(kLayout.sec, kLayout.time_width); }
    long long usec() const { return word(kLayout.usec, kLayout.time_width); }
    long long micros() const { return sec() * 1000000LL + usec(); }
    unsigned half(size_t off) const {
        uint16_t v;
        memcpy(&v, &bytes[off], 2);
        return v;
    }
    unsigned type() const { return half(kLayout.type); }
    unsigned code() const { return half(kLayout.code); }
    int32_t value() const { return static_cast<int32_t>(word(kLayout.value, 4)); }
    bool same_time(const Raw& o) const {
        return memcmp(&bytes[kLayout.sec], &o.bytes[kLayout.sec], 2 * kLayout.time_width) == 0;
    }
};

// Every packet written so far, at its written size.
struct Device : krvtest::PacketChannel {
    std::vector<Raw> records() {
        std::vector<Raw> out;
        for (auto& p : packets()) out.push_back(Raw{std::move(p)});
        return out;
    }
};

long long now_us() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return tv.tv_sec * 1000000LL + tv.tv_usec;
}

TEST(EventRecordLayout, PlatformRecordMatchesTheByteLayout) {
    EXPECT_EQ(sizeof(struct input_event), kLayout.size);
    EXPECT_EQ(offsetof(struct input_event, input_event_sec), kLayout.sec);
    EXPECT_EQ(offsetof(struct input_event, input_event_usec), kLayout.usec);
    EXPECT_EQ(offsetof(struct input_event, type), kLayout.type);
    EXPECT_EQ(offsetof(struct input_event, code), kLayout.code);
    EXPECT_EQ(offsetof(struct input_event, value), kLayout.value);
    if (sizeof(void*) == 4) {
        EXPECT_EQ(sizeof(struct input_event), 16u) << "the 32-bit target writes 16-byte records";
    }
    RecordProperty("input_event_bytes", static_cast<int>(sizeof(struct input_event)));
}

TEST(EventRecordLayout, KeyRecordsByteForByte) {
    Device dev;
    ASSERT_TRUE(dev.ok());
    const long long before = now_us();
    simulate_key(dev.writer(), 0x10000 + KEY_BACK);  // only the low 16 bits are the code
    const long long after = now_us();
    auto r = dev.records();
    ASSERT_EQ(r.size(), 4u);
    const struct {
        unsigned type, code;
        int32_t value;
    } want[] = {{EV_KEY, KEY_BACK, 1}, {EV_SYN, SYN_REPORT, 0}, {EV_KEY, KEY_BACK, 0}, {EV_SYN, SYN_REPORT, 0}};
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(r[i].bytes.size(), kLayout.size);
        EXPECT_EQ(r[i].type(), want[i].type);
        EXPECT_EQ(r[i].code(), want[i].code);
        EXPECT_EQ(r[i].value(), want[i].value);
        EXPECT_GE(r[i].usec(), 0);
        EXPECT_LT(r[i].usec(), 1000000);
        EXPECT_GE(r[i].micros(), before);
        EXPECT_LE(r[i].micros(), after);
    }
    // Each report carries the time of the key record before it; the release
    // is stamped anew, not before the press.
    EXPECT_TRUE(r[0].same_time(r[1]));
    EXPECT_TRUE(r[2].same_time(r[3]));
    EXPECT_GE(r[2].micros(), r[0].micros());
    krvtest::clear_logs();
}

TEST(EventRecordLayout, SwipeRecordsByteForByte) {
    Device dev;
    ASSERT_TRUE(dev.ok());
    simulate_Touch_Y(dev.writer(), 0);  // upwards: Y from 608 towards 0 along X 360
    auto r = dev.records();
    ASSERT_EQ(r.size(), 68u);
    for (const auto& rec : r) ASSERT_EQ(rec.bytes.size(), kLayout.size);
    // Touch-down: nothing has stamped the record yet, so the time bytes are zero.
    EXPECT_EQ(r[0].code(), ABS_MT_TRACKING_ID);
    EXPECT_EQ(r[0].value(), 154);
    EXPECT_EQ(r[0].sec(), 0);
    EXPECT_EQ(r[0].usec(), 0);
    EXPECT_EQ(r[4].type(), EV_SYN);
    EXPECT_NE(r[4].micros(), 0);
    // The first step's positions carry the touch-down report's time.
    EXPECT_EQ(r[5].code(), ABS_MT_POSITION_X);
    EXPECT_EQ(r[5].value(), 360);
    EXPECT_EQ(r[6].code(), ABS_MT_POSITION_Y);
    EXPECT_EQ(r[6].value(), 608);
    EXPECT_TRUE(r[5].same_time(r[4]));
    EXPECT_TRUE(r[6].same_time(r[4]));
    // Lift-off: a negative tracking id survives as a signed 32-bit value.
    EXPECT_EQ(r[65].type(), EV_ABS);
    EXPECT_EQ(r[65].code(), ABS_MT_TRACKING_ID);
    EXPECT_EQ(r[65].value(), -1);
    EXPECT_TRUE(r[65].same_time(r[64]));
    EXPECT_GT(r[67].micros(), r[4].micros());
    krvtest::clear_logs();
}

}  // namespace
