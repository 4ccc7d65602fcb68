// Property service: get/set semantics, defaults, refused input, persistence
// across processes and atomic replacement of persisted values.
#include <cutils/properties.h>

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<std::string> list_dir(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") names.push_back(n);
        }
        closedir(d);
    }
    return names;
}

void remove_tree(const std::string& dir) {
    for (const std::string& n : list_dir(dir)) {
        std::string p = dir + "/" + n;
        struct stat st;
        if (lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            remove_tree(p);
        } else {
            unlink(p.c_str());
        }
    }
    rmdir(dir.c_str());
}

// Each test gets a fresh, not yet existing store below its own temp root.
class PropertyStore : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/krv-prop-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        store_ = root_ + "/store";
        ASSERT_EQ(setenv("KRV_PROPERTY_DIR", store_.c_str(), 1), 0);
    }
    void TearDown() override {
        unsetenv("KRV_PROPERTY_DIR");
        remove_tree(root_);
    }
    std::string get(const char* key, const char* def = nullptr, int* ret = nullptr) {
        char buf[PROPERTY_VALUE_MAX];
        memset(buf, 'X', sizeof(buf));
        int r = property_get(key, buf, def);
        if (ret) *ret = r;
        EXPECT_EQ(r, static_cast<int>(strnlen(buf, sizeof(buf))));
        return buf;
    }
    std::string root_;
    std::string store_;
};

const std::string k91(91, 'v');
const std::string k92(92, 'v');

struct RoundTrip {
    const char* key;
    std::string value;
};

TEST_F(PropertyStore, SetThenGetReturnsValueAndLength) {
    const RoundTrip cases[] = {
        {"krv.test.plain", "1"},   {"krv.test.long", k91}, {"persist.krv.a", "enable"},
        {"persist.krv.long", k91}, {"A-Z_0.9", "x y\tz"},  {"k123456789012345678901234567890", "31-char key"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        ASSERT_EQ(property_set(c.key, c.value.c_str()), 0);
        int ret = -1;
        EXPECT_EQ(get(c.key, "def", &ret), c.value);
        EXPECT_EQ(ret, static_cast<int>(c.value.size()));
    }
    // Overwrite with a shorter value leaves no tail of the old one.
    ASSERT_EQ(property_set("persist.krv.long", "short"), 0);
    EXPECT_EQ(get("persist.krv.long"), "short");
    ASSERT_EQ(property_set("krv.test.long", "short"), 0);
    EXPECT_EQ(get("krv.test.long"), "short");
}

struct DefaultCase {
    const char* name;
    const char* def;
    std::string expected;
};

TEST_F(PropertyStore, UnsetOrEmptyYieldsDefault) {
    const std::string too_long = k91 + "EXTRA";
    const DefaultCase cases[] = {
        {"null default", nullptr, ""},
        {"empty default", "", ""},
        {"plain default", "fallback", "fallback"},
        {"91-byte default", k91.c_str(), k91},
        {"over-long default is truncated", too_long.c_str(), k91},
    };
    for (const char* key : {"krv.test.unset", "persist.krv.unset"}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(key) + ": " + c.name);
            std::string def_copy = c.def ? c.def : "";
            int ret = -1;
            EXPECT_EQ(get(key, c.def ? def_copy.c_str() : nullptr, &ret), c.expected);
            EXPECT_EQ(ret, static_cast<int>(c.expected.size()));
            // An empty value counts as unset and clears an earlier one.
            ASSERT_EQ(property_set(key, "was-set"), 0);
            ASSERT_EQ(property_set(key, ""), 0);
            EXPECT_EQ(get(key, c.def ? def_copy.c_str() : nullptr), c.expected);
        }
    }
    EXPECT_TRUE(list_dir(store_).empty()) << "cleared persistent key left a file";
}

TEST_F(PropertyStore, BadKeysAndValuesAreRefusedWithoutTouchingFiles) {
    const char* bad_keys[] = {
        "",
        "k1234567890123456789012345678901",  // 32 characters
        "persist.../../escape",
        "persist./etc",
        "../persist.x",
        "persist..x",
        "..",
        "persist.a b",
        "persist.a\nb",
        "persist.a*",
        "persist.\xc3\xa9",
        "/tmp/abs",
    };
    for (const char* key : bad_keys) {
        SCOPED_TRACE(::testing::PrintToString(std::string(key)));
        EXPECT_LT(property_set(key, "v"), 0);
        EXPECT_EQ(get(key, "def"), "def");
    }
    EXPECT_LT(property_set(nullptr, "v"), 0);
    EXPECT_EQ(get(nullptr, "def"), "def");

    // A value of 92 bytes is refused and the previous value kept.
    for (const char* key : {"krv.test.v", "persist.krv.v"}) {
        SCOPED_TRACE(key);
        ASSERT_EQ(property_set(key, "old"), 0);
        EXPECT_LT(property_set(key, k92.c_str()), 0);
        EXPECT_LT(property_set(key, nullptr), 0);
        EXPECT_EQ(get(key), "old");
    }
    EXPECT_LT(property_get("krv.test.v", nullptr, "def"), 0);

    // Only the temp root's own store exists, holding only the valid key.
    EXPECT_EQ(list_dir(root_), std::vector<std::string>{"store"});
    EXPECT_EQ(list_dir(store_), std::vector<std::string>{"persist.krv.v"});
}

TEST_F(PropertyStore, PersistentKeysSurviveAcrossProcessesOthersDoNot) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int ok = property_set("persist.krv.nav", "disable") == 0 && property_set("krv.test.volatile", "child") == 0;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(get("persist.krv.nav"), "disable");
    EXPECT_EQ(get("krv.test.volatile", "none"), "none");

    ASSERT_EQ(property_set("persist.krv.nav", "enable"), 0);
    pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        char buf[PROPERTY_VALUE_MAX] = {};
        int r = property_get("persist.krv.nav", buf, nullptr);
        _exit(r == 6 && strcmp(buf, "enable") == 0 ? 0 : 1);
    }
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    // The store directory is read per call: a new one starts empty.
    std::string other = root_ + "/other/nested";
    ASSERT_EQ(setenv("KRV_PROPERTY_DIR", other.c_str(), 1), 0);
    EXPECT_EQ(get("persist.krv.nav"), "");
    ASSERT_EQ(property_set("persist.krv.nav", "elsewhere"), 0);
    EXPECT_EQ(list_dir(other), std::vector<std::string>{"persist.krv.nav"});
    ASSERT_EQ(setenv("KRV_PROPERTY_DIR", store_.c_str(), 1), 0);
    EXPECT_EQ(get("persist.krv.nav"), "enable");
}

TEST_F(PropertyStore, ReplacementIsAtomicForConcurrentReaders) {
    const std::string a(91, 'a');
    const std::string b(91, 'b');
    ASSERT_EQ(property_set("persist.krv.atomic", a.c_str()), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        for (int i = 0; i < 300; ++i) {
            if (property_set("persist.krv.atomic", (i % 2 ? a : b).c_str()) != 0) _exit(1);
        }
        _exit(0);
    }
    int bad = 0;
    int reads = 0;
    for (;;) {
        std::string v = get("persist.krv.atomic");
        ++reads;
        if (v != a && v != b) ++bad;
        int status = 0;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
            break;
        }
        ASSERT_EQ(done, 0);
    }
    EXPECT_EQ(bad, 0) << "of " << reads << " reads";
    EXPECT_EQ(list_dir(store_), std::vector<std::string>{"persist.krv.atomic"}) << "temporary files left behind";
}

TEST_F(PropertyStore, ConcurrentThreadsKeepTheirOwnValues) {
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &failures] {
            std::string key = "krv.thread." + std::to_string(t);
            std::string pkey = "persist.krv.thread." + std::to_string(t);
            for (int i = 0; i < 200; ++i) {
                std::string v = std::to_string(t) + ":" + std::to_string(i);
                char buf[PROPERTY_VALUE_MAX];
                if (property_set(key.c_str(), v.c_str()) != 0 || property_get(key.c_str(), buf, "") < 0 || v != buf)
                    ++failures[t];
                if (i % 20 == 0 &&
                    (property_set(pkey.c_str(), v.c_str()) != 0 || property_get(pkey.c_str(), buf, "") < 0 || v != buf))
                    ++failures[t];
            }
            property_set(key.c_str(), "");
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}

TEST_F(PropertyStore, FullTableRefusesNewKeysButKeepsExistingOnes) {
    std::vector<std::string> keys;
    int rc = 0;
    for (int i = 0; i < 10000 && rc == 0; ++i) {
        keys.push_back("krv.fill." + std::to_string(i));
        rc = property_set(keys.back().c_str(), keys.back().c_str());
    }
    EXPECT_EQ(rc, -ENOSPC);
    keys.pop_back();
    ASSERT_FALSE(keys.empty());
    EXPECT_EQ(get(keys.front().c_str()), keys.front());
    EXPECT_EQ(property_set(keys.front().c_str(), "updated"), 0) << "existing key must stay writable";
    EXPECT_EQ(get(keys.front().c_str()), "updated");
    EXPECT_EQ(property_set("persist.krv.still.ok", "1"), 0);
    for (const auto& k : keys) EXPECT_EQ(property_set(k.c_str(), ""), 0);
    EXPECT_EQ(property_set("krv.fill.after", "1"), 0) << "cleared slots are reused";
    property_set("krv.fill.after", "");
}

}  // namespace
