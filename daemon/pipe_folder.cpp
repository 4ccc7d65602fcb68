#include "pipe_folder.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "base/fifo_io.h"
#include "daemon_log.h"
#include "krv_nav.h"

namespace krvd {

namespace {

// The folder is made for the owner first, so that it can be opened to set
// the final owner and mode whatever group and other bits the umask takes.
constexpr mode_t kCreateMode = 0700;

enum class Presence { kFolder, kMissing, kUnusable };

// Copies `path` up to its last slash, then drops trailing slashes (keeping
// a lone "/").
bool dirname_of(const char* path, char* out, size_t size) {
    const char* slash = strrchr(path, '/');
    if (slash == nullptr) return false;
    size_t len = static_cast<size_t>(slash - path);
    while (len > 1 && path[len - 1] == '/') --len;
    if (len == 0) len = 1;
    if (len >= size) return false;
    memcpy(out, path, len);
    out[len] = '\0';
    return true;
}

const char* error_text(int err) {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): called before the workers start.
    return strerror(err);
}

// A symbolic link is not accepted as the folder.
Presence look_up(const char* folder) {
    const int fd = open(folder, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        close(fd);
        return Presence::kFolder;
    }
    if (errno == ENOENT) return Presence::kMissing;
    report_error("%s cannot serve as the command pipe's folder: %s", folder, error_text(errno));
    return Presence::kUnusable;
}

bool set_owner_and_mode(const char* folder, const FolderSettings& s) {
    const int fd = open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        report_error("cannot open the new folder %s: %s", folder, error_text(errno));
        return false;
    }
    bool ok = true;
    if ((s.owner != kKeepOwner || s.group != kKeepGroup) && fchown(fd, s.owner, s.group) != 0) {
        report_error("cannot give %s owner %d and group %d: %s", folder, static_cast<int>(s.owner),
                     static_cast<int>(s.group), error_text(errno));
        ok = false;
    } else if (fchmod(fd, s.mode) != 0) {
        report_error("cannot give %s mode %04o: %s", folder, static_cast<unsigned>(s.mode), error_text(errno));
        ok = false;
    }
    if (close(fd) != 0 && ok) {
        report_error("cannot close %s: %s", folder, error_text(errno));
        ok = false;
    }
    return ok;
}

// The folder, for the *at calls: no link followed, nothing opened for
// reading (O_PATH); -1 after an error line.
int open_folder(const char* folder) {
    const int fd = open(folder, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) report_error("cannot open %s: %s", folder, error_text(errno));
    return fd;
}

// The name of the pipe in its folder.
const char* pipe_name() { return strrchr(KRV_CTL_PIPE, '/') + 1; }

bool create_folder(const char* folder, const FolderSettings& s) {
    if (mkdir(folder, kCreateMode) != 0) {
        const int err = errno;
        if (err == EEXIST) return look_up(folder) == Presence::kFolder;  // made meanwhile by someone else
        char parent[PATH_MAX];
        if (err == ENOENT && dirname_of(folder, parent, sizeof parent)) {
            report_error("cannot create %s: %s does not exist yet (system_server makes it)", folder, parent);
        } else {
            report_error("cannot create %s: %s", folder, error_text(err));
        }
        return false;
    }
    if (!set_owner_and_mode(folder, s)) {
        // Leave nothing half made behind for the next start.
        if (rmdir(folder) != 0) report_error("cannot remove %s again: %s", folder, error_text(errno));
        return false;
    }
    report_info("created %s (owner %d, group %d, mode %04o)", folder,
                s.owner == kKeepOwner ? static_cast<int>(geteuid()) : static_cast<int>(s.owner),
                s.group == kKeepGroup ? static_cast<int>(getegid()) : static_cast<int>(s.group),
                static_cast<unsigned>(s.mode));
    return true;
}

bool folder_of_pipe(char* folder, size_t size) {
    if (dirname_of(KRV_CTL_PIPE, folder, size)) return true;
    report_error("the command pipe's path %s has no folder", KRV_CTL_PIPE);
    return false;
}

// One line of /proc/locks ("1: FLOCK  ADVISORY  WRITE 812 fd:01:1234 0 EOF",
// device numbers in hex): the pid of a flock on the file `st` describes,
// else 0. A waiting request ("1: -> FLOCK ...") does not fit the format.
pid_t flock_holder_in(const char* line, const struct stat& st) {
    char type[16], mode[16], access[16];
    int pid = 0;
    unsigned dev_major = 0, dev_minor = 0;
    unsigned long long ino = 0;
    int n = 0;
    // NOLINTNEXTLINE(cert-err34-c): the count is checked; a value out of range only fails to match.
    n = sscanf(line, "%*d: %15s %15s %15s %d %x:%x:%llu", type, mode, access, &pid, &dev_major, &dev_minor, &ino);
    const bool ours = n == 7 && strcmp(type, "FLOCK") == 0 && dev_major == major(st.st_dev) &&
                      dev_minor == minor(st.st_dev) && ino == st.st_ino;
    return ours ? pid : 0;
}

// The pid holding a flock on the file `st` describes; 0 when /proc/locks
// cannot be read (a device's policy may not allow it) or does not say.
pid_t flock_holder(const struct stat& st) {
    FILE* locks = fopen("/proc/locks", "re");
    if (locks == nullptr) return 0;
    pid_t holder = 0;
    char line[256];
    while (holder == 0 && fgets(line, sizeof line, locks) != nullptr) holder = flock_holder_in(line, st);
    (void)fclose(locks);  // read only: nothing to lose
    return holder;
}

}  // namespace

bool pipe_folder_path(char* out, size_t size) { return dirname_of(KRV_CTL_PIPE, out, size); }

// A umask of 0477 or 0777 would make a folder this process cannot open to
// set its mode, and a pipe the library cannot open to read.
void clear_owner_umask() { umask(umask(0) & 077); }

bool ensure_pipe_folder(const FolderSettings& settings) {
    char folder[PATH_MAX];
    if (!folder_of_pipe(folder, sizeof folder)) return false;
    switch (look_up(folder)) {
        case Presence::kFolder:
            return true;
        case Presence::kMissing:
            return create_folder(folder, settings);
        case Presence::kUnusable:
            break;
    }
    return false;
}

// A lock on the folder rather than on a file in it: the folder holds only
// the pipe, and whoever removes the folder (a test between two runs) finds
// nothing else there. The descriptor stays open: the lock lasts as long as
// the process.
bool lock_pipe_folder() {
    char folder[PATH_MAX];
    if (!folder_of_pipe(folder, sizeof folder)) return false;
    const int fd = open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        report_error("cannot open %s to lock it: %s", folder, error_text(errno));
        return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    const int err = errno;
    struct stat st;
    const pid_t holder = err == EWOULDBLOCK && fstat(fd, &st) == 0 ? flock_holder(st) : 0;
    close(fd);
    if (err != EWOULDBLOCK) {
        report_error("cannot lock %s: %s", folder, error_text(err));
    } else if (holder > 0) {
        report_error("another krv-navd (pid %d) already runs: it holds the lock on %s", static_cast<int>(holder),
                     folder);
    } else {
        report_error("another krv-navd already runs: it holds the lock on %s", folder);
    }
    return false;
}

// Without this check a link, a file or a folder at the pipe's path, or a
// folder the daemon may not write into, shows only as the library's error
// once a second while no command gets through.
bool check_pipe_path() {
    char folder[PATH_MAX];
    if (!folder_of_pipe(folder, sizeof folder)) return false;
    const int dir = open_folder(folder);
    if (dir < 0) return false;
    struct stat st;
    const int found = fstatat(dir, pipe_name(), &st, AT_SYMLINK_NOFOLLOW);
    const int err = errno;
    close(dir);
    if (found == 0) {
        if (S_ISFIFO(st.st_mode)) return true;
        report_error("cannot use %s as the command pipe: it is %s, not a FIFO (remove it; the library makes the pipe)",
                     KRV_CTL_PIPE, krv::file_kind(st.st_mode));
        return false;
    }
    if (err != ENOENT) {
        report_error("cannot look at %s: %s", KRV_CTL_PIPE, error_text(err));
        return false;
    }
    if (access(folder, W_OK | X_OK) == 0) return true;
    report_error("cannot create the command pipe in %s: %s", folder, error_text(errno));
    return false;
}

}  // namespace krvd
