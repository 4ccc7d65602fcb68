#include "pipe_folder.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "daemon_log.h"
#include "krv_nav.h"

namespace krvd {

namespace {

// The folder is made for the owner first, so that it can be opened to set
// the final owner and mode whatever the umask.
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

// Without this check a folder the daemon may not write into shows only as
// the library's "Cannot create nav ctl fifo file" once a second.
bool pipe_reachable(const char* folder) {
    if (access(KRV_CTL_PIPE, F_OK) == 0) return true;
    if (access(folder, W_OK | X_OK) == 0) return true;
    report_error("cannot create the command pipe in %s: %s", folder, error_text(errno));
    return false;
}

}  // namespace

bool pipe_folder_path(char* out, size_t size) { return dirname_of(KRV_CTL_PIPE, out, size); }

bool ensure_pipe_folder(const FolderSettings& settings) {
    char folder[PATH_MAX];
    if (!pipe_folder_path(folder, sizeof folder)) {
        report_error("the command pipe's path %s has no folder", KRV_CTL_PIPE);
        return false;
    }
    switch (look_up(folder)) {
        case Presence::kFolder:
            break;
        case Presence::kMissing:
            if (!create_folder(folder, settings)) return false;
            break;
        case Presence::kUnusable:
            return false;
    }
    return pipe_reachable(folder);
}

}  // namespace krvd
