// The input node "/dev/input/event2": open gives one end of a
// SOCK_SEQPACKET pair, so every write arrives as one packet; a thread per
// open drains the packets into one list of records. The reader keeps its
// end until the library closes its own, as a real node never raises
// SIGPIPE. EVIOCGNAME and EVIOCGBIT describe a touch panel.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "simhw/internal.h"

namespace krvtest {

namespace sim {

namespace {

// The drain threads are detached and may still signal as the process
// exits, so what they touch is never destroyed: no exit handler tears it
// down under them.
std::mutex g_mu;  // the state below
std::condition_variable& g_cv = *new std::condition_variable;
bool g_present = true;
std::vector<Packet>& g_packets = *new std::vector<Packet>;
int g_opens = 0, g_closes = 0;
long g_sessions_opened = 0, g_sessions_drained = 0;  // never reset
FdTable g_fds;                                       // the library's ends
std::atomic<size_t> g_short_write{0};
// Codes the panel does not declare, as (type, code); type 0 stands for the
// event types themselves.
std::vector<std::pair<uint16_t, uint16_t>>& g_lacks = *new std::vector<std::pair<uint16_t, uint16_t>>;

struct PanelCodes {
    uint16_t type;  // 0: the event types
    int max;        // highest code of the bitmap
    std::vector<uint16_t> declared;
};

const PanelCodes kPanel[] = {
    {0, EV_MAX, {EV_SYN, EV_KEY, EV_ABS}},
    {EV_KEY, KEY_MAX, {KEY_LEFT, KEY_RIGHT, KEY_BACK, KEY_HOMEPAGE, BTN_TOUCH, BTN_TOOL_FINGER}},
    {EV_ABS, ABS_MAX, {ABS_MT_SLOT, ABS_MT_TOUCH_MAJOR, ABS_MT_POSITION_X, ABS_MT_POSITION_Y, ABS_MT_TRACKING_ID}},
};

// Copies up to `len` bytes of `data` (whole, as the kernel does) and
// returns the count.
int copy_out(void* arg, size_t len, const void* data, size_t size) {
    const size_t n = std::min(len, size);
    memcpy(arg, data, n);
    return static_cast<int>(n);
}

// The bitmap EVIOCGBIT(type) reports, in the caller's words.
int answer_bits(uint16_t type, void* arg, size_t len) {
    constexpr int kWordBits = 8 * sizeof(unsigned long);
    int max = EV_MAX;  // types the panel does not have: an empty bitmap
    const std::vector<uint16_t>* declared = nullptr;
    for (const PanelCodes& p : kPanel) {
        if (p.type != type) continue;
        max = p.max;
        declared = &p.declared;
    }
    std::vector<unsigned long> words(static_cast<size_t>(max / kWordBits + 1));
    if (declared) {
        std::lock_guard<std::mutex> lk(g_mu);
        for (uint16_t code : *declared)
            if (std::find(g_lacks.begin(), g_lacks.end(), std::make_pair(type, code)) == g_lacks.end())
                words[code / kWordBits] |= 1UL << (code % kWordBits);
    }
    return copy_out(arg, len, words.data(), words.size() * sizeof(unsigned long));
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
    real_close(fd);
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
    real_close(peer);
    std::lock_guard<std::mutex> lk(g_mu);
    ++g_sessions_drained;
    g_cv.notify_all();
}

// Records of a session the library has already closed can still be on
// their way through its drain thread (far behind under Valgrind or an
// emulator); they must not land after a clear and count for the next check.
bool wait_sessions_drained(std::unique_lock<std::mutex>& lk, int ms = 10000) {
    return g_cv.wait_for(lk, std::chrono::milliseconds(ms), [] { return g_sessions_drained >= g_sessions_opened; });
}

}  // namespace

bool is_input(int fd) { return g_fds.owns(fd); }

int input_open(int flags) {
    {
        std::lock_guard<std::mutex> lk(g_mu);
        if (!node_there(g_present)) return -1;
        ++g_opens;
    }
    int sv[2];
    if (!node_pair(SOCK_SEQPACKET, flags, sv)) return -1;
    int on = 1;
    setsockopt(sv[1], SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    {
        std::lock_guard<std::mutex> lk(g_mu);
        ++g_sessions_opened;
    }
    g_fds.claim(sv[0]);
    std::thread(drain, sv[1]).detach();
    return sv[0];
}

int input_ioctl(unsigned long request, void* arg) {
    const size_t len = _IOC_SIZE(request);
    const unsigned nr = _IOC_NR(request);
    if (_IOC_TYPE(request) == 'E' && _IOC_DIR(request) == _IOC_READ) {
        if (nr == _IOC_NR(EVIOCGNAME(0))) return copy_out(arg, len, kPanelName, strlen(kPanelName) + 1);
        if (nr >= _IOC_NR(EVIOCGBIT(0, 0)) && nr <= _IOC_NR(EVIOCGBIT(EV_MAX, 0)))
            return answer_bits(static_cast<uint16_t>(nr - _IOC_NR(EVIOCGBIT(0, 0))), arg, len);
    }
    errno = ENOTTY;
    return -1;
}

void input_note_close(int fd) {
    if (!g_fds.release(fd)) return;
    std::lock_guard<std::mutex> lk(g_mu);
    ++g_closes;
}

size_t input_write_length(size_t n) {
    const size_t cut = g_short_write.load();
    return cut != 0 && cut < n ? cut : n;
}

void input_reset() {
    std::unique_lock<std::mutex> lk(g_mu);
    wait_sessions_drained(lk);
    g_present = true;
    g_packets.clear();
    g_opens = g_closes = 0;
    g_short_write = 0;
    g_lacks.clear();
}

}  // namespace sim

using namespace sim;

void input_set_present(bool present) {
    std::lock_guard<std::mutex> lk(g_mu);
    g_present = present;
}

std::vector<Packet> input_packets() {
    std::lock_guard<std::mutex> lk(g_mu);
    return g_packets;
}

void input_clear() {
    std::unique_lock<std::mutex> lk(g_mu);
    wait_sessions_drained(lk);
    g_packets.clear();
    g_opens = g_closes = 0;
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
    return g_opens;
}

int input_closes() {
    std::lock_guard<std::mutex> lk(g_mu);
    return g_closes;
}

void input_short_writes(size_t bytes) { g_short_write = bytes; }

void input_panel_lacks(uint16_t type, uint16_t code) {
    std::lock_guard<std::mutex> lk(g_mu);
    g_lacks.emplace_back(type, code);
}

}  // namespace krvtest
