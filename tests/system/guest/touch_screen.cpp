#include "touch_screen.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/uinput.h>
#include <poll.h>
#include <stdio.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "guest_check.h"
#include "krv_nav.h"

namespace krvsys {

const std::vector<int> kKeys = {KEY_LEFT, KEY_RIGHT, KEY_BACK, KEY_HOMEPAGE, BTN_TOUCH};
const std::vector<int> kAxes = {ABS_MT_SLOT, ABS_MT_POSITION_X, ABS_MT_POSITION_Y, ABS_MT_TRACKING_ID};

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

bool destroy_touch_screen(int uinput) {
    char sysname[64] = {};
    if (ioctl(uinput, UI_GET_SYSNAME(sizeof sysname), sysname) < 0) return false;
    const std::string dir = std::string("/sys/devices/virtual/input/") + sysname;
    const bool destroyed = ioctl(uinput, UI_DEV_DESTROY) == 0;
    const bool closed = close(uinput) == 0;
    const bool removed = unlink(KRV_INPUT_NODE) == 0;
    return destroyed && closed && removed && wait_until(5000, [&] { return access(dir.c_str(), F_OK) != 0; });
}

bool Reader::start() {
    gone_ = false;
    fd_ = open(KRV_INPUT_NODE, O_RDONLY | O_CLOEXEC);
    stop_ = eventfd(0, EFD_CLOEXEC);
    if (fd_ < 0 || stop_ < 0) return false;
    return pthread_create(&thread_, nullptr, &Reader::run, this) == 0;
}

void Reader::stop() {
    uint64_t one = 1;
    if (write(stop_, &one, sizeof one) != sizeof one) return;
    pthread_join(thread_, nullptr);
    close(fd_);
    close(stop_);
}

size_t Reader::count() {
    std::lock_guard<std::mutex> g(lock_);
    return seen_.size();
}

std::vector<Seen> Reader::since(size_t from) {
    std::lock_guard<std::mutex> g(lock_);
    return std::vector<Seen>(seen_.begin() + long(std::min(from, seen_.size())), seen_.end());
}

bool Reader::overflowed() {
    std::lock_guard<std::mutex> g(lock_);
    return dropped_;
}

bool Reader::device_gone() {
    std::lock_guard<std::mutex> g(lock_);
    return gone_;
}

void* Reader::run(void* self) {
    static_cast<Reader*>(self)->loop();
    return nullptr;
}

void Reader::loop() {
    struct input_event buf[64];
    for (;;) {
        struct pollfd p[2] = {{fd_, POLLIN, 0}, {stop_, POLLIN, 0}};
        if (poll(p, 2, -1) < 0) continue;  // EINTR: SIGIO landed here
        if (p[1].revents) return;
        ssize_t n = read(fd_, buf, sizeof buf);
        int64_t now = mono_ns();
        if (n < 0 && errno == ENODEV) {  // the device was destroyed: nothing more comes on this descriptor
            std::lock_guard<std::mutex> g(lock_);
            gone_ = true;
            return;
        }
        if (n <= 0) continue;
        std::lock_guard<std::mutex> g(lock_);
        for (size_t i = 0; i < size_t(n) / sizeof buf[0]; ++i) {
            if (buf[i].type == EV_SYN && buf[i].code == SYN_DROPPED) dropped_ = true;
            seen_.push_back({{buf[i].type, buf[i].code, buf[i].value}, now});
        }
    }
}

}  // namespace krvsys
