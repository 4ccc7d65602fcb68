// The C library's own entry points behind the interposers, the descriptor
// tables, and the socket pairs that stand in for device nodes.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>

#include "simhw/internal.h"

namespace krvtest {

namespace sim {

namespace {
// Opens of the device nodes whose descriptor would outlive an exec.
std::atomic<int> g_inheritable{0};
}  // namespace

// Looked up once per name: dlsym on every call is slow and, under
// ThreadSanitizer, can wedge its allocator when a signal storm hits the
// lookup.
void* resolve(const char* name) {
    constexpr int kNames = 32;
    static std::mutex mu;
    static const char* names[kNames];
    static void* fns[kNames];
    static int count = 0;
    std::lock_guard<std::mutex> lk(mu);
    for (int i = 0; i < count; ++i)
        if (strcmp(names[i], name) == 0) return fns[i];
    if (count == kNames) abort();
    names[count] = name;
    fns[count] = dlsym(RTLD_NEXT, name);
    return fns[count++];
}

int real_close(int fd) { return real<int (*)(int)>("close")(fd); }

int real_fcntl(int fd, int cmd, unsigned long arg) {
    return real<int (*)(int, int, unsigned long)>("fcntl")(fd, cmd, arg);
}

int FdTable::find(int fd) const {
    if (fd < 0) return -1;  // a failed open's -1 is nobody's descriptor
    for (int i = 0; i < kSlots; ++i)
        if (slots_[i].load() == fd + 1) return i;
    return -1;
}

int FdTable::claim(int fd) {
    for (int i = 0; i < kSlots; ++i) {
        int expected = 0;
        if (slots_[i].compare_exchange_strong(expected, fd + 1)) return i;
    }
    abort();  // more than 64 descriptors open at once: a leak in the library
}

bool FdTable::release(int fd) {
    const int i = find(fd);
    if (i < 0) return false;
    slots_[i].store(0);
    return true;
}

int FdTable::count() const {
    int n = 0;
    for (const auto& s : slots_) n += s.load() != 0;
    return n;
}

bool node_pair(int type, int open_flags, int sv[2]) {
    const int cloexec = (open_flags & O_CLOEXEC) ? SOCK_CLOEXEC : 0;
    if (socketpair(AF_UNIX, type | cloexec, 0, sv) != 0) return false;
    real_fcntl(sv[1], F_SETFD, FD_CLOEXEC);
    if ((real_fcntl(sv[0], F_GETFD, 0) & FD_CLOEXEC) == 0) g_inheritable.fetch_add(1);
    return true;
}

void node_reset() { g_inheritable = 0; }

bool node_there(bool present) {
    if (!present) errno = ENOENT;
    return present;
}

}  // namespace sim

int node_opens_inheritable() { return sim::g_inheritable.load(); }

}  // namespace krvtest
