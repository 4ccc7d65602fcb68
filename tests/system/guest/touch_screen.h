// The touch screen the library writes to: a uinput device whose evdev node
// is made "/dev/input/event2", and a reader of everything the input core
// delivers on it.
#pragma once

#include <pthread.h>
#include <stdint.h>

#include <mutex>
#include <vector>

#include "input_core_model.h"

namespace krvsys {

// The keys and axes the device declares (those the library writes).
extern const std::vector<int> kKeys;
extern const std::vector<int> kAxes;

// Creates the uinput device and makes its evdev node "/dev/input/event2"
// (by major:minor: the node's number depends on probe order). Returns the
// uinput descriptor, which keeps the device alive.
int create_touch_screen();

// Takes the device away as a panel's firmware reload does: the uinput
// device is destroyed and closed, and its node "/dev/input/event2" removed
// as ueventd removes it. True once the evdev device is gone from sysfs.
bool destroy_touch_screen(int uinput);

// Records everything the input core delivers on the node, with the
// monotonic time at which the reader's read() returned it. When the device
// goes away its thread ends; start() again reads the node anew, and the
// records keep counting on.
struct Seen {
    Ev ev;
    int64_t seen_ns;
};

class Reader {
  public:
    bool start();
    void stop();
    size_t count();
    std::vector<Seen> since(size_t from);
    bool overflowed();
    // The device this reader had open was destroyed (its read failed with ENODEV).
    bool device_gone();

  private:
    static void* run(void* self);
    void loop();
    int fd_ = -1, stop_ = -1;
    pthread_t thread_{};
    std::mutex lock_;
    std::vector<Seen> seen_;
    bool dropped_ = false, gone_ = false;
};

}  // namespace krvsys
