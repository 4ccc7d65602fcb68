// Steering the simulated hardware of a host that preloads it (krv-navd)
// from a test outside the process. With KRV_SIM_CONTROL naming a path, a
// thread of the simulated hardware (every signal blocked, so SIGIO and the
// host's stop signals never land on it; under ThreadSanitizer SIGIO
// excepted, see start_control) serves a Unix stream socket there;
// the socket is removed at exit. One command per connection, one reply
// line:
//   "touch up|down|tap|flagged"  waits up to 20 s for an armed sensor
//                                descriptor, sets the frame pair of that
//                                gesture (tap: a 150 ms frame request, so
//                                the pass lasts between 121 and 499 ms)
//                                and touches: "touched N", or "not armed"
//   "counts"                     "armed A open O frames F"
//   "state"                      the library's control blocks as its
//                                threads see them: "nav STATE RUNNING ctl
//                                STATE RUNNING" (RUNNING 1 while the thread
//                                lives), or "no library"
// Part of the preloadable library only, never of a test binary.
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "base/shared_word.h"
#include "simhw/internal.h"

namespace krvtest::sim {

namespace {

#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif
#else
constexpr bool kThreadSanitizer = false;
#endif

constexpr long kArmWaitMs = 20000;
constexpr int kTapDelayMs = 150;

char g_path[sizeof(sockaddr_un::sun_path)];  // the socket, once made

std::string touch_gesture(const std::string& name) {
    const Blob still{20, 50, 20, 20};
    FramePair pair;
    int delay_ms = 0;
    if (name == "up") {
        pair = make_pair({20, 10, 20, 20}, {20, 60, 20, 20});
    } else if (name == "down") {
        pair = make_pair({20, 60, 20, 20}, {20, 10, 20, 20});
    } else if (name == "tap") {
        pair = make_pair(still, still);
        delay_ms = kTapDelayMs;
    } else if (name == "flagged") {
        pair = make_pair(still, still, 1);
    } else {
        return "unknown gesture";
    }
    // The navigation thread arms its descriptor before every touch wait; a
    // touch before that would raise no SIGIO.
    if (!sensor_wait_armed(kArmWaitMs)) return "not armed";
    sensor_set_frames(pair);
    sensor_set_fetch_delay_ms(delay_ms);
    return "touched " + std::to_string(touch());
}

// The exported control blocks of the library loaded in this process.
std::string library_state() {
    auto* nav = static_cast<ThreadControlBlock*>(dlsym(RTLD_DEFAULT, "gFingerprintVarNav"));
    auto* ctl = static_cast<ThreadControlBlock*>(dlsym(RTLD_DEFAULT, "gFingerprintVarNavCtl"));
    if (nav == nullptr || ctl == nullptr) return "no library";
    auto part = [](const char* name, ThreadControlBlock* b) {
        const int state = krv::atomic_load(b->state);
        const bool running = krv::atomic_load(b->thread) != pthread_t{};
        return std::string(name) + " " + std::to_string(state) + " " + (running ? "1" : "0");
    };
    return part("nav", nav) + " " + part("ctl", ctl);
}

std::string answer(const std::string& command) {
    if (command.rfind("touch ", 0) == 0) return touch_gesture(command.substr(6));
    if (command == "counts")
        return "armed " + std::to_string(sensor_armed_count()) + " open " + std::to_string(sensor_open_count()) +
               " frames " + std::to_string(sensor_frame_requests());
    if (command == "state") return library_state();
    return "unknown command";
}

void serve_one(int conn) {
    char buf[128];
    size_t len = 0;
    while (len < sizeof buf - 1) {
        const ssize_t n = read(conn, buf + len, sizeof buf - 1 - len);
        if (n <= 0) break;
        len += static_cast<size_t>(n);
        if (memchr(buf, '\n', len) != nullptr) break;
    }
    buf[len] = '\0';
    buf[strcspn(buf, "\n")] = '\0';
    const std::string reply = answer(buf) + "\n";
    (void)!write(conn, reply.data(), reply.size());
    real_close(conn);
}

void* serve(void* listener) {
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(listener));
    for (;;) {
        const int conn = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn >= 0) serve_one(conn);
    }
    return nullptr;
}

void remove_socket() { unlink(g_path); }

// Started as the host loads the simulated hardware, before its main runs
// (and before this file's own dynamic initialisers, which is why the
// environment is read here).
__attribute__((constructor)) void start_control() {
    const char* path = getenv("KRV_SIM_CONTROL");
    if (path == nullptr) return;
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof addr.sun_path) {
        fprintf(stderr, "simulated hardware: KRV_SIM_CONTROL path too long: %s\n", path);
        abort();
    }
    strcpy(addr.sun_path, path);
    strcpy(g_path, path);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 4) != 0) {
        perror("simulated hardware: control socket");
        abort();
    }
    atexit(remove_socket);
    sigset_t all, old;
    sigfillset(&all);
    // ThreadSanitizer holds a signal back while the thread it lands on is
    // outside the calls the runtime intercepts, until that thread makes
    // one. The navigation thread sleeps in a bare futex system call, so a
    // SIGIO the kernel hands to it would never run the library's handler
    // (the host's main thread blocks SIGIO). This thread waits in accept4,
    // where the runtime runs a handler at once, and comes before the
    // library's threads in the kernel's choice, so under ThreadSanitizer it
    // takes SIGIO for them.
    if (kThreadSanitizer) sigdelset(&all, SIGIO);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_t t;
    const int rc = pthread_create(&t, nullptr, serve, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (rc != 0) {
        fprintf(stderr, "simulated hardware: no control thread: %s\n", strerror(rc));
        abort();
    }
    pthread_detach(t);
}

}  // namespace

}  // namespace krvtest::sim
