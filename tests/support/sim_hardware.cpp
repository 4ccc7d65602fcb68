#include "sim_hardware.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace krvtest {
namespace {
void clear_faults();

// The C library's definition of `name`, looked up once: dlsym on every
// call is slow and, under ThreadSanitizer, can wedge its allocator when a
// signal storm hits the lookup.
void* resolve(const char* name) {
    constexpr int kNames = 32;
    static std::mutex mu;
    static const char* names[kNames];
    static void* fns[kNames];
    static int count = 0;
    std::lock_guard<std::mutex> lk(mu);
    for (int i = 0; i < count; ++i)
        if (strcmp(names[i], name) == 0) return fns[i];
    if (count == kNames) abort();
    names[count] = name;
    fns[count] = dlsym(RTLD_NEXT, name);
    return fns[count++];
}

template <typename Fn>
Fn real(const char* name) {
    return reinterpret_cast<Fn>(resolve(name));
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
long g_sessions_opened = 0, g_sessions_drained = 0;  // never reset

int find(std::atomic<int>* table, int fd) {
    if (fd < 0) return -1;  // a failed open's -1 is nobody's descriptor
    for (int i = 0; i < kSlots; ++i)
        if (table[i].load() == fd + 1) return i;
    return -1;
}

// Opens of the device nodes whose descriptor would outlive an exec.
std::atomic<int> g_inheritable{0};

// A socket pair standing in for a device node: close-on-exec on the
// library's end (sv[0]) only if the library asked for it, as open does;
// always on ours.
bool node_pair(int type, int open_flags, int sv[2]) {
    const int cloexec = (open_flags & O_CLOEXEC) ? SOCK_CLOEXEC : 0;
    if (socketpair(AF_UNIX, type | cloexec, 0, sv) != 0) return false;
    auto real_fcntl = real<int (*)(int, int, ...)>("fcntl");
    real_fcntl(sv[1], F_SETFD, FD_CLOEXEC);
    if ((real_fcntl(sv[0], F_GETFD) & FD_CLOEXEC) == 0) g_inheritable.fetch_add(1);
    return true;
}

int claim(std::atomic<int>* table, int fd) {
    for (int i = 0; i < kSlots; ++i) {
        int expected = 0;
        if (table[i].compare_exchange_strong(expected, fd + 1)) return i;
    }
    abort();  // more than 64 descriptors open at once: a leak in the library
}

int open_sensor(int flags) {
    {
        std::lock_guard<std::mutex> lk(g_mu);
        if (!g_present) {
            errno = ENOENT;
            return -1;
        }
    }
    int sv[2];
    if (!node_pair(SOCK_STREAM, flags, sv)) return -1;
    std::lock_guard<std::mutex> lk(g_sensor_mu);
    int slot = claim(g_sensor_fd, sv[0]);
    g_sensor_peer[slot].store(sv[1]);
    return sv[0];
}

// With KRV_SIM_INPUT_LOG set (a host such as a JVM that preloads the
// simulated hardware), every closed input session appends one line:
// "records <n>" and then "<type> <code> <value>" for each record. Read
// once as the binary starts: a test's setenv must not race the drain
// threads' getenv.
const char* const g_input_log = getenv("KRV_SIM_INPUT_LOG");
void log_session(const std::vector<Packet>& session) {
    const char* path = g_input_log;
    if (!path) return;
    std::string line = "records " + std::to_string(session.size());
    for (const auto& p : session)
        for (long v : {long{p.ev.type}, long{p.ev.code}, long{p.ev.value}}) {
            line += ' ';  // no "literal" + string: GCC 12 warns on it at -O2
            line += std::to_string(v);
        }
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
        // The kernel stamps each packet as it is written (real-time clock,
        // SO_TIMESTAMPNS); the stamp is turned into the monotonic clock.
        struct iovec iov = {&p.ev, sizeof p.ev};
        alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(struct timespec))];
        struct msghdr msg = {};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        ssize_t n = recvmsg(peer, &msg, MSG_TRUNC);
        if (n <= 0) break;
        p.size = static_cast<size_t>(n);
        struct timespec mono, real_now;
        clock_gettime(CLOCK_MONOTONIC, &mono);
        clock_gettime(CLOCK_REALTIME, &real_now);
        long long age_ns = 0;
        for (struct cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                struct timespec sent;
                memcpy(&sent, CMSG_DATA(c), sizeof sent);
                age_ns = (real_now.tv_sec - sent.tv_sec) * 1000000000LL + (real_now.tv_nsec - sent.tv_nsec);
            }
        p.written_us = (mono.tv_sec * 1000000000LL + mono.tv_nsec - std::max(age_ns, 0LL)) / 1000;
        session.push_back(p);
        std::lock_guard<std::mutex> lk(g_mu);
        g_packets.push_back(p);
        g_cv.notify_all();
    }
    log_session(session);
    real<int (*)(int)>("close")(peer);
    std::lock_guard<std::mutex> lk(g_mu);
    ++g_sessions_drained;
    g_cv.notify_all();
}

int open_input(int flags) {
    {
        std::lock_guard<std::mutex> lk(g_mu);
        if (!g_input_present) {
            errno = ENOENT;
            return -1;
        }
        ++g_input_opens;
    }
    int sv[2];
    if (!node_pair(SOCK_SEQPACKET, flags, sv)) return -1;
    int on = 1;
    setsockopt(sv[1], SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    {
        std::lock_guard<std::mutex> lk(g_mu);
        ++g_sessions_opened;
    }
    claim(g_input_fd, sv[0]);
    // The reader keeps its end until the library closes its own, as a real
    // node never raises SIGPIPE.
    std::thread(drain, sv[1]).detach();
    return sv[0];
}

// The temporary pipe folder, removed again when the process exits.
char g_pipe_dir[32] = "/tmp/krv-pipe-XXXXXX";

void remove_pipe_dir() {
    char path[64];
    snprintf(path, sizeof path, "%s/navCtrlPipe", g_pipe_dir);
    unlink(path);
    rmdir(g_pipe_dir);
}

std::string& pipe_dir() {
    static std::string dir = [] {
        if (mkdtemp(g_pipe_dir) == nullptr) return std::string("/tmp");
        atexit(remove_pipe_dir);
        return std::string(g_pipe_dir);
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
int sensor_armed_count() {
    auto real_fcntl = real<int (*)(int, int, ...)>("fcntl");  // not the library's, which faults can hit
    std::lock_guard<std::mutex> lk(g_sensor_mu);
    int n = 0;
    for (auto& f : g_sensor_fd) {
        int fd = f.load() - 1;
        if (fd < 0) continue;
        int fl = real_fcntl(fd, F_GETFL);
        n += fl >= 0 && (fl & O_ASYNC) && real_fcntl(fd, F_GETOWN) == getpid();
    }
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
// Records of a session the library has already closed can still be on
// their way through its drain thread (far behind under Valgrind or an
// emulator); they must not land after a clear and count for the next check.
namespace {
bool wait_sessions_drained(std::unique_lock<std::mutex>& lk, int ms = 10000) {
    return g_cv.wait_for(lk, std::chrono::milliseconds(ms), [] { return g_sessions_drained >= g_sessions_opened; });
}
}  // namespace

void input_clear() {
    std::unique_lock<std::mutex> lk(g_mu);
    wait_sessions_drained(lk);
    g_packets.clear();
    g_input_opens = g_input_closes = 0;
}
size_t input_wait(size_t n, int ms) {
    std::unique_lock<std::mutex> lk(g_mu);
    g_cv.wait_for(lk, std::chrono::milliseconds(ms), [&] { return g_packets.size() >= n; });
    return g_packets.size();
}
bool input_wait_drained(int ms) {
    std::unique_lock<std::mutex> lk(g_mu);
    return wait_sessions_drained(lk, ms);
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
    std::unique_lock<std::mutex> lk(g_mu);
    wait_sessions_drained(lk);
    g_present = true;
    memset(&g_pair, 0xFF, sizeof g_pair);
    g_delay_ms = 0;
    g_requests = 0;
    g_keys.clear();
    g_input_present = true;
    g_packets.clear();
    g_input_opens = g_input_closes = 0;
    unlink(pipe_real_path().c_str());
    g_inheritable = 0;
    clear_faults();
}

int node_opens_inheritable() { return g_inheritable.load(); }

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
std::atomic<long> g_clock_ahead_s{0};
}  // namespace

void script_clock(std::vector<struct timeval> times) {
    std::lock_guard<std::mutex> lk(g_clock_mu);
    g_clock = std::move(times);
}

void clock_stepped_back(long seconds) { g_clock_ahead_s = seconds; }

// ---- fault injection

namespace {

struct FaultSlot {
    std::atomic<int> left{0}, err{0}, calls{0};
};
FaultSlot g_faults[static_cast<int>(Fault::kCount)];
std::atomic<size_t> g_short_write{0};
std::atomic<void (*)()> g_on_arm{nullptr};
std::atomic<void (*)()> g_on_pipe_reader_open{nullptr};
std::atomic<void (*)()> g_on_pipe_writer_open{nullptr};
std::atomic<void (*)()> g_on_pipe_create{nullptr};
std::atomic<void (*)()> g_on_pipe_read{nullptr};
std::atomic<int> g_pipe_fd[kSlots];  // descriptors of the command pipe + 1
std::atomic<int> g_file_fd[kSlots];  // written files under g_files_dir + 1
std::mutex g_files_mu;
std::string g_files_dir;
std::atomic<int> g_files_err{0};

void clear_faults() {
    for (auto& f : g_faults) f.left = f.err = f.calls = 0;
    g_short_write = 0;
    g_on_arm = nullptr;
    g_on_pipe_reader_open = nullptr;
    g_on_pipe_writer_open = nullptr;
    g_on_pipe_create = nullptr;
    g_on_pipe_read = nullptr;
    g_files_err = 0;
    g_clock_ahead_s = 0;
}

// Counts the call; true, with errno set, when it is to fail.
bool inject(Fault call) {
    FaultSlot& s = g_faults[static_cast<int>(call)];
    s.calls.fetch_add(1);
    for (int left = s.left.load(); left > 0;) {
        if (s.left.compare_exchange_weak(left, left - 1)) {
            errno = s.err.load();
            return true;
        }
    }
    return false;
}

void release(std::atomic<int>* table, int fd) {
    int i = find(table, fd);
    if (i >= 0) table[i].store(0);
}

bool under_faulty_dir(const char* path) {
    if (g_files_err.load() == 0 || path == nullptr) return false;
    std::lock_guard<std::mutex> lk(g_files_mu);
    return strncmp(path, g_files_dir.c_str(), g_files_dir.size()) == 0;
}

}  // namespace

void fault_fail_next(Fault call, int count, int err) {
    FaultSlot& s = g_faults[static_cast<int>(call)];
    s.err = err;
    s.left = count;
}
int fault_calls(Fault call) { return g_faults[static_cast<int>(call)].calls.load(); }
void input_short_writes(size_t bytes) { g_short_write = bytes; }
void sensor_on_arm(void (*hook)()) { g_on_arm = hook; }
void pipe_on_reader_open(void (*hook)()) { g_on_pipe_reader_open = hook; }
void pipe_on_writer_open(void (*hook)()) { g_on_pipe_writer_open = hook; }
void pipe_on_create(void (*hook)()) { g_on_pipe_create = hook; }
void pipe_on_read(void (*hook)()) { g_on_pipe_read = hook; }
void files_fail(const std::string& dir, int err) {
    std::lock_guard<std::mutex> lk(g_files_mu);
    g_files_dir = dir;
    g_files_err = err;
}
void sensor_vanish() {
    sensor_set_present(false);
    std::lock_guard<std::mutex> lk(g_sensor_mu);
    for (int i = 0; i < kSlots; ++i)
        if (g_sensor_fd[i].load() != 0) shutdown(g_sensor_peer[i].load(), SHUT_RDWR);
}

}  // namespace krvtest

using namespace krvtest;

extern "C" {

static int dispatch_open(const char* path, int flags, mode_t mode, const char* sym) {
    if (path && strcmp(path, KRV_SENSOR_NODE) == 0) return inject(Fault::kSensorOpen) ? -1 : open_sensor(flags);
    if (path && strcmp(path, KRV_INPUT_NODE) == 0) return inject(Fault::kInputOpen) ? -1 : open_input(flags);
    const bool pipe = path && strcmp(path, KRV_CTL_PIPE) == 0;
    if (pipe && inject(Fault::kPipeOpen)) return -1;
    const bool faulty_file = (flags & O_ACCMODE) != O_RDONLY && under_faulty_dir(path);
    if (faulty_file && g_files_err.load() != ENOSPC) {
        errno = g_files_err.load();
        return -1;
    }
    std::string storage;
    int fd = real<int (*)(const char*, int, ...)>(sym)(redirect(path, storage), flags, mode);
    if (fd >= 0 && pipe) {
        claim(g_pipe_fd, fd);
        auto& on_open = (flags & O_ACCMODE) == O_RDONLY ? g_on_pipe_reader_open : g_on_pipe_writer_open;
        if (auto hook = on_open.exchange(nullptr)) hook();
    }
    if (fd >= 0 && faulty_file) claim(g_file_fd, fd);
    return fd;
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
    int rc = real<int (*)(const char*, mode_t)>("mkfifo")(redirect(path, storage), mode);
    if (rc == 0 && strcmp(path, KRV_CTL_PIPE) == 0)
        if (auto hook = g_on_pipe_create.exchange(nullptr)) hook();
    return rc;
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
            // The library's end first: closing our end while the library's
            // is still armed would raise a SIGIO that no touch caused.
            g_sensor_fd[s].store(0);
            int rc = real<int (*)(int)>("close")(fd);
            real<int (*)(int)>("close")(g_sensor_peer[s].load());
            return rc;
        }
    }
    release(g_pipe_fd, fd);
    release(g_file_fd, fd);
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
    return real<int (*)(int, unsigned long, void*)>("ioctl")(fd, request, arg);
}

ssize_t read(int fd, void* buf, size_t n) {
    static auto real_read = real<ssize_t (*)(int, void*, size_t)>("read");
    if (find(g_pipe_fd, fd) < 0) return real_read(fd, buf, n);
    if (inject(Fault::kPipeRead)) return -1;
    ssize_t got = real_read(fd, buf, n);
    if (got > 0)
        if (auto hook = g_on_pipe_read.exchange(nullptr)) hook();
    return got;
}

ssize_t write(int fd, const void* buf, size_t n) {
    static auto real_write = real<ssize_t (*)(int, const void*, size_t)>("write");
    if (find(g_input_fd, fd) >= 0) {
        if (inject(Fault::kInputWrite)) return -1;
        size_t cut = g_short_write.load();
        if (cut != 0 && cut < n) n = cut;
    } else if (g_files_err.load() == ENOSPC && find(g_file_fd, fd) >= 0) {
        errno = ENOSPC;
        return -1;
    }
    return real_write(fd, buf, n);
}

static int dispatch_fcntl(int fd, int cmd, unsigned long arg, const char* sym) {
    const bool sensor = find(g_sensor_fd, fd) >= 0;
    if (sensor && inject(Fault::kSensorFcntl)) return -1;
    int rc = real<int (*)(int, int, unsigned long)>(sym)(fd, cmd, arg);
    if (sensor && cmd == F_SETFL && (arg & O_ASYNC)) {
        if (auto hook = g_on_arm.load()) hook();
    }
    return rc;
}

// The third argument is read as a word whatever the command, as the C
// library itself does.
int fcntl(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    unsigned long arg = va_arg(ap, unsigned long);
    va_end(ap);
    return dispatch_fcntl(fd, cmd, arg, "fcntl");
}

int fcntl64(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    unsigned long arg = va_arg(ap, unsigned long);
    va_end(ap);
    return dispatch_fcntl(fd, cmd, arg, "fcntl64");
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
    int rc = real<int (*)(struct timeval*, void*)>("gettimeofday")(tv, tz);
    if (rc == 0) tv->tv_sec += g_clock_ahead_s.load();
    return rc;
}

}  // extern "C"
