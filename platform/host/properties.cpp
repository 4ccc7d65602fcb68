// Host property service.
//
// "persist." keys: one file per key in the state directory, replaced
// atomically (temporary file in the same directory, fsync, rename, fsync of
// the directory), so a reader in any process sees either the old or the new
// value. Other keys: a fixed-size table guarded by a mutex.
#include <cutils/properties.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#define KRV_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr size_t kKeyMaxLen = PROPERTY_KEY_MAX - 1;      // 31
constexpr size_t kValueMaxLen = PROPERTY_VALUE_MAX - 1;  // 91
constexpr char kPersistPrefix[] = "persist.";
constexpr size_t kPersistPrefixLen = sizeof(kPersistPrefix) - 1;
constexpr char kDefaultDir[] = "/tmp/krv-properties";
constexpr size_t kTableSize = 256;

struct Entry {
    char key[PROPERTY_KEY_MAX];
    char value[PROPERTY_VALUE_MAX];
};

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
Entry g_table[kTableSize];        // key[0] == '\0' marks a free slot
unsigned long g_tmp_counter = 0;  // guarded by g_lock

class Guard {
  public:
    Guard() { pthread_mutex_lock(&g_lock); }
    ~Guard() { pthread_mutex_unlock(&g_lock); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
};

// A key names a file in the state directory, so only [A-Za-z0-9._-] is
// allowed and ".." is refused; '/' can never appear.
bool key_valid(const char* key) {
    if (key == nullptr) return false;
    size_t len = strnlen(key, kKeyMaxLen + 1);
    if (len == 0 || len > kKeyMaxLen) return false;
    for (size_t i = 0; i < len; ++i) {
        char c = key[i];
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
                  c == '-';
        if (!ok) return false;
    }
    return strstr(key, "..") == nullptr;
}

bool is_persistent(const char* key) { return strncmp(key, kPersistPrefix, kPersistPrefixLen) == 0; }

const char* state_dir() {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): setenv must not run meanwhile (see the header).
    const char* dir = getenv("KRV_PROPERTY_DIR");
    return (dir != nullptr && dir[0] != '\0') ? dir : kDefaultDir;
}

// Creates dir and any missing parents (mode 0700).
int make_dirs(const char* dir) {
    char path[PATH_MAX];
    size_t len = strlen(dir);
    if (len >= sizeof(path)) return -ENAMETOOLONG;
    memcpy(path, dir, len + 1);
    for (size_t i = 1; i <= len; ++i) {
        if (path[i] != '/' && path[i] != '\0') continue;
        char saved = path[i];
        path[i] = '\0';
        if (mkdir(path, 0700) != 0 && errno != EEXIST) return -errno;
        path[i] = saved;
    }
    struct stat st;
    if (stat(dir, &st) != 0) return -errno;
    return S_ISDIR(st.st_mode) ? 0 : -ENOTDIR;
}

int join(char* out, size_t cap, const char* dir, const char* name) {
    int n = snprintf(out, cap, "%s/%s", dir, name);
    if (n < 0) return -EINVAL;
    if (static_cast<size_t>(n) >= cap) return -ENAMETOOLONG;
    return 0;
}

// Reads a persisted value into value (PROPERTY_VALUE_MAX bytes); returns its
// length, 0 when the key has no file.
size_t persist_read(const char* key, char* value) {
    value[0] = '\0';
    char path[PATH_MAX];
    if (join(path, sizeof(path), state_dir(), key) != 0) return 0;
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return 0;
    size_t got = 0;
    while (got < kValueMaxLen) {
        ssize_t n = read(fd, value + got, kValueMaxLen - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    value[got] = '\0';
    return strlen(value);  // a stray NUL in the file ends the value
}

int write_all(int fd, const char* buf, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, buf, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -errno;
        }
        buf += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

int fsync_dir(const char* dir) {
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -errno;
    int rc = fsync(fd) == 0 ? 0 : -errno;
    close(fd);
    return rc;
}

int persist_write(const char* key, const char* value, size_t len) {
    const char* dir = state_dir();
    int rc = make_dirs(dir);
    if (rc != 0) return rc;
    char path[PATH_MAX];
    rc = join(path, sizeof(path), dir, key);
    if (rc != 0) return rc;

    if (len == 0) {  // clearing a property removes its file
        if (unlink(path) != 0 && errno != ENOENT) return -errno;
        return fsync_dir(dir);
    }

    // Temporary names start with '.', which no persistent key can.
    char tmp_name[96];
    unsigned long seq;
    {
        Guard g;
        seq = ++g_tmp_counter;
    }
    int n = snprintf(tmp_name, sizeof(tmp_name), ".tmp.%s.%ld.%lu", key, static_cast<long>(getpid()), seq);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(tmp_name)) return -ENAMETOOLONG;
    char tmp[PATH_MAX];
    rc = join(tmp, sizeof(tmp), dir, tmp_name);
    if (rc != 0) return rc;

    int fd = open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return -errno;
    rc = write_all(fd, value, len);
    if (rc == 0 && fsync(fd) != 0) rc = -errno;
    if (close(fd) != 0 && rc == 0) rc = -errno;
    if (rc == 0 && rename(tmp, path) != 0) rc = -errno;
    if (rc != 0) {
        unlink(tmp);
        return rc;
    }
    return fsync_dir(dir);
}

size_t table_read(const char* key, char* value) {
    Guard g;
    for (const Entry& e : g_table) {
        if (e.key[0] != '\0' && strcmp(e.key, key) == 0) {
            size_t len = strlen(e.value);
            memcpy(value, e.value, len + 1);
            return len;
        }
    }
    value[0] = '\0';
    return 0;
}

int table_write(const char* key, const char* value, size_t len) {
    Guard g;
    Entry* slot = nullptr;
    Entry* free_slot = nullptr;
    for (Entry& e : g_table) {
        if (e.key[0] == '\0') {
            if (free_slot == nullptr) free_slot = &e;
        } else if (strcmp(e.key, key) == 0) {
            slot = &e;
            break;
        }
    }
    if (len == 0) {  // clearing frees the slot
        if (slot != nullptr) memset(slot, 0, sizeof(*slot));
        return 0;
    }
    if (slot == nullptr) {
        if (free_slot == nullptr) return -ENOSPC;
        slot = free_slot;
        memcpy(slot->key, key, strlen(key) + 1);
    }
    memcpy(slot->value, value, len);
    slot->value[len] = '\0';
    return 0;
}

}  // namespace

KRV_EXPORT int property_get(const char* key, char* value, const char* default_value) {
    if (value == nullptr) return -EINVAL;
    size_t len = 0;
    if (key_valid(key)) {
        len = is_persistent(key) ? persist_read(key, value) : table_read(key, value);
    }
    if (len > 0) return static_cast<int>(len);
    if (default_value == nullptr) {
        value[0] = '\0';
        return 0;
    }
    len = strnlen(default_value, kValueMaxLen);
    memcpy(value, default_value, len);
    value[len] = '\0';
    return static_cast<int>(len);
}

KRV_EXPORT int property_set(const char* key, const char* value) {
    if (!key_valid(key) || value == nullptr) return -EINVAL;
    size_t len = strnlen(value, kValueMaxLen + 1);
    if (len > kValueMaxLen) return -EINVAL;
    return is_persistent(key) ? persist_write(key, value, len) : table_write(key, value, len);
}
