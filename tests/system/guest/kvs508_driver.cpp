#include "kvs508_driver.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "guest_check.h"

namespace krvsys {

namespace {
const char* const kSysfs = "/sys/class/misc/kvs508/";
}  // namespace

long long drv(const char* attr) {
    std::string path = std::string(kSysfs) + attr;
    char buf[64] = {};
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return -1;
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    return n > 0 ? atoll(buf) : -1;
}

bool drv_set(const char* attr, const char* value) {
    std::string path = std::string(kSysfs) + attr;
    int fd = open(path.c_str(), O_WRONLY);
    if (fd < 0) return false;
    ssize_t n = write(fd, value, strlen(value));
    close(fd);
    return n == ssize_t(strlen(value));
}

void touch() { drv_set("touch", "1"); }

bool set_pair(const FramePair& pair, int delay_ms) {
    int fd = open(KRV_SENSOR_NODE, O_RDWR);
    if (fd < 0) return false;
    ssize_t n = write(fd, &pair, sizeof pair);
    close(fd);
    return n == ssize_t(sizeof pair) && drv_set("delay_ms", std::to_string(delay_ms).c_str());
}

FramePair make_pair(Blob a, Blob b, uint8_t status) {
    FramePair p;
    memset(&p, 255, sizeof p);
    auto paint = [](uint8_t* f, Blob r) {
        for (int y = r.row; y < r.row + r.h; ++y)
            for (int x = r.col; x < r.col + r.w; ++x) f[y * KRV_FRAME_COLS + x] = 100;
    };
    paint(p.frame0, a);
    paint(p.frame1, b);
    p.status = status;
    return p;
}

bool nav_armed() {
    return wait_until(5000, [] { return drv("armed") == 1; });
}

void fasync_arming() {
    struct Case {
        const char* name;
        int open_flags;
        bool setfl;
        bool want_armed;
    } cases[] = {
        {"O_ASYNC at open()", O_RDWR | O_ASYNC, false, false},
        {"O_ASYNC at open(), then F_SETFL adding O_ASYNC", O_RDWR | O_ASYNC, true, false},
        {"F_SETFL adding O_ASYNC (the library's way)", O_RDWR, true, true},
    };
    for (const Case& c : cases) {
        pid_t pid = fork();
        if (pid == 0) {
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, SIGIO);
            sigprocmask(SIG_BLOCK, &set, nullptr);
            int fd = open(KRV_SENSOR_NODE, c.open_flags);
            if (fd < 0) _exit(10);
            fcntl(fd, F_SETOWN, getpid());
            if (c.setfl) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_ASYNC);
            long long armed = drv("armed");
            touch();
            struct timespec limit = {0, 300 * 1000000};
            bool signalled = sigtimedwait(&set, nullptr, &limit) == SIGIO;
            close(fd);
            _exit((armed == 1 ? 1 : 0) | (signalled ? 2 : 0));
        }
        int status = 0;
        waitpid(pid, &status, 0);
        int got = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        int want = c.want_armed ? 3 : 0;
        check(got == want, "fasync: %s -> %s (armed %d, SIGIO %s)", c.name, c.want_armed ? "armed" : "not armed",
              got >= 0 ? got & 1 : -1, got >= 0 && (got & 2) ? "raised" : "none");
    }
    check(drv("armed") == 0, "fasync: closing removed every descriptor from the notification list");
}

}  // namespace krvsys
