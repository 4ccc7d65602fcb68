// A failed check in a fuzz target: print what differs and abort, so that
// libFuzzer keeps the input as a crash.
#pragma once

#include <stdio.h>
#include <stdlib.h>

// A target may define FUZZ_CHECK_HOOK() to print more before the abort.
#define FUZZ_CHECK_HOOK() ((void)0)
#define FUZZ_CHECK(cond, ...)                                                          \
    do {                                                                               \
        if (!(cond)) {                                                                 \
            FUZZ_CHECK_HOOK();                                                         \
            fprintf(stderr, "check failed at %s:%d: %s\n", __FILE__, __LINE__, #cond); \
            fprintf(stderr, __VA_ARGS__);                                              \
            fprintf(stderr, "\n");                                                     \
            abort();                                                                   \
        }                                                                              \
    } while (0)
