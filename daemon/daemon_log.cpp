#define LOG_TAG "krv_navd"

#include "daemon_log.h"

#include <stdarg.h>
#include <stdio.h>

#include "base/log.h"

namespace krvd {

namespace {

constexpr size_t kLineSize = 512;

// Formats once, so that arguments such as strerror(errno) are read once,
// and the same text goes to the log and, for an error on a device, to
// stderr.
__attribute__((format(printf, 2, 0))) void report(bool error, const char* format, va_list args) {
    char line[kLineSize];
    (void)vsnprintf(line, sizeof line, format, args);  // a longer line is cut short
    if (!error) {
        KRV_LOGI("%s", line);
        return;
    }
    KRV_LOGE("%s", line);
#ifdef __ANDROID__
    // On a device the log goes to logd only. A host's liblog prints the line
    // on stderr itself, so it is written there once.
    fprintf(stderr, "krv-navd: %s\n", line);
#endif
}

}  // namespace

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, so the compiler checks every call's format.
void report_error(const char* format, ...) {
    va_list args;
    va_start(args, format);
    report(true, format, args);
    va_end(args);
}

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, so the compiler checks every call's format.
void report_info(const char* format, ...) {
    va_list args;
    va_start(args, format);
    report(false, format, args);
    va_end(args);
}

}  // namespace krvd
