// The folder of the library's command pipe, which nobody else may have made.
#pragma once

#include <stddef.h>
#include <sys/types.h>

namespace krvd {

constexpr uid_t kKeepOwner = static_cast<uid_t>(-1);
constexpr gid_t kKeepGroup = static_cast<gid_t>(-1);
// What system_server gives /data/system/users/0 and the folders below it.
constexpr mode_t kDefaultFolderMode = 0700;
constexpr mode_t kMaxFolderMode = 0777;

// Owner, group and mode of the folder when krv-navd creates it. kKeepOwner
// and kKeepGroup leave the daemon's own user and group.
struct FolderSettings {
    uid_t owner = kKeepOwner;
    gid_t group = kKeepGroup;
    mode_t mode = kDefaultFolderMode;
};

// The pipe's folder: the pipe path up to its last name, without trailing
// slashes. False when it does not fit into `size` bytes.
bool pipe_folder_path(char* out, size_t size);

// What this process creates (the folder, the library's pipe) must be
// usable by itself: the umask keeps only its group and other bits.
// Call it before any thread exists (the umask is the process's).
void clear_owner_umask();

// Makes sure the pipe's folder exists. Only the last component is ever
// created, with `settings`; an existing folder keeps its owner and mode.
// Errors are reported here; false on failure.
bool ensure_pipe_folder(const FolderSettings& settings);

// One daemon per pipe: takes an exclusive lock (flock) on the pipe's folder
// itself and holds it for the rest of the process; the kernel releases it
// however the process ends, and nothing is left in the folder. False, with
// one error line naming the holder's pid where /proc/locks shows it, when
// another process holds it.
bool lock_pipe_folder();

// The pipe's path holds a FIFO (no link followed), or nothing and this
// process may create the pipe in the folder. Anything else is reported
// with one error line; false then.
bool check_pipe_path();

}  // namespace krvd
