#define LOG_TAG "nav_core"

#include "input/event_writer.h"

#include <android/log.h>

namespace krv {

void EventWriter::write_record() {
    ssize_t n = write(fd, &ev, sizeof ev);
    if (n < 0) __android_log_print(ANDROID_LOG_DEBUG, LOG_TAG, "-- %s %s %d", routine, kWriteError, static_cast<int>(n));
}

}  // namespace krv
