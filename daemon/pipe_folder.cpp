#include "pipe_folder.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "daemon_log.h"
#include "krv_nav.h"

namespace krvd {

namespace {

// The folder is made for the owner first, so that it can be opened to set
// the final owner and mode whatever group and other bits the umask takes.
constexpr mode_t kCreateMode = 0700;
constexpr mode_t kLockMode = 0600;
// F_SETLK refused and F_GETLK found no holder: it ended in between.
constexpr int kLockAttempts = 3;

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

const char* kind_of(mode_t mode) {
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISREG(mode)) return "a regular file";
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISSOCK(mode)) return "a socket";
    return "a device node";
}

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

// Opened (made when missing) in the folder; a link, a FIFO or a node at
// its place is refused.
int open_lock_file(int dir, const char* path) {
    const int fd = openat(dir, kLockName, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kLockMode);
    if (fd < 0) {
        report_error("cannot open the lock file %s: %s", path, error_text(errno));
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        report_error("cannot use %s as the lock file: it is no regular file", path);
        close(fd);
        return -1;
    }
    return fd;
}

// A write lock on the whole file (l_start 0, l_len 0).
struct flock whole_file_lock() {
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return lock;
}

// False, with one error line, when another process holds the lock.
bool take_lock(int fd, const char* path) {
    for (int attempt = 1;; ++attempt) {
        struct flock lock = whole_file_lock();
        // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg): fcntl's lock requests take a struct flock.
        if (fcntl(fd, F_SETLK, &lock) == 0) return true;
        if (errno != EACCES && errno != EAGAIN) {
            report_error("cannot lock %s: %s", path, error_text(errno));
            return false;
        }
        struct flock holder = whole_file_lock();
        // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg): as above.
        if (fcntl(fd, F_GETLK, &holder) != 0) {
            report_error("cannot ask who holds %s: %s", path, error_text(errno));
            return false;
        }
        // F_UNLCK: the holder ended between the two requests. A holder in
        // another pid namespace shows as pid 0.
        if (holder.l_type != F_UNLCK && holder.l_pid > 0) {
            report_error("another krv-navd (pid %d) already runs: it holds %s", static_cast<int>(holder.l_pid), path);
            return false;
        }
        if (holder.l_type != F_UNLCK || attempt == kLockAttempts) {
            report_error("another krv-navd already runs: it holds %s", path);
            return false;
        }
    }
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

// A process-associated (fcntl) lock rather than flock: F_GETLK names the
// holder's pid. Such a lock goes when the process closes any descriptor of
// the file; nothing but this function ever opens it.
bool lock_pipe_folder() {
    char folder[PATH_MAX], path[PATH_MAX + 32];  // room for the folder, a slash and kLockName
    if (!folder_of_pipe(folder, sizeof folder)) return false;
    (void)snprintf(path, sizeof path, "%s/%s", folder, kLockName);  // for the error lines only
    const int dir = open_folder(folder);
    if (dir < 0) return false;
    const int fd = open_lock_file(dir, path);
    close(dir);
    if (fd < 0) return false;
    if (take_lock(fd, path)) return true;  // `fd` stays open: the lock lasts with the process
    close(fd);
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
                     KRV_CTL_PIPE, kind_of(st.st_mode));
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
