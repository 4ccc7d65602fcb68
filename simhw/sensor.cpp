// The sensor node "/dev/kvs508": open gives one end of a socket pair, so
// the library's F_SETOWN / O_ASYNC arming is real; a touch writes a byte to
// the other end, and the kernel raises SIGIO only if the descriptor was
// armed. The frame request copies the pair set here (after an optional
// delay); the key request records its byte.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <vector>

#include "simhw/internal.h"

namespace krvtest {

namespace sim {

namespace {

std::mutex g_mu;  // the state below
bool g_present = true;
FramePair g_pair;
int g_delay_ms = 0;
int g_requests = 0;
std::vector<uint8_t> g_keys;

// Guards the descriptor table against a touch racing the library's close.
std::mutex g_fd_mu;
FdTable g_fds;                             // the library's ends
std::atomic<int> g_peer[FdTable::kSlots];  // ours, by slot
std::atomic<void (*)()> g_on_arm{nullptr};

}  // namespace

bool is_sensor(int fd) { return g_fds.owns(fd); }

int sensor_open(int flags) {
    {
        std::lock_guard<std::mutex> lk(g_mu);
        if (!node_there(g_present)) return -1;
    }
    int sv[2];
    if (!node_pair(SOCK_STREAM, flags, sv)) return -1;
    std::lock_guard<std::mutex> lk(g_fd_mu);
    g_peer[g_fds.claim(sv[0])].store(sv[1]);
    return sv[0];
}

int sensor_close(int fd) {
    std::lock_guard<std::mutex> lk(g_fd_mu);
    const int s = g_fds.find(fd);
    if (s < 0) return real_close(fd);  // closed meanwhile by another thread
    // The library's end first: closing ours while the library's is still
    // armed would raise a SIGIO that no touch caused.
    g_fds.free_slot(s);
    const int rc = real_close(fd);
    real_close(g_peer[s].load());
    return rc;
}

int sensor_ioctl(int /*fd*/, unsigned long request, void* arg) {
    if (inject(Fault::kSensorIoctl)) return -1;
    int delay = 0;
    {
        std::lock_guard<std::mutex> lk(g_mu);
        if (request == NAV_IOC_GET_IMAGE) {
            ++g_requests;
            memcpy(arg, &g_pair, sizeof(FramePair));
            delay = g_delay_ms;
        } else if (request == NAV_IOC_REPORT_KEY) {
            g_keys.push_back(*static_cast<uint8_t*>(arg));
        } else {
            errno = ENOTTY;
            return -1;
        }
    }
    if (delay) usleep(static_cast<useconds_t>(delay) * 1000);
    return 0;
}

int sensor_fcntl(int fd, int cmd, unsigned long arg, const char* sym) {
    if (inject(Fault::kSensorFcntl)) return -1;
    const int rc = real<int (*)(int, int, unsigned long)>(sym)(fd, cmd, arg);
    if (cmd == F_SETFL && (arg & O_ASYNC)) {
        if (auto hook = g_on_arm.load()) hook();
    }
    return rc;
}

}  // namespace sim

using namespace sim;

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

int sensor_open_count() { return g_fds.count(); }

int sensor_armed_count() {
    std::lock_guard<std::mutex> lk(g_fd_mu);
    int n = 0;
    for (int i = 0; i < FdTable::kSlots; ++i) {
        const int fd = g_fds.at(i);
        if (fd < 0) continue;
        // The C library's fcntl, not the interposed one, which faults can hit.
        const int fl = real_fcntl(fd, F_GETFL, 0);
        n += fl >= 0 && (fl & O_ASYNC) && real_fcntl(fd, F_GETOWN, 0) == getpid();
    }
    return n;
}

bool sensor_wait_armed(int ms) {
    const auto now_ms = [] {
        struct timespec t;
        clock_gettime(CLOCK_MONOTONIC, &t);
        return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
    };
    const long long until = now_ms() + ms;
    while (sensor_armed_count() < 1) {
        if (now_ms() >= until) return false;
        const struct timespec pause = {0, 1000000};
        nanosleep(&pause, nullptr);
    }
    return true;
}

int touch() {
    std::lock_guard<std::mutex> lk(g_fd_mu);
    int n = 0;
    for (int i = 0; i < FdTable::kSlots; ++i) {
        if (g_fds.at(i) < 0) continue;
        char b = 1;
        if (send(g_peer[i].load(), &b, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1) ++n;
    }
    return n;
}

void sensor_on_arm(void (*hook)()) { g_on_arm = hook; }

void sensor_vanish() {
    sensor_set_present(false);
    std::lock_guard<std::mutex> lk(g_fd_mu);
    for (int i = 0; i < FdTable::kSlots; ++i)
        if (g_fds.at(i) >= 0) shutdown(g_peer[i].load(), SHUT_RDWR);
}

void sensor_reset() {
    // Input sessions still draining are finished first, so that none of
    // their records lands after the reset.
    input_reset();
    {
        std::lock_guard<std::mutex> lk(g_mu);
        g_present = true;
        memset(&g_pair, 0xFF, sizeof g_pair);
        g_delay_ms = 0;
        g_requests = 0;
        g_keys.clear();
    }
    g_on_arm = nullptr;
    pipe_reset();
    node_reset();
    faults_reset();
    clock_reset();
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
