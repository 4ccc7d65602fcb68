/* A library that imports a chosen C library function, so that the bionic
 * import check can be shown a library with an import bionic lacks
 * (pthread_cancel), one that needs a later API level (getrandom), and one
 * whose imports carry glibc's own names (__errno_location, __isoc99_sscanf). */
#if defined(KRV_PROBE_CANCEL)
#include <pthread.h>
int krv_probe(void);
int krv_probe(void) { return pthread_cancel(pthread_self()); }
#elif defined(KRV_PROBE_LATER)
#include <sys/random.h>
int krv_probe(void);
int krv_probe(void) {
    char bytes[4];
    return (int)getrandom(bytes, sizeof bytes, 0);
}
#else
#include <errno.h>
#include <stdio.h>
#include <string.h>
int krv_probe(const char* text);
int krv_probe(const char* text) {
    int value = 0;
    if (sscanf(text, "%d", &value) != 1) return errno;
    return value + (int)strlen(text);
}
#endif
