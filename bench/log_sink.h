// The platform log as the benchmarks see it: every line is formatted into
// a stack buffer (the least work any logger does) and dropped. A watch
// records when a line with a given format is first logged after arming.
#pragma once

#include <stdint.h>

namespace krvbench {

// false: lines are dropped without being formatted.
void log_set_formatting(bool on);

// Records the CLOCK_MONOTONIC time (ns) of the next log call whose format
// string equals `format` (a literal that outlives the watch).
void log_watch(const char* format);
// 0 until the watched line was logged.
int64_t log_watch_time_ns();

int64_t now_ns(int clock);

}  // namespace krvbench
