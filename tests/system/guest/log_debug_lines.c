/* Preloaded into krv-navd in the system-test guest: Debian's liblog hides
 * debug lines unless the process lowers its minimum priority, while a
 * device's logd keeps them, and the library writes its failed writes to
 * the input node at debug priority. Resolved from the liblog the process
 * loads; the runner builds it for each build in the guest.
 *   LD_PRELOAD=libkrv_log_debug.so krv-navd ... */
#include <android/log.h>

__attribute__((constructor)) static void show_debug_lines(void) {
    __android_log_set_minimum_priority(ANDROID_LOG_DEBUG);
}
