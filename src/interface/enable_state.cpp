// The persisted enable state: stored and reported, never obeyed.
#define LOG_TAG "nav_core"

#include <cutils/properties.h>
#include <string.h>

#include "base/enable_property.h"
#include "base/log.h"
#include "krv_nav.h"

namespace {
using krv::kEnableProperty;
constexpr int kValueBuffer = 100;
}  // namespace

extern "C" int krv_nav_core_ctl_getSta(void) {
    char value[kValueBuffer];
    memset(value, 0, sizeof value);
    KRV_LOGD("++ %s", __func__);
    int ret = property_get(kEnableProperty, value, nullptr);
    KRV_LOGD("ret = %d, persist.korrivan.nav %s", ret, value);
    // Prefix comparisons: "enabled" counts as enabled, "disabled" as disabled.
    int state = -1;
    if (strncmp(value, "enable", 6) == 0)
        state = 1;
    else if (strncmp(value, "disable", 7) == 0)
        state = 0;
    KRV_LOGD("%s : %s, ret = %d", __func__, value, state);
    KRV_LOGD("--%s", __func__);
    return state;
}

extern "C" int krv_nav_core_ctl_setSta(int sta) {
    KRV_LOGD("++ %s", __func__);
    int ret = property_set(kEnableProperty, sta ? "enable" : "disable");
    KRV_LOGD("%s : %d, ret = %d", __func__, sta, ret);
    KRV_LOGD("--%s", __func__);
    return ret;
}
