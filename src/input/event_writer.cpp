#define LOG_TAG "nav_core"

#include "input/event_writer.h"

#include "base/log.h"
#include "base/reissue.h"

// The platform's record: 16 bytes on 32-bit targets (32-bit seconds and
// microseconds), 24 where the time fields are 64-bit.
#if !defined(__LP64__)
static_assert(sizeof(struct input_event) == 16, "32-bit targets write 16-byte input records");
#else
static_assert(sizeof(struct input_event) == 24, "64-bit targets write 24-byte input records");
#endif

namespace krv {

void EventWriter::write_record() {
    ssize_t n = reissue_on_eintr([this] { return write(fd, &ev, sizeof ev); });
    if (n < 0) KRV_LOGD("-- %s %s %d", routine, kWriteError, static_cast<int>(n));
}

}  // namespace krv
