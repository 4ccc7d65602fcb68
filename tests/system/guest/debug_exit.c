/* Ends the QEMU guest with a verdict, so that QEMU exits with status
 * (value << 1) | 1: 0 gives 1 (pass) and anything else an odd status of 3
 * or more (fail). A guest that powers off or panics instead ends QEMU with
 * another status, never 1.
 *   x86-64: the isa-debug-exit device at port 0xf4, which exits with that
 *           status by itself;
 *   arm64:  semihosting's SYS_EXIT (QEMU's -semihosting-config with
 *           userspace=on lets a process make the call), with that status.
 *   debug-exit VALUE
 * Linked statically so that it works when nothing else in the guest does. */
#include <stdio.h>
#include <stdlib.h>
#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#endif

#if defined(__aarch64__)
/* SYS_EXIT's parameter block: the reason, then the exit status. */
static void semihosting_exit(long status) {
    long block[2] = {0x20026 /* ADP_Stopped_ApplicationExit */, status};
    register long op __asm__("x0") = 0x18; /* SYS_EXIT */
    register long arg __asm__("x1") = (long)block;
    __asm__ volatile("hlt #0xf000" : "+r"(op) : "r"(arg) : "memory");
}
#endif

int main(int argc, char** argv) {
    int value = argc > 1 ? atoi(argv[1]) : 1;
#if defined(__aarch64__)
    semihosting_exit(((long)(value & 0x7f) << 1) | 1);
    fprintf(stderr, "debug-exit: semihosting is not enabled\n");
#else
    if (ioperm(0xf4, 4, 1) != 0) {
        perror("ioperm");
        return 1;
    }
    outb((unsigned char)value, 0xf4);
#endif
    return 1; /* only reached without the device */
}
