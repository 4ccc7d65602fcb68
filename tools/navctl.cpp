// navctl: sends one command to the navigation library's command pipe.
//
//   navctl [--pipe PATH] [--timeout SECONDS] stop|start|cancel
//
// The command goes as one 4-byte write (three letters and a NUL). navctl
// never creates the pipe, refuses anything at the path that is not a FIFO,
// and gives up when no reader opens the pipe within the timeout (default
// 5 s) instead of hanging.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr const char* kDefaultPipe = "/data/system/users/0/fpdata//navCtrlPipe";

int usage() {
    fprintf(stderr, "usage: navctl [--pipe PATH] [--timeout SECONDS] stop|start|cancel\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const char* path = kDefaultPipe;
    double timeout_s = 5;
    const char* word = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--pipe") == 0 && i + 1 < argc) {
            path = argv[++i];
        } else if (strcmp(argv[i], "--timeout") == 0 && i + 1 < argc) {
            char* end;
            timeout_s = strtod(argv[++i], &end);
            if (*end || timeout_s < 0) return usage();
        } else if (!word) {
            word = argv[i];
        } else {
            return usage();
        }
    }
    if (!word) return usage();
    const char* command = strcmp(word, "stop") == 0     ? "STP"
                          : strcmp(word, "start") == 0  ? "STT"
                          : strcmp(word, "cancel") == 0 ? "CNL"
                                                        : nullptr;
    if (!command) return usage();

    struct stat st;
    if (lstat(path, &st) != 0) {
        fprintf(stderr, "navctl: %s does not exist (is the library running?)\n", path);
        return 1;
    }
    if (!S_ISFIFO(st.st_mode)) {
        fprintf(stderr, "navctl: %s is not a FIFO; nothing sent\n", path);
        return 1;
    }
    // A non-blocking open fails with ENXIO while no reader has the pipe.
    struct timespec t0, now;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    int fd;
    for (;;) {
        fd = open(path, O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0 || errno != ENXIO) break;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (static_cast<double>(now.tv_sec - t0.tv_sec) + static_cast<double>(now.tv_nsec - t0.tv_nsec) / 1e9 >=
            timeout_s) {
            fprintf(stderr, "navctl: no reader opened %s within %.1f s; nothing sent\n", path, timeout_s);
            return 1;
        }
        usleep(10000);
    }
    if (fd < 0) {
        // NOLINTNEXTLINE(concurrency-mt-unsafe): navctl runs a single thread.
        fprintf(stderr, "navctl: cannot open %s: %s\n", path, strerror(errno));
        return 1;
    }
    char msg[4] = {command[0], command[1], command[2], '\0'};
    ssize_t n = write(fd, msg, sizeof msg);
    close(fd);
    if (n != static_cast<ssize_t>(sizeof msg)) {
        fprintf(stderr, "navctl: write to %s failed\n", path);
        return 1;
    }
    printf("sent %s\n", command);
    return 0;
}
