// The C layer behind the JNI entry points.
#include "krv_nav.h"

extern "C" int krv_nav_utils_init(void) {
    if (krv_nav_core_init() != 0) return -1;
    if (krv_nav_core_ctl_init() != 0) return -2;
    krv_nav_core_ctl_setSta(1);  // its result does not change init's
    return 0;
}

extern "C" int krv_nav_utils_uinit(void) {
    krv_nav_core_ctl_uinit();
    return krv_nav_core_ctl_setSta(0);
}

extern "C" int krv_nav_utils_getSta(void) { return krv_nav_core_ctl_getSta(); }

extern "C" int krv_nav_utils_setSta(int sta) { return krv_nav_core_ctl_setSta(sta); }
