// System test, run inside the QEMU guest as root: drives the navigation
// library as its host process would, against the kvs508 driver module and
// a uinput touch screen whose evdev node is "/dev/input/event2".
//
// Output (stdout): one line per check, the delivered stream of each
// gesture, the latency figures, and a closing "N passed, N failed" line.
// Exit status 0 only when every check passed.
#include <errno.h>
#include <fcntl.h>
#include <linux/input.h>
#include <linux/uinput.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <android/log.h>

#include "input_core_model.h"
#include "krv_nav.h"

using krvsys::Ev;

namespace {

// ------------------------------------------------------------ reporting

int g_passed = 0, g_failed = 0;

bool check(bool ok, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
bool check(bool ok, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    printf("%s ", ok ? "ok  " : "FAIL");
    vprintf(fmt, ap);
    printf("\n");
    va_end(ap);
    fflush(stdout);
    (ok ? g_passed : g_failed)++;
    return ok;
}

int64_t mono_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void sleep_ms(int ms) {
    // SIGIO may cut a sleep short; sleep out the rest.
    int64_t until = mono_ns() + int64_t(ms) * 1000000;
    for (int64_t now = mono_ns(); now < until; now = mono_ns()) {
        struct timespec ts = {time_t((until - now) / 1000000000), long((until - now) % 1000000000)};
        nanosleep(&ts, nullptr);
    }
}

// Waits up to `ms` for `cond`, checking every 5 ms.
bool wait_until(int ms, const std::function<bool()>& cond) {
    int64_t until = mono_ns() + int64_t(ms) * 1000000;
    for (;;) {
        if (cond()) return true;
        if (mono_ns() > until) return false;
        sleep_ms(5);
    }
}

// ------------------------------------------------------------ the driver

const char* const kSysfs = "/sys/class/misc/kvs508/";

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

// A frame pair with a w x h rectangle of touch pixels (value 100) at
// (col, row) in each frame; all else 255.
struct Blob {
    int col, row, w, h;
};
FramePair make_pair(Blob a, Blob b, uint8_t status = 0) {
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

// The navigation thread waits for a touch with exactly one armed descriptor.
bool nav_armed() {
    return wait_until(5000, [] { return drv("armed") == 1; });
}

// ------------------------------------------------------------ the touch screen

const std::vector<int> kKeys = {KEY_LEFT, KEY_RIGHT, KEY_BACK, KEY_HOMEPAGE, BTN_TOUCH};
const std::vector<int> kAxes = {ABS_MT_SLOT, ABS_MT_POSITION_X, ABS_MT_POSITION_Y, ABS_MT_TRACKING_ID};

// Creates the uinput device and makes its evdev node "/dev/input/event2"
// (by major:minor: the node's number depends on probe order). Returns the
// uinput descriptor, which keeps the device alive.
int create_touch_screen() {
    int fd = open("/dev/uinput", O_RDWR | O_CLOEXEC);
    if (fd < 0) return -1;
    ioctl(fd, UI_SET_EVBIT, EV_KEY);
    ioctl(fd, UI_SET_EVBIT, EV_ABS);
    ioctl(fd, UI_SET_EVBIT, EV_SYN);
    for (int k : kKeys) ioctl(fd, UI_SET_KEYBIT, k);
    ioctl(fd, UI_SET_PROPBIT, INPUT_PROP_DIRECT);
    struct {
        int code, min, max;
    } axes[] = {{ABS_MT_SLOT, 0, krvsys::InputCoreModel::kSlots - 1},
                {ABS_MT_POSITION_X, 0, 1079},
                {ABS_MT_POSITION_Y, 0, 2339},
                {ABS_MT_TRACKING_ID, 0, 65535}};
    for (auto& a : axes) {
        ioctl(fd, UI_SET_ABSBIT, a.code);
        struct uinput_abs_setup s = {};
        s.code = uint16_t(a.code);
        s.absinfo.minimum = a.min;
        s.absinfo.maximum = a.max;
        if (ioctl(fd, UI_ABS_SETUP, &s) != 0) return -1;
    }
    struct uinput_setup setup = {};
    setup.id.bustype = BUS_VIRTUAL;
    setup.id.vendor = 0x4b56;
    setup.id.product = 0x0508;
    snprintf(setup.name, sizeof setup.name, "krv system-test touch screen");
    if (ioctl(fd, UI_DEV_SETUP, &setup) != 0 || ioctl(fd, UI_DEV_CREATE) != 0) return -1;

    char sysname[64] = {};
    if (ioctl(fd, UI_GET_SYSNAME(sizeof sysname), sysname) < 0) return -1;
    // /sys/devices/virtual/input/inputN/eventM/dev holds "major:minor".
    std::string dir = std::string("/sys/devices/virtual/input/") + sysname;
    unsigned maj = 0, min = 0;
    bool found = wait_until(5000, [&] {
        for (int m = 0; m < 64; ++m) {
            std::string dev = dir + "/event" + std::to_string(m) + "/dev";
            FILE* f = fopen(dev.c_str(), "r");
            if (!f) continue;
            int got = fscanf(f, "%u:%u", &maj, &min);
            fclose(f);
            if (got == 2) return true;
        }
        return false;
    });
    if (!found) return -1;
    mkdir("/dev/input", 0755);
    unlink(KRV_INPUT_NODE);
    if (mknod(KRV_INPUT_NODE, S_IFCHR | 0660, makedev(maj, min)) != 0) return -1;
    printf("touch screen %s: evdev %u:%u as %s\n", sysname, maj, min, KRV_INPUT_NODE);
    return fd;
}

// Records everything the input core delivers on the node, with the
// monotonic time at which the reader's read() returned it.
struct Seen {
    Ev ev;
    int64_t seen_ns;
};

class Reader {
  public:
    bool start() {
        fd_ = open(KRV_INPUT_NODE, O_RDONLY | O_CLOEXEC);
        stop_ = eventfd(0, EFD_CLOEXEC);
        if (fd_ < 0 || stop_ < 0) return false;
        return pthread_create(&thread_, nullptr, &Reader::run, this) == 0;
    }
    void stop() {
        uint64_t one = 1;
        if (write(stop_, &one, sizeof one) != sizeof one) return;
        pthread_join(thread_, nullptr);
        close(fd_);
        close(stop_);
    }
    size_t count() {
        std::lock_guard<std::mutex> g(lock_);
        return seen_.size();
    }
    std::vector<Seen> since(size_t from) {
        std::lock_guard<std::mutex> g(lock_);
        return std::vector<Seen>(seen_.begin() + long(std::min(from, seen_.size())), seen_.end());
    }
    bool overflowed() {
        std::lock_guard<std::mutex> g(lock_);
        return dropped_;
    }

  private:
    static void* run(void* self) {
        static_cast<Reader*>(self)->loop();
        return nullptr;
    }
    void loop() {
        struct input_event buf[64];
        for (;;) {
            struct pollfd p[2] = {{fd_, POLLIN, 0}, {stop_, POLLIN, 0}};
            if (poll(p, 2, -1) < 0) continue;  // EINTR: SIGIO landed here
            if (p[1].revents) return;
            ssize_t n = read(fd_, buf, sizeof buf);
            int64_t now = mono_ns();
            if (n <= 0) continue;
            std::lock_guard<std::mutex> g(lock_);
            for (size_t i = 0; i < size_t(n) / sizeof buf[0]; ++i) {
                if (buf[i].type == EV_SYN && buf[i].code == SYN_DROPPED) dropped_ = true;
                seen_.push_back({{buf[i].type, buf[i].code, buf[i].value}, now});
            }
        }
    }
    int fd_ = -1, stop_ = -1;
    pthread_t thread_{};
    std::mutex lock_;
    std::vector<Seen> seen_;
    bool dropped_ = false;
};

// ------------------------------------------------------------ what the library writes

std::vector<Ev> key_script(int key) {
    return {{EV_KEY, uint16_t(key), 1}, {EV_SYN, SYN_REPORT, 0}, {EV_KEY, uint16_t(key), 0}, {EV_SYN, SYN_REPORT, 0}};
}

// The vertical swipe along X 360: "down" runs Y 0 to 608, "up" 608 to 0.
std::vector<Ev> swipe_y(bool down) {
    auto y = [down](int i) { return down ? 32 * i : 608 - 32 * i; };
    std::vector<Ev> s = {{EV_ABS, ABS_MT_TRACKING_ID, 154},
                         {EV_ABS, ABS_MT_POSITION_X, 360},
                         {EV_ABS, ABS_MT_POSITION_Y, y(0)},
                         {EV_KEY, BTN_TOUCH, 1},
                         {EV_SYN, SYN_REPORT, 0}};
    for (int i = 0; i < 20; ++i) {
        s.push_back({EV_ABS, ABS_MT_POSITION_X, 360});
        s.push_back({EV_ABS, ABS_MT_POSITION_Y, y(i)});
        s.push_back({EV_SYN, SYN_REPORT, 0});
    }
    s.push_back({EV_ABS, ABS_MT_TRACKING_ID, -1});
    s.push_back({EV_KEY, BTN_TOUCH, 0});
    s.push_back({EV_SYN, SYN_REPORT, 0});
    return s;
}

std::string name_of(const Ev& e) {
    switch (e.type) {
        case EV_SYN:
            return e.code == SYN_REPORT ? "SYN_REPORT" : "SYN_" + std::to_string(e.code);
        case EV_KEY:
            switch (e.code) {
                case KEY_LEFT:
                    return "KEY_LEFT";
                case KEY_RIGHT:
                    return "KEY_RIGHT";
                case KEY_BACK:
                    return "KEY_BACK";
                case KEY_HOMEPAGE:
                    return "KEY_HOMEPAGE";
                case BTN_TOUCH:
                    return "BTN_TOUCH";
            }
            return "KEY_" + std::to_string(e.code);
        case EV_ABS:
            switch (e.code) {
                case ABS_MT_SLOT:
                    return "ABS_MT_SLOT";
                case ABS_MT_POSITION_X:
                    return "ABS_MT_POSITION_X";
                case ABS_MT_POSITION_Y:
                    return "ABS_MT_POSITION_Y";
                case ABS_MT_TRACKING_ID:
                    return "ABS_MT_TRACKING_ID";
            }
            return "ABS_" + std::to_string(e.code);
    }
    return "type" + std::to_string(e.type) + "/" + std::to_string(e.code);
}

// One packet per line: "ABS_MT_POSITION_Y 576, SYN_REPORT".
void print_stream(const char* label, const std::vector<Ev>& evs) {
    printf("stream %s (%zu records):\n", label, evs.size());
    std::string line;
    for (const Ev& e : evs) {
        if (!line.empty()) line += ", ";
        line += name_of(e);
        if (!(e.type == EV_SYN)) line += " " + std::to_string(e.value);
        if (e.type == EV_SYN) {
            printf("  %s\n", line.c_str());
            line.clear();
        }
    }
    if (!line.empty()) printf("  %s\n", line.c_str());
}

const char* const kDropNames[] = {"repeated ABS value", "key state unchanged", "empty report", "slot staged",
                                  "undeclared code"};

struct Checker {
    Reader& reader;
    krvsys::InputCoreModel& model;
    std::vector<double> latencies_ms, fetch_ms;

    // Waits for the records the model says readers get for `written`,
    // then a little longer to see that nothing more comes.
    bool expect_stream(const char* label, size_t from, const std::vector<Ev>& written) {
        std::vector<Ev> want = model.feed(written);
        std::vector<int> drops = model.take_drops();
        wait_until(10000, [&] { return reader.count() >= from + want.size(); });
        sleep_ms(300);
        std::vector<Seen> seen = reader.since(from);
        std::vector<Ev> got;
        for (auto& s : seen) got.push_back(s.ev);
        print_stream(label, got);
        std::string why;
        for (int r = 0; r < krvsys::kDropReasons; ++r)
            if (drops[size_t(r)])
                why += std::string(why.empty() ? "" : ", ") + std::to_string(drops[size_t(r)]) + " " + kDropNames[r];
        printf("  written %zu, delivered as the input core documents %zu; dropped: %s\n", written.size(), want.size(),
               why.empty() ? "none" : why.c_str());
        bool same = got == want;
        if (!same) {
            size_t i = 0;
            while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
            printf("  first difference at record %zu: got %s, want %s\n", i,
                   i < got.size() ? (name_of(got[i]) + " " + std::to_string(got[i].value)).c_str() : "nothing",
                   i < want.size() ? (name_of(want[i]) + " " + std::to_string(want[i].value)).c_str() : "nothing");
        }
        return check(same, "%s: delivered stream (%zu records) matches the input core's rules (%zu expected)", label,
                     got.size(), want.size());
    }

    // One touch on the sensor: the navigation thread fetches the pair,
    // classifies it, injects and waits again.
    void gesture(const char* label, const FramePair& pair, int delay_ms, const std::vector<Ev>& written) {
        check(set_pair(pair, delay_ms), "%s: frame pair and delay %d ms set in the driver", label, delay_ms);
        if (!check(nav_armed(), "%s: navigation thread armed for a touch", label)) return;
        long long requests = drv("frame_requests"), arms = drv("arms"), touches = drv("touches");
        size_t from = reader.count();
        touch();
        bool rearmed = wait_until(10000, [&] { return drv("arms") > arms && drv("armed") == 1; });
        if (!check(rearmed, "%s: thread waits again after the pass", label)) return;
        check(drv("touches") == touches + 1 && drv("frame_requests") == requests + 1,
              "%s: driver saw one touch and served one frame request (requests %lld -> %lld)", label, requests,
              drv("frame_requests"));
        expect_stream(label, from, written);
        std::vector<Seen> seen = reader.since(from);
        if (!seen.empty()) {
            long long t = drv("touch_ns");
            double first = double(seen[0].seen_ns - t) / 1e6, fetch = double(drv("fetch_ns") - t) / 1e6;
            printf("  kill_fasync -> first record read: %.2f ms (-> frame request: %.2f ms)%s\n", first, fetch,
                   delay_ms ? ", frame-request delay included" : "");
            // Touches with a frame-request delay would only measure the delay.
            if (delay_ms == 0) {
                latencies_ms.push_back(first);
                fetch_ms.push_back(fetch);
            }
        }
    }
};

// ------------------------------------------------------------ command pipe

// Writes a 4-byte command ("STP" and its NUL) into the library's FIFO once
// its control thread has the pipe open for reading (bounded wait).
bool send_command(const char* cmd) {
    int fd = -1;
    wait_until(10000, [&] {
        fd = open(KRV_CTL_PIPE, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        return fd >= 0;
    });
    if (fd < 0) return false;
    ssize_t n = write(fd, cmd, strlen(cmd) + 1);
    close(fd);
    return n == ssize_t(strlen(cmd) + 1);
}

int32_t nav_state() { return __atomic_load_n(&gFingerprintVarNav.state, __ATOMIC_SEQ_CST); }
bool nav_thread() { return __atomic_load_n(&gFingerprintVarNav.thread, __ATOMIC_SEQ_CST) != 0; }
bool ctl_thread() { return __atomic_load_n(&gFingerprintVarNavCtl.thread, __ATOMIC_SEQ_CST) != 0; }

// ------------------------------------------------------------ fasync arming

// In a child process (the library's handler is not installed there):
// O_ASYNC given to open() arms nothing, while F_SETFL arms the descriptor.
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

double median(std::vector<double> v) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int main() {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // The host process keeps the library's debug lines (stderr, kept in a
    // file by the guest's init for a failure report).
    __android_log_set_minimum_priority(ANDROID_LOG_DEBUG);
    printf("system test: navigation library against kvs508 and a uinput touch screen\n");
    if (!check(access(KRV_SENSOR_NODE, R_OK | W_OK) == 0 && drv("touches") == 0, "driver node %s and its counters",
               KRV_SENSOR_NODE))
        return 1;
    int uinput = create_touch_screen();
    if (!check(uinput >= 0, "uinput touch screen created as %s", KRV_INPUT_NODE)) return 1;
    Reader reader;
    if (!check(reader.start(), "reader on %s", KRV_INPUT_NODE)) return 1;

    fasync_arming();

    krvsys::InputCoreModel model(kKeys, kAxes);
    Checker ck{reader, model, {}, {}};

    // ---- set-up through the JNI entry points, as the Java host calls them
    check(Java_com_korrivan_navigation_NavCtrlJni_init(nullptr, nullptr) == 0, "init returns 0");
    check(Java_com_korrivan_navigation_NavCtrlJni_getSta(nullptr, nullptr) == 1, "getSta reads enabled after init");
    check(nav_armed(), "navigation thread armed one descriptor for SIGIO");
    check(wait_until(10000, [] { return access(KRV_CTL_PIPE, F_OK) == 0; }), "control thread created the pipe");
    struct stat st = {};
    bool stat_ok = stat(KRV_CTL_PIPE, &st) == 0;
    check(stat_ok && S_ISFIFO(st.st_mode) && (st.st_mode & 0777) == 0666,
          "pipe is a FIFO of mode 0666 (mode %o, umask 022)", unsigned(st.st_mode & 0777));

    // ---- one touch per gesture
    const Blob still{20, 50, 20, 20};
    ck.gesture("swipe up", make_pair({20, 10, 20, 20}, {20, 60, 20, 20}), 0, swipe_y(false));
    ck.gesture("swipe down", make_pair({20, 60, 20, 20}, {20, 10, 20, 20}), 0, swipe_y(true));
    ck.gesture("tap", make_pair(still, still), 250, key_script(KEY_BACK));
    ck.gesture("driver-flagged", make_pair(still, still, 1), 0, key_script(KEY_HOMEPAGE));
    ck.gesture("too small", make_pair({20, 50, 10, 10}, {20, 50, 10, 10}), 0, {});

    // ---- pause, resume and end through the real FIFO
    check(set_pair(make_pair(still, still, 1), 0), "pipe: driver-flagged pair set");
    nav_armed();
    check(send_command("STP"), "pipe: \"STP\" written");
    check(wait_until(5000, [] { return nav_state() == STATE_STOP; }), "pipe: navigation state is stop");
    {
        long long requests = drv("frame_requests");
        size_t from = reader.count();
        touch();
        check(wait_until(5000, [] { return drv("armed") == 0; }), "pipe: the touch after STP ends the wait");
        sleep_ms(500);
        check(drv("frame_requests") == requests && reader.count() == from && drv("armed") == 0,
              "pipe: that touch is not classified and the thread stays paused");
    }
    {
        int64_t t0 = mono_ns();
        check(send_command("STT"), "pipe: \"STT\" written");
        bool armed = wait_until(10000, [] { return drv("armed") == 1; });
        double s = double(mono_ns() - t0) / 1e9;
        check(armed && s >= 0.95, "pipe: navigation resumes after the 1 s pause (%.2f s)", s);
    }
    ck.gesture("driver-flagged after STT", make_pair(still, still, 1), 0, key_script(KEY_HOMEPAGE));

    // ---- on-demand swipes on the host's thread
    {
        size_t from = reader.count();
        check(Java_com_korrivan_navigation_NavCtrlJni_simulateX(nullptr, nullptr) == 0, "simulateX returns 0");
        ck.expect_stream("simulateX (down)", from, swipe_y(true));
        from = reader.count();
        check(Java_com_korrivan_navigation_NavCtrlJni_simulateY(nullptr, nullptr) == 0, "simulateY returns 0");
        ck.expect_stream("simulateY (up)", from, swipe_y(false));
    }

    // ---- key values handed to the driver
    struct {
        int key, byte;
    } keys[] = {{428, 172}, {158, 158}, {-1, 255}};
    for (auto& k : keys) {
        long long before = drv("key_reports");
        krv_nav_reportKey(k.key);
        check(drv("key_reports") == before + 1 && drv("last_key") == k.byte,
              "krv_nav_reportKey(%d) hands the driver the byte %d (got %lld)", k.key, k.byte, drv("last_key"));
    }

    // ---- "CNL" through the pipe ends both threads
    check(send_command("CNL"), "pipe: \"CNL\" written");
    check(wait_until(10000, [] { return !nav_thread() && !ctl_thread(); }), "pipe: both threads ended after CNL");
    check(wait_until(5000, [] { return drv("armed") == 0; }), "pipe: no descriptor armed after CNL");
    {
        long long requests = drv("frame_requests");
        touch();
        sleep_ms(300);
        check(drv("frame_requests") == requests, "a touch with no navigation thread is not served");
    }

    // ---- init again, then uinit ends everything through the library's own CNL
    check(Java_com_korrivan_navigation_NavCtrlJni_init(nullptr, nullptr) == 0, "second init returns 0");
    check(nav_armed() && wait_until(5000, [] { return ctl_thread(); }), "second init: both threads run");
    ck.gesture("tap after re-init", make_pair(still, still), 250, key_script(KEY_BACK));
    check(Java_com_korrivan_navigation_NavCtrlJni_uinit(nullptr, nullptr) == 0, "uinit returns 0");
    check(Java_com_korrivan_navigation_NavCtrlJni_getSta(nullptr, nullptr) == 0, "getSta reads disabled after uinit");
    check(wait_until(10000, [] { return !nav_thread() && !ctl_thread(); }), "uinit: both threads ended");
    check(wait_until(5000, [] { return drv("armed") == 0 && drv("opens") == 0; }),
          "uinit: no sensor descriptor left open");
    check(!reader.overflowed(), "reader never saw SYN_DROPPED");

    printf(
        "latency kill_fasync -> first record read (under TCG emulation): median %.2f ms over %zu touches without a "
        "frame-request delay;"
        " kill_fasync -> frame request: median %.2f ms\n",
        median(ck.latencies_ms), ck.latencies_ms.size(), median(ck.fetch_ms));
    reader.stop();
    ioctl(uinput, UI_DEV_DESTROY);
    close(uinput);
    printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
