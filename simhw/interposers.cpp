// The C library entry points the binary defines in place of the C
// library's (for the library too: an executable's definitions come first).
// Each hands a call on a device node, the command pipe or a failing file to
// its device's file and passes every other call through unchanged.
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "simhw/internal.h"

using namespace krvtest;
using namespace krvtest::sim;

namespace {

int dispatch_open(const char* path, int flags, mode_t mode, const char* sym) {
    if (path && strcmp(path, KRV_SENSOR_NODE) == 0) return inject(Fault::kSensorOpen) ? -1 : sensor_open(flags);
    if (path && strcmp(path, KRV_INPUT_NODE) == 0) return inject(Fault::kInputOpen) ? -1 : input_open(flags);
    // A look at the path (O_PATH) opens neither end of the pipe.
    const bool pipe = is_pipe_path(path) && (flags & O_PATH) == 0;
    if (pipe && inject(Fault::kPipeOpen)) return -1;
    if (const int err = file_open_error(path, flags)) {
        errno = err;
        return -1;
    }
    const bool failing_file = under_failing_dir(path, flags);
    std::string storage;
    int fd = real<int (*)(const char*, int, ...)>(sym)(redirect(path, storage), flags, mode);
    if (fd >= 0 && pipe) pipe_opened(fd, flags);
    if (fd >= 0 && failing_file) file_opened(fd);
    return fd;
}

// openat with an absolute path names the same file whatever the folder.
int dispatch_openat(int dirfd, const char* path, int flags, mode_t mode, const char* sym) {
    if (path && path[0] == '/' &&
        (strcmp(path, KRV_SENSOR_NODE) == 0 || strcmp(path, KRV_INPUT_NODE) == 0 || is_redirected(path)))
        return dispatch_open(path, flags, mode, "open");
    return real<int (*)(int, const char*, int, ...)>(sym)(dirfd, path, flags, mode);
}

int dispatch_fcntl(int fd, int cmd, unsigned long arg, const char* sym) {
    if (is_sensor(fd)) return sensor_fcntl(fd, cmd, arg, sym);
    return real<int (*)(int, int, unsigned long)>(sym)(fd, cmd, arg);
}

mode_t mode_arg(int flags, va_list ap) { return (flags & O_CREAT) ? va_arg(ap, mode_t) : 0; }

}  // namespace

extern "C" {

// Declared here: the C library's headers declare them only when
// _FORTIFY_SOURCE asks for them.
int __open_2(const char* path, int flags);
int __open64_2(const char* path, int flags);

int open(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return dispatch_open(path, flags, mode, "open");
}

int open64(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return dispatch_open(path, flags, mode, "open64");
}

int __open_2(const char* path, int flags) { return dispatch_open(path, flags, 0, "open"); }

int __open64_2(const char* path, int flags) { return dispatch_open(path, flags, 0, "open64"); }

int openat(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return dispatch_openat(dirfd, path, flags, mode, "openat");
}

int openat64(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return dispatch_openat(dirfd, path, flags, mode, "openat64");
}

int access(const char* path, int mode) {
    std::string storage;
    return real<int (*)(const char*, int)>("access")(redirect(path, storage), mode);
}

int mkfifo(const char* path, mode_t mode) {
    std::string storage;
    const char* real_path = redirect(path, storage);
    const int rc = real<int (*)(const char*, mode_t)>("mkfifo")(real_path, mode);
    if (rc == 0 && is_redirected(path)) pipe_created(real_path);
    return rc;
}

int link(const char* from, const char* to) {
    std::string from_storage, to_storage;
    return real<int (*)(const char*, const char*)>("link")(redirect(from, from_storage), redirect(to, to_storage));
}

int unlink(const char* path) {
    std::string storage;
    return real<int (*)(const char*)>("unlink")(redirect(path, storage));
}

int mkdir(const char* path, mode_t mode) {
    std::string storage;
    return real<int (*)(const char*, mode_t)>("mkdir")(redirect(path, storage), mode);
}

int rmdir(const char* path) {
    std::string storage;
    return real<int (*)(const char*)>("rmdir")(redirect(path, storage));
}

int chmod(const char* path, mode_t mode) {
    std::string storage;
    return real<int (*)(const char*, mode_t)>("chmod")(redirect(path, storage), mode);
}

int close(int fd) {
    if (is_sensor(fd)) return sensor_close(fd);
    pipe_note_close(fd);
    file_note_close(fd);
    input_note_close(fd);
    return real_close(fd);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (is_sensor(fd)) return sensor_ioctl(fd, request, arg);
    if (is_input(fd)) return input_ioctl(request, arg);
    return real<int (*)(int, unsigned long, void*)>("ioctl")(fd, request, arg);
}

ssize_t read(int fd, void* buf, size_t n) {
    static auto real_read = real<ssize_t (*)(int, void*, size_t)>("read");
    if (!is_pipe(fd)) return real_read(fd, buf, n);
    if (inject(Fault::kPipeRead)) return -1;
    const ssize_t got = real_read(fd, buf, n);
    if (got > 0) pipe_read_done();
    return got;
}

ssize_t write(int fd, const void* buf, size_t n) {
    static auto real_write = real<ssize_t (*)(int, const void*, size_t)>("write");
    if (is_input(fd)) {
        if (inject(Fault::kInputWrite)) return -1;
        n = input_write_length(n);
    } else if (file_write_fails(fd)) {
        return -1;
    }
    return real_write(fd, buf, n);
}

// The third argument is read as a word whatever the command, as the C
// library itself does.
int fcntl(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    const unsigned long arg = va_arg(ap, unsigned long);
    va_end(ap);
    return dispatch_fcntl(fd, cmd, arg, "fcntl");
}

int fcntl64(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    const unsigned long arg = va_arg(ap, unsigned long);
    va_end(ap);
    return dispatch_fcntl(fd, cmd, arg, "fcntl64");
}

int gettimeofday(struct timeval* tv, void* tz) { return clock_gettimeofday(tv, tz); }

}  // extern "C"
