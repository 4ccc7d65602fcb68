// The platform log's entry point, for the binaries that define their own
// (the log capture, the benchmarks' sink, the lost-wake test's hook): their
// definition takes precedence over liblog's for the library too.
#pragma once

extern "C" int __android_log_print(int prio, const char* tag, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
