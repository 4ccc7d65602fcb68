// The command pipe: its fixed path is redirected into a temporary folder
// of this process (removed again at exit), where it is a real FIFO. Hooks
// run right after the library's open, creation or read of it.
//
// The pipe's folder ("/data/system/users/0/fpdata") stands for the folder
// that holds the redirected pipe. With KRV_SIM_DATA_DIR set (a host such
// as krv-navd that preloads the simulated hardware and makes the folder
// itself) both live under that directory instead, at their own paths:
// "$KRV_SIM_DATA_DIR/data/system/users/0/fpdata" and the pipe in it;
// nothing is made or removed there for the host.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "simhw/internal.h"

namespace krvtest {

namespace sim {

namespace {

FdTable g_fds;  // the library's descriptors of the pipe
std::atomic<void (*)()> g_on_reader_open{nullptr};
std::atomic<void (*)()> g_on_writer_open{nullptr};
std::atomic<void (*)(const char*)> g_on_create{nullptr};
std::atomic<void (*)()> g_on_read{nullptr};

char g_dir[32] = "/tmp/krv-pipe-XXXXXX";
// Read once as the binary starts, before any thread can call setenv.
const char* const g_data_dir = getenv("KRV_SIM_DATA_DIR");

// The pipe path up to its last name, without trailing slashes. Like the
// folder below, never destroyed: calls at exit (the folder's removal, a
// worker still running) look at it.
const std::string& folder_path() {
    static const std::string& f = *new std::string([] {
        std::string p = KRV_CTL_PIPE;
        p.erase(p.rfind('/'));
        while (p.size() > 1 && p.back() == '/') p.pop_back();
        return p;
    }());
    return f;
}

// The length of the folder part when `path` is the folder itself (with any
// number of trailing slashes) or names a file right in it; 0 otherwise.
size_t folder_prefix(const char* path) {
    if (path == nullptr) return 0;
    const std::string& f = folder_path();
    if (strncmp(path, f.c_str(), f.size()) != 0) return 0;
    const char* rest = path + f.size();
    if (*rest != '\0' && *rest != '/') return 0;
    while (*rest == '/') ++rest;
    return strchr(rest, '/') == nullptr ? f.size() : 0;
}

bool is_folder_path(const char* path) {
    const size_t n = folder_prefix(path);
    if (n == 0) return false;
    for (const char* rest = path + n; *rest; ++rest)
        if (*rest != '/') return false;
    return true;
}

// A file right in the folder (the pipe, or a new pipe under a name of its
// own before it is linked to the pipe's path).
bool is_in_folder(const char* path) { return folder_prefix(path) != 0 && !is_folder_path(path); }

void remove_dir() {
    char path[64];
    snprintf(path, sizeof path, "%s/navCtrlPipe", g_dir);
    unlink(path);
    real<int (*)(const char*)>("rmdir")(g_dir);
}

const std::string& dir() {
    static const std::string& d = *new std::string([] {
        if (g_data_dir != nullptr) return g_data_dir + folder_path();
        if (mkdtemp(g_dir) == nullptr) return std::string("/tmp");
        atexit(remove_dir);
        return std::string(g_dir);
    }());
    return d;
}

void run_once(std::atomic<void (*)()>& hook) {
    if (auto h = hook.exchange(nullptr)) h();
}

}  // namespace

bool is_pipe_path(const char* path) { return path && strcmp(path, KRV_CTL_PIPE) == 0; }

bool is_redirected(const char* path) { return folder_prefix(path) != 0; }

const char* redirect(const char* path, std::string& storage) {
    if (is_pipe_path(path)) {
        storage = pipe_real_path();
    } else if (is_folder_path(path)) {
        storage = dir();
    } else if (is_in_folder(path)) {
        storage = dir() + strrchr(path, '/');
    } else {
        return path;
    }
    return storage.c_str();
}

void pipe_opened(int fd, int flags) {
    g_fds.claim(fd);
    run_once((flags & O_ACCMODE) == O_RDONLY ? g_on_reader_open : g_on_writer_open);
}

bool is_pipe(int fd) { return g_fds.owns(fd); }

void pipe_note_close(int fd) { g_fds.release(fd); }

void pipe_created(const char* real_path) {
    if (auto h = g_on_create.exchange(nullptr)) h(real_path);
}

void pipe_read_done() { run_once(g_on_read); }

void pipe_reset() {
    unlink(pipe_real_path().c_str());
    g_on_reader_open = nullptr;
    g_on_writer_open = nullptr;
    g_on_create = nullptr;
    g_on_read = nullptr;
}

}  // namespace sim

std::string pipe_real_path() { return sim::dir() + "/navCtrlPipe"; }

void pipe_on_reader_open(void (*hook)()) { sim::g_on_reader_open = hook; }
void pipe_on_writer_open(void (*hook)()) { sim::g_on_writer_open = hook; }
void pipe_on_create(void (*hook)(const char*)) { sim::g_on_create = hook; }
void pipe_on_read(void (*hook)()) { sim::g_on_read = hook; }

}  // namespace krvtest
