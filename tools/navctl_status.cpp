#include "navctl_status.h"

#include <cutils/properties.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/input.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/enable_property.h"
#include "base/fifo_io.h"
#include "support/record_streams.h"

namespace krvtools {

namespace {

using krv::kEnableProperty;
constexpr size_t kNameSize = 256;
constexpr int kWordBits = 8 * sizeof(unsigned long);
constexpr size_t kReadersShown = 4;

// kNeedsRoot: permissions kept this user from looking ("unknown (needs
// root)"); kUnknown: something else did.
enum class Verdict { kReady, kNotReady, kUnknown, kNeedsRoot };

struct Result {
    Verdict verdict;
    std::string detail;
};

std::string error_text(int err) {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): navctl runs a single thread.
    return strerror(err);
}

bool is_permission(int err) { return err == EACCES || err == EPERM; }

// "missing" or why `path` could not be opened.
Result open_failure(int err, const char* how) {
    if (err == ENOENT) return {Verdict::kNotReady, "missing"};
    std::string why = "cannot open ";
    why.append(how).append(": ").append(error_text(err));
    return {is_permission(err) ? Verdict::kNeedsRoot : Verdict::kNotReady, why};
}

// The node is opened and closed at once: no F_SETOWN, no O_ASYNC, so the
// driver never adds it to its notification list.
Result check_sensor() {
    const int fd = open(KRV_SENSOR_NODE, O_RDWR | O_CLOEXEC);
    if (fd < 0) return open_failure(errno, "read-write");
    close(fd);
    return {Verdict::kReady, "opens read-write"};
}

std::string code_name(const krvrec::Record& c) {
    if (const char* name = krvrec::code_name(c.type, c.code)) return name;
    return "type " + std::to_string(c.type) + " code " + std::to_string(c.code);
}

// EVIOCGBIT(type) as a bitmap of the caller's words; all clear when the
// request fails.
std::vector<unsigned long> declared_bits(int fd, int type, int max) {
    std::vector<unsigned long> bits(static_cast<size_t>(max / kWordBits + 1));
    if (ioctl(fd, EVIOCGBIT(type, bits.size() * sizeof(unsigned long)), bits.data()) < 0) bits.assign(bits.size(), 0);
    return bits;
}

bool bit_set(const std::vector<unsigned long>& bits, int n) {
    const size_t word = static_cast<size_t>(n / kWordBits);
    return word < bits.size() && (bits[word] >> (n % kWordBits)) & 1;
}

// Read-only, for the requests only; nothing is written to the node.
Result check_input() {
    const int fd = open(KRV_INPUT_NODE, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return open_failure(errno, "read-only");
    char name[kNameSize] = {};
    if (ioctl(fd, EVIOCGNAME(sizeof name - 1), name) < 0) {
        const int err = errno;
        close(fd);
        return {Verdict::kNotReady, "not an input device (EVIOCGNAME: " + error_text(err) + ")"};
    }
    const std::vector<unsigned long> types = declared_bits(fd, 0, EV_MAX);
    const std::vector<unsigned long> keys = declared_bits(fd, EV_KEY, KEY_MAX);
    const std::vector<unsigned long> axes = declared_bits(fd, EV_ABS, ABS_MAX);
    close(fd);
    std::string declared, lacking;
    for (const krvrec::Record& c : krvrec::codes_written()) {
        const std::vector<unsigned long>& codes = c.type == EV_KEY ? keys : axes;
        const bool has = bit_set(types, c.type) && (c.type == EV_KEY || c.type == EV_ABS) && bit_set(codes, c.code);
        // Appended piece by piece: GCC 12 at -O2 reports a false overlap
        // (-Wrestrict, GCC bug 105329) in `"literal" + std::string`.
        std::string& list = has ? declared : lacking;
        if (!list.empty()) list += ' ';
        list += code_name(c);
    }
    std::string device = "\"";
    device.append(name).append("\"");
    if (!lacking.empty()) return {Verdict::kNotReady, device + " lacks " + lacking + " (the input core drops them)"};
    return {Verdict::kReady, device + " declares " + declared};
}

// The processes that have the FIFO (dev, ino) open for reading, and the
// first process whose descriptors could not be listed.
struct ReaderScan {
    std::vector<std::string> readers;  // "812 (krv-navd)"
    std::string unreadable;            // "/proc/1/fd: Permission denied"
    int unreadable_error = 0;          // its errno
};

// Whether this process may look at every process's descriptors. Without
// CAP_SYS_PTRACE (root has it) another user's /proc/PID/fd refuses it, or,
// where /proc is mounted hidepid=2 as on Android, their /proc/PID is not
// listed at all: finding no reader then proves nothing.
bool sees_every_process() {
    struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct caps[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, caps) != 0) return geteuid() == 0;
    return (caps[CAP_TO_INDEX(CAP_SYS_PTRACE)].effective & CAP_TO_MASK(CAP_SYS_PTRACE)) != 0;
}

bool is_number(const char* s) {
    if (*s == '\0') return false;
    for (; *s; ++s)
        if (*s < '0' || *s > '9') return false;
    return true;
}

// The first `size` - 1 bytes of a (proc) file, NUL-terminated; false when
// nothing could be read.
bool read_head(const std::string& path, char* buf, size_t size) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const ssize_t n = read(fd, buf, size - 1);
    close(fd);
    if (n <= 0) return false;
    buf[n] = '\0';
    return true;
}

std::string first_line(const std::string& path) {
    char buf[64];
    if (!read_head(path, buf, sizeof buf)) return "";
    buf[strcspn(buf, "\n")] = '\0';
    return buf;
}

// The "flags:" field of a descriptor's fdinfo (octal open flags); -1 when
// it cannot be read.
long fd_flags(const std::string& fdinfo) {
    char buf[256];
    if (!read_head(fdinfo, buf, sizeof buf)) return -1;
    const char* at = strstr(buf, "flags:");
    return at ? strtol(at + 6, nullptr, 8) : -1;
}

// stat() on /proc/PID/fd/N follows the descriptor to its file without
// opening it, so the pipe is found by device and inode and its reader is
// not disturbed.
bool reads_fifo(const std::string& fd_dir, const std::string& fdinfo_dir, const char* n, const struct stat& fifo) {
    struct stat st;
    if (stat((fd_dir + "/" + n).c_str(), &st) != 0 || st.st_dev != fifo.st_dev || st.st_ino != fifo.st_ino)
        return false;
    const long flags = fd_flags(fdinfo_dir + "/" + n);
    return flags >= 0 && (flags & O_ACCMODE) != O_WRONLY;
}

ReaderScan find_readers(const char* proc, const struct stat& fifo) {
    ReaderScan scan;
    DIR* all = opendir(proc);
    if (all == nullptr) {
        scan.unreadable_error = errno;
        scan.unreadable = std::string(proc) + ": " + error_text(errno);
        return scan;
    }
    // NOLINTNEXTLINE(concurrency-mt-unsafe): navctl runs a single thread.
    while (const struct dirent* p = readdir(all)) {
        if (!is_number(p->d_name)) continue;
        const std::string pid_dir = std::string(proc) + "/" + p->d_name;
        const std::string fd_dir = pid_dir + "/fd";
        DIR* fds = opendir(fd_dir.c_str());
        if (fds == nullptr) {
            // A process that ended meanwhile has nothing open.
            if (errno != ENOENT && scan.unreadable.empty()) {
                scan.unreadable_error = errno;
                scan.unreadable = fd_dir + ": " + error_text(errno);
            }
            continue;
        }
        bool reader = false;
        // NOLINTNEXTLINE(concurrency-mt-unsafe): navctl runs a single thread.
        while (const struct dirent* f = readdir(fds))
            if (is_number(f->d_name) && reads_fifo(fd_dir, pid_dir + "/fdinfo", f->d_name, fifo)) reader = true;
        closedir(fds);
        if (reader) scan.readers.push_back(std::string(p->d_name) + " (" + first_line(pid_dir + "/comm") + ")");
    }
    closedir(all);
    return scan;
}

// Never opened: a writer's open would wake the control thread, and a
// reader's could take a command meant for it.
Result check_pipe(const StatusOptions& o) {
    struct stat st;
    if (lstat(o.pipe, &st) != 0) {
        const int err = errno;
        if (err == ENOENT) return {Verdict::kNotReady, "missing (the library's control thread makes it)"};
        std::string why = "cannot be looked at: ";
        why.append(error_text(err));
        return {is_permission(err) ? Verdict::kNeedsRoot : Verdict::kNotReady, why};
    }
    if (!S_ISFIFO(st.st_mode)) return {Verdict::kNotReady, std::string("not a FIFO but ") + krv::file_kind(st.st_mode)};
    char mode[8];
    (void)snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    const std::string fifo = std::string("FIFO of mode ") + mode;
    const ReaderScan scan = find_readers(o.proc, st);
    if (!scan.readers.empty()) {
        std::string who;
        for (size_t i = 0; i < scan.readers.size() && i < kReadersShown; ++i) who += (i ? ", " : "") + scan.readers[i];
        if (scan.readers.size() > kReadersShown) who += ", ...";
        return {Verdict::kReady, fifo + ", open for reading in pid " + who};
    }
    if (is_permission(scan.unreadable_error))
        return {Verdict::kNeedsRoot, fifo + ", no reader seen, but " + scan.unreadable};
    if (!scan.unreadable.empty())
        return {Verdict::kUnknown, fifo + ", no reader seen, but " + scan.unreadable + " (run as root to see all)"};
    if (!sees_every_process())
        return {Verdict::kNeedsRoot, fifo + ", no reader seen, but only root sees every process's descriptors"};
    return {Verdict::kNotReady, fifo + ", no process has it open for reading"};
}

const char* verdict_word(Verdict v) {
    switch (v) {
        case Verdict::kReady:
            return "ready";
        case Verdict::kNotReady:
            break;
        case Verdict::kUnknown:
            return "unknown";
        case Verdict::kNeedsRoot:
            return "unknown (needs root)";
    }
    return "NOT READY";
}

bool print_line(FILE* out, const char* what, const char* path, const Result& r) {
    fprintf(out, "%s %s: %s, %s\n", what, path, verdict_word(r.verdict), r.detail.c_str());
    return r.verdict == Verdict::kReady;
}

}  // namespace

bool print_status(const StatusOptions& options, FILE* out) {
    bool ready = print_line(out, "sensor node", KRV_SENSOR_NODE, check_sensor());
    ready = print_line(out, "input node", KRV_INPUT_NODE, check_input()) && ready;
    ready = print_line(out, "command pipe", options.pipe, check_pipe(options)) && ready;
    // property_get has no error of its own: what it leaves in errno tells a
    // store this user may not read from an unset property.
    char value[PROPERTY_VALUE_MAX] = {};
    errno = 0;
    const int len = property_get(kEnableProperty, value, nullptr);
    const int err = errno;
    std::string shown = "unset";
    if (len > 0) {
        shown = "\"";
        shown.append(value).append("\"");
    } else if (is_permission(err)) {
        shown = "unknown (needs root), cannot be read: ";
        shown.append(error_text(err));
    }
    fprintf(out, "property %s: %s (kept for the host; navigation runs whatever it holds)\n", kEnableProperty,
            shown.c_str());
    return ready;
}

}  // namespace krvtools
