// navctl: sends one command to the navigation library's command pipe, or
// tells whether a device is ready for the library.
//
//   navctl [--pipe PATH] [--timeout SECONDS] stop|start|cancel|status
//
// The command goes as one 4-byte write (three letters and a NUL). navctl
// never creates the pipe, refuses anything at the path that is not a FIFO,
// and gives up when no reader opens the pipe within the timeout (0 to
// 86400 s, default 5 s) instead of hanging. "status" prints one line per
// check and exits 0 when everything is ready, 1 otherwise (navctl_status.h);
// it changes nothing and wakes nobody.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "krv_nav.h"
#include "navctl_status.h"
#include "pipe_writer.h"

namespace {

// A day: its milliseconds fit a 32-bit long.
constexpr double kMaxTimeoutS = 86400;

int usage() {
    fprintf(stderr,
            "usage: navctl [--pipe PATH] [--timeout SECONDS] stop|start|cancel|status\n"
            "  --timeout SECONDS  how long to wait for a reader of the pipe: 0 to 86400 (default 5)\n");
    return 2;
}

// A finite number of seconds from 0 to kMaxTimeoutS; NaN, infinities and
// larger values (which overflow the milliseconds) are refused.
bool parse_timeout(const char* text, double* seconds) {
    char* end = nullptr;
    const double value = strtod(text, &end);
    if (end == text || *end != '\0' || !(value >= 0 && value <= kMaxTimeoutS)) return false;
    *seconds = value;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const char* path = KRV_CTL_PIPE;
    double timeout_s = 5;
    const char* word = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--pipe") == 0 && i + 1 < argc) {
            path = argv[++i];
        } else if (strcmp(argv[i], "--timeout") == 0 && i + 1 < argc) {
            if (!parse_timeout(argv[++i], &timeout_s)) {
                fprintf(stderr, "navctl: --timeout takes seconds from 0 to %.0f, not \"%s\"\n", kMaxTimeoutS, argv[i]);
                return usage();
            }
        } else if (!word) {
            word = argv[i];
        } else {
            return usage();
        }
    }
    if (!word) return usage();
    if (strcmp(word, "status") == 0) {
        krvtools::StatusOptions options;
        options.pipe = path;
        return krvtools::print_status(options, stdout) ? 0 : 1;
    }
    const char* command = strcmp(word, "stop") == 0     ? "STP"
                          : strcmp(word, "start") == 0  ? "STT"
                          : strcmp(word, "cancel") == 0 ? "CNL"
                                                        : nullptr;
    if (!command) return usage();

    const krvtools::PipeResult r = krvtools::send_command(path, command, static_cast<long>(timeout_s * 1000));
    switch (r.status) {
        case krvtools::PipeStatus::kSent:
            printf("sent %s\n", command);
            return 0;
        case krvtools::PipeStatus::kMissing:
            fprintf(stderr, "navctl: %s does not exist (is the library running?)\n", path);
            break;
        case krvtools::PipeStatus::kNotFifo:
            fprintf(stderr, "navctl: %s is not a FIFO; nothing sent\n", path);
            break;
        case krvtools::PipeStatus::kNoReader:
            fprintf(stderr, "navctl: no reader opened %s within %.1f s; nothing sent\n", path, timeout_s);
            break;
        case krvtools::PipeStatus::kOpenFailed:
            // NOLINTNEXTLINE(concurrency-mt-unsafe): navctl runs a single thread.
            fprintf(stderr, "navctl: cannot open %s: %s\n", path, strerror(r.error));
            break;
        case krvtools::PipeStatus::kShortWrite:
            fprintf(stderr, "navctl: write to %s failed\n", path);
            break;
    }
    return 1;
}
