// The Android log under the including file's LOG_TAG, which it defines
// before this header. Every line keeps its exact text, tag and priority:
// hosts and people grep for them.
//
//   KRV_LOGD("++ %s", __func__);   debug (3)
//   KRV_LOGI("both workers ended"); info (4)
//   KRV_LOGE("Open fifo file error\n"); error (6)
//
// The format is checked against the arguments at compile time: the
// declaration below carries printf's format attribute whatever the log
// header in use says, and the macros pass the format straight through (no
// helper in between that would hide a non-literal format).
#pragma once

#include <android/log.h>

#ifndef LOG_TAG
#error "define LOG_TAG before including base/log.h"
#endif

// NOLINTNEXTLINE(readability-redundant-declaration): the check must not depend on the log header.
extern "C" int __android_log_print(int prio, const char* tag, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));

#define KRV_LOGD(...) __android_log_print(ANDROID_LOG_DEBUG, LOG_TAG, __VA_ARGS__)
#define KRV_LOGI(...) __android_log_print(ANDROID_LOG_INFO, LOG_TAG, __VA_ARGS__)
#define KRV_LOGE(...) __android_log_print(ANDROID_LOG_ERROR, LOG_TAG, __VA_ARGS__)
