#include "sim_hardware.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace krvtest {
namespace {

template <typename Fn>
Fn real(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

std::mutex g_mu;
std::condition_variable g_cv;
// Guards the sensor table against a touch racing the library's close.
std::mutex g_sensor_mu;
bool g_present = true;
FramePair g_pair;
int g_delay_ms = 0;
int g_requests = 0;
std::vector<uint8_t> g_keys;

constexpr int kSlots = 64;
std::atomic<int> g_sensor_fd[kSlots];    // library end + 1, 0 = free
std::atomic<int> g_sensor_peer[kSlots];  // our end
std::atomic<int> g_input_fd[kSlots];     // library end + 1

bool g_input_present = true;
std::vector<Packet> g_packets;
int g_input_opens = 0, g_input_closes = 0;

int find(std::atomic<int>* table, int fd) {
    for (int i = 0; i < kSlots; ++i)
        if (table[i].load() == fd + 1) return i;
    return -1;
}

int claim(std::atomic<int>* table, int fd) {
    for (int i = 0; i < kSlots; ++i) {
        int expected = 0;
        if (table[i].compare_exchange_strong(expected, fd + 1)) return i;
    }
    abort();  // more than 64 descriptors open at once: a leak in the library
}

int open_sensor() {
    {
        std::lock_guard<std::mutex> lk(g_mu);
        if (!g_present) {
            errno = ENOENT;
            return -1;
        }
    }
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return -1;
    std::lock_guard<std::mutex> lk(g_sensor_mu);
    int slot = claim(g_sensor_fd, sv[0]);
    g_sensor_peer[slot].store(sv[1]);
    return sv[0];
}

// With KRV_SIM_INPUT_LOG set (a host such as a JVM that preloads the
// simulated hardware), every closed input session appends one line:
// "records <n>" and then "<type> <code> <value>" for each record.
void log_session(const std::vector<Packet>& session) {
    const char* path = getenv("KRV_SIM_INPUT_LOG");
    if (!path) return;
    std::string line = "records " + std::to_string(session.size());
    for (const auto& p : session)
        line += " " + std::to_string(p.ev.type) + " " + std::to_string(p.ev.code) + " " + std::to_string(p.ev.value);
    line += "\n";
    int fd = real<int (*)(const char*, int, ...)>("open")(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ssize_t ignored = write(fd, line.data(), line.size());
    (void)ignored;
    real<int (*)(int)>("close")(fd);
}

void drain(int peer) {
    std::vector<Packet> session;
    for (;;) {
        Packet p{};
        ssize_t n = recv(peer, &p.ev, sizeof p.ev, MSG_TRUNC);
        if (n <= 0) break;
        p.size = static_cast<size_t>(n);
        session.push_back(p);
        std::lock_guard<std::mutex> lk(g_mu);
        g_packets.push_back(p);
        g_cv.notify_all();
    }
    log_session(session);
    real<int (*)(int)>("close")(peer);
}

int open_input() {
    {
        std::lock_guard<std::mutex> lk(g_mu);
        if (!g_input_present) {
            errno = ENOENT;
            return -1;
        }
        ++g_input_opens;
    }
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0) return -1;
    claim(g_input_fd, sv[0]);
    // The reader keeps its end until the library closes its own, as a real
    // node never raises SIGPIPE.
    std::thread(drain, sv[1]).detach();
    return sv[0];
}

std::string& pipe_dir() {
    static std::string dir = [] {
        char tmpl[] = "/tmp/krv-pipe-XXXXXX";
        const char* d = mkdtemp(tmpl);
        return std::string(d ? d : "/tmp");
    }();
    return dir;
}

const char* redirect(const char* path, std::string& storage) {
    if (path && strcmp(path, KRV_CTL_PIPE) == 0) {
        storage = pipe_real_path();
        return storage.c_str();
    }
    return path;
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
int sensor_open_count() {
    int n = 0;
    for (auto& f : g_sensor_fd) n += f.load() != 0;
    return n;
}
int touch() {
    std::lock_guard<std::mutex> lk(g_sensor_mu);
    int n = 0;
    for (int i = 0; i < kSlots; ++i) {
        if (g_sensor_fd[i].load() == 0) continue;
        int peer = g_sensor_peer[i].load();
        char b = 1;
        if (send(peer, &b, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1) ++n;
    }
    return n;
}

void input_set_present(bool present) {
    std::lock_guard<std::mutex> lk(g_mu);
    g_input_present = present;
}
std::vector<Packet> input_packets() {
    std::lock_guard<std::mutex> lk(g_mu);
    return g_packets;
}
void input_clear() {
    std::lock_guard<std::mutex> lk(g_mu);
    g_packets.clear();
    g_input_opens = g_input_closes = 0;
}
size_t input_wait(size_t n, int ms) {
    std::unique_lock<std::mutex> lk(g_mu);
    g_cv.wait_for(lk, std::chrono::milliseconds(ms), [&] { return g_packets.size() >= n; });
    return g_packets.size();
}
int input_opens() {
    std::lock_guard<std::mutex> lk(g_mu);
    return g_input_opens;
}
int input_closes() {
    std::lock_guard<std::mutex> lk(g_mu);
    return g_input_closes;
}

std::string pipe_real_path() { return pipe_dir() + "/navCtrlPipe"; }

void sensor_reset() {
    std::lock_guard<std::mutex> lk(g_mu);
    g_present = true;
    memset(&g_pair, 0xFF, sizeof g_pair);
    g_delay_ms = 0;
    g_requests = 0;
    g_keys.clear();
    g_input_present = true;
    g_packets.clear();
    g_input_opens = g_input_closes = 0;
    unlink(pipe_real_path().c_str());
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

namespace {
std::mutex g_clock_mu;
std::vector<struct timeval> g_clock;
}  // namespace

void script_clock(std::vector<struct timeval> times) {
    std::lock_guard<std::mutex> lk(g_clock_mu);
    g_clock = std::move(times);
}

}  // namespace krvtest

using namespace krvtest;

extern "C" {

static int dispatch_open(const char* path, int flags, mode_t mode, const char* sym) {
    if (path && strcmp(path, KRV_SENSOR_NODE) == 0) return open_sensor();
    if (path && strcmp(path, KRV_INPUT_NODE) == 0) return open_input();
    std::string storage;
    return real<int (*)(const char*, int, ...)>(sym)(redirect(path, storage), flags, mode);
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

// openat with an absolute path names the same file whatever the directory.
static int dispatch_openat(int dirfd, const char* path, int flags, mode_t mode, const char* sym) {
    if (path && path[0] == '/' &&
        (strcmp(path, KRV_SENSOR_NODE) == 0 || strcmp(path, KRV_INPUT_NODE) == 0 || strcmp(path, KRV_CTL_PIPE) == 0))
        return dispatch_open(path, flags, mode, "open");
    return real<int (*)(int, const char*, int, ...)>(sym)(dirfd, path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = (flags & O_CREAT) ? va_arg(ap, mode_t) : 0;
    va_end(ap);
    return dispatch_openat(dirfd, path, flags, mode, "openat");
}

int openat64(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = (flags & O_CREAT) ? va_arg(ap, mode_t) : 0;
    va_end(ap);
    return dispatch_openat(dirfd, path, flags, mode, "openat64");
}
int __open64_2(const char* path, int flags) { return dispatch_open(path, flags, 0, "open64"); }

int access(const char* path, int mode) {
    std::string storage;
    return real<int (*)(const char*, int)>("access")(redirect(path, storage), mode);
}

int mkfifo(const char* path, mode_t mode) {
    std::string storage;
    return real<int (*)(const char*, mode_t)>("mkfifo")(redirect(path, storage), mode);
}

int chmod(const char* path, mode_t mode) {
    std::string storage;
    return real<int (*)(const char*, mode_t)>("chmod")(redirect(path, storage), mode);
}

int close(int fd) {
    {
        std::lock_guard<std::mutex> lk(g_sensor_mu);
        int s = find(g_sensor_fd, fd);
        if (s >= 0) {
            real<int (*)(int)>("close")(g_sensor_peer[s].load());
            g_sensor_fd[s].store(0);
            return real<int (*)(int)>("close")(fd);
        }
    }
    int i = find(g_input_fd, fd);
    if (i >= 0) {
        g_input_fd[i].store(0);
        std::lock_guard<std::mutex> lk(g_mu);
        ++g_input_closes;
    }
    return real<int (*)(int)>("close")(fd);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (find(g_sensor_fd, fd) >= 0) {
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
    return real<int (*)(int, unsigned long, void*)>("ioctl")(fd, request, arg);
}

int gettimeofday(struct timeval* tv, void* tz) {
    {
        std::lock_guard<std::mutex> lk(g_clock_mu);
        if (!g_clock.empty()) {
            *tv = g_clock.front();
            g_clock.erase(g_clock.begin());
            return 0;
        }
    }
    return real<int (*)(struct timeval*, void*)>("gettimeofday")(tv, tz);
}

}  // extern "C"
