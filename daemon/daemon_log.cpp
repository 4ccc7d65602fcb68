#define LOG_TAG "krv_navd"

#include "daemon_log.h"

#include <android/log.h>
#include <stdarg.h>
#include <stdio.h>

namespace krvd {

namespace {
constexpr size_t kLineSize = 512;
}  // namespace

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, so the compiler checks every call's format.
void report_error(const char* format, ...) {
    char line[kLineSize];
    va_list args;
    va_start(args, format);
    (void)vsnprintf(line, sizeof line, format, args);  // a longer line is cut short
    va_end(args);
    __android_log_print(ANDROID_LOG_ERROR, LOG_TAG, "%s", line);
#ifdef __ANDROID__
    // On a device the log goes to logd only. A host's liblog prints the line
    // on stderr itself, so it is written there once.
    fprintf(stderr, "krv-navd: %s\n", line);
#endif
}

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, so the compiler checks every call's format.
void report_info(const char* format, ...) {
    char line[kLineSize];
    va_list args;
    va_start(args, format);
    (void)vsnprintf(line, sizeof line, format, args);  // a longer line is cut short
    va_end(args);
    __android_log_print(ANDROID_LOG_INFO, LOG_TAG, "%s", line);
}

}  // namespace krvd
