// Log lines of krv-navd, under its own tag "krv_navd" (through the
// library's log header, base/log.h).
#pragma once

namespace krvd {

// One error line in the Android log and on stderr.
void report_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
// One line in the Android log at info priority.
void report_info(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace krvd
