#include "sensor_stub.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace krvtest {
namespace {
std::mutex g_mu;
bool g_present = true;
FramePair g_pair;
int g_delay_ms = 0;
int g_requests = 0;
std::vector<uint8_t> g_keys;
std::atomic<int> g_fds[64];  // open sensor descriptors (+1), 0 = free

bool is_sensor_fd(int fd) {
    for (auto& f : g_fds)
        if (f.load() == fd + 1) return true;
    return false;
}

int open_sensor() {
    {
        std::lock_guard<std::mutex> lk(g_mu);
        if (!g_present) {
            errno = ENOENT;
            return -1;
        }
    }
    using OpenFn = int (*)(const char*, int, ...);
    static OpenFn real = reinterpret_cast<OpenFn>(dlsym(RTLD_NEXT, "open"));
    int fd = real("/dev/null", O_RDWR);
    for (auto& f : g_fds) {
        int expected = 0;
        if (f.compare_exchange_strong(expected, fd + 1)) break;
    }
    return fd;
}

void forget(int fd) {
    for (auto& f : g_fds) {
        int expected = fd + 1;
        f.compare_exchange_strong(expected, 0);
    }
}
}  // namespace

void sensor_set_present(bool present) {
    std::lock_guard<std::mutex> lk(g_mu);
    g_present = present;
}
void sensor_set_frames(const FramePair& pair) {
    std::lock_guard<std::mutex> lk(g_mu);
    g_pair = pair;
}
void sensor_set_fetch_delay_ms(int ms) {
    std::lock_guard<std::mutex> lk(g_mu);
    g_delay_ms = ms;
}
int sensor_frame_requests() {
    std::lock_guard<std::mutex> lk(g_mu);
    return g_requests;
}
std::vector<uint8_t> sensor_reported_keys() {
    std::lock_guard<std::mutex> lk(g_mu);
    return g_keys;
}
void sensor_reset() {
    std::lock_guard<std::mutex> lk(g_mu);
    g_present = true;
    memset(&g_pair, 0xFF, sizeof g_pair);
    g_delay_ms = 0;
    g_requests = 0;
    g_keys.clear();
}

FramePair make_pair(Blob first, Blob second, uint8_t status) {
    FramePair p;
    memset(&p, 0xFF, sizeof p);
    auto paint = [](uint8_t* frame, const Blob& b) {
        for (int r = b.row; r < b.row + b.h; ++r)
            for (int c = b.col; c < b.col + b.w; ++c)
                if (r >= 0 && r < KRV_FRAME_ROWS && c >= 0 && c < KRV_FRAME_COLS)
                    frame[r * KRV_FRAME_COLS + c] = b.level;
    };
    paint(p.frame0, first);
    paint(p.frame1, second);
    p.status = status;
    return p;
}

}  // namespace krvtest

using krvtest::is_sensor_fd;

extern "C" {

static int dispatch_open(const char* path, int flags, mode_t mode, const char* sym) {
    if (path && strcmp(path, KRV_SENSOR_NODE) == 0) return krvtest::open_sensor();
    using OpenFn = int (*)(const char*, int, ...);
    OpenFn real = reinterpret_cast<OpenFn>(dlsym(RTLD_NEXT, sym));
    return real(path, flags, mode);
}

int open(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = (flags & O_CREAT) ? va_arg(ap, mode_t) : 0;
    va_end(ap);
    return dispatch_open(path, flags, mode, "open");
}

int open64(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = (flags & O_CREAT) ? va_arg(ap, mode_t) : 0;
    va_end(ap);
    return dispatch_open(path, flags, mode, "open64");
}

int __open_2(const char* path, int flags) { return dispatch_open(path, flags, 0, "open"); }
int __open64_2(const char* path, int flags) { return dispatch_open(path, flags, 0, "open64"); }

int close(int fd) {
    krvtest::forget(fd);
    using CloseFn = int (*)(int);
    static CloseFn real = reinterpret_cast<CloseFn>(dlsym(RTLD_NEXT, "close"));
    return real(fd);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (is_sensor_fd(fd)) {
        int delay = 0;
        {
            std::lock_guard<std::mutex> lk(krvtest::g_mu);
            if (request == NAV_IOC_GET_IMAGE) {
                ++krvtest::g_requests;
                memcpy(arg, &krvtest::g_pair, sizeof(FramePair));
                delay = krvtest::g_delay_ms;
            } else if (request == NAV_IOC_REPORT_KEY) {
                krvtest::g_keys.push_back(*static_cast<uint8_t*>(arg));
            } else {
                errno = ENOTTY;
                return -1;
            }
        }
        if (delay) usleep(delay * 1000);
        return 0;
    }
    using IoctlFn = int (*)(int, unsigned long, void*);
    static IoctlFn real = reinterpret_cast<IoctlFn>(dlsym(RTLD_NEXT, "ioctl"));
    return real(fd, request, arg);
}

}  // extern "C"

namespace krvtest {
namespace {
std::mutex g_clock_mu;
std::vector<struct timeval> g_clock;
}  // namespace
void script_clock(std::vector<struct timeval> times) {
    std::lock_guard<std::mutex> lk(g_clock_mu);
    g_clock = std::move(times);
}
}  // namespace krvtest

extern "C" int gettimeofday(struct timeval* tv, void* tz) {
    {
        std::lock_guard<std::mutex> lk(krvtest::g_clock_mu);
        if (!krvtest::g_clock.empty()) {
            *tv = krvtest::g_clock.front();
            krvtest::g_clock.erase(krvtest::g_clock.begin());
            return 0;
        }
    }
    using Fn = int (*)(struct timeval*, void*);
    static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "gettimeofday"));
    return real(tv, tz);
}
