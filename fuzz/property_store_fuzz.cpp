// Arbitrary keys and values through the host property service, compared
// with a plain map of what must be stored.
//
// Input: a list of operations, each an op byte, a key (length byte, then
// bytes) and, for a set, a value (length byte, then bytes). Keys and values
// are C strings: a NUL byte ends them early. Every input starts from an
// empty store.
#include <cutils/properties.h>
#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <memory>
#include <string>

#include "fuzz_check.h"

namespace {

constexpr size_t kKeyMax = PROPERTY_KEY_MAX - 1;      // 31
constexpr size_t kValueMax = PROPERTY_VALUE_MAX - 1;  // 91
constexpr size_t kTableSlots = 256;                   // keys kept in memory
const std::string kPersist = "persist.";

struct Reader {
    const uint8_t* p;
    size_t left;
    bool take(uint8_t& b) {
        if (left == 0) return false;
        b = *p++;
        --left;
        return true;
    }
    // A length byte (mod `limit`) and that many bytes; a C string of them.
    std::string text(size_t limit) {
        uint8_t len = 0;
        if (!take(len)) return "";
        size_t n = len % limit;
        if (n > left) n = left;
        std::string s(reinterpret_cast<const char*>(p), n);
        p += n;
        left -= n;
        return std::string(s.c_str());
    }
};

// The rules for a key, written down independently: 1 to 31 characters of
// [A-Za-z0-9._-], and no "..".
bool key_ok(const std::string& k) {
    if (k.empty() || k.size() > kKeyMax || k.find("..") != std::string::npos) return false;
    for (unsigned char c : k)
        if (!isalnum(c) && c != '.' && c != '_' && c != '-') return false;
    return true;
}
bool persistent(const std::string& k) { return k.compare(0, kPersist.size(), kPersist) == 0; }

std::map<std::string, std::string> g_model;

size_t table_count() {
    size_t n = 0;
    for (const auto& [k, v] : g_model) n += !persistent(k);
    return n;
}

int expected_set(const std::string& k, const std::string& v) {
    if (!key_ok(k) || v.size() > kValueMax) return -EINVAL;
    if (v.empty()) return 0;
    if (!persistent(k) && !g_model.count(k) && table_count() >= kTableSlots) return -ENOSPC;
    return 0;
}

void do_set(const std::string& k, const std::string& v) {
    const int want = expected_set(k, v);
    const int got = property_set(k.c_str(), v.c_str());
    FUZZ_CHECK(got == want, "set \"%s\" (%zu bytes) = %zu bytes: got %d, want %d", k.c_str(), k.size(), v.size(), got,
               want);
    if (got == 0) {
        if (v.empty())
            g_model.erase(k);
        else
            g_model[k] = v;
    }
}

void do_get(const std::string& k, const char* def) {
    // Exactly PROPERTY_VALUE_MAX bytes, so that any overrun is caught.
    std::unique_ptr<char[]> buf(new char[PROPERTY_VALUE_MAX]);
    memset(buf.get(), 'z', PROPERTY_VALUE_MAX);
    const int got = property_get(k.c_str(), buf.get(), def);
    std::string want;
    auto it = g_model.find(k);
    if (it != g_model.end())
        want = it->second;
    else if (def != nullptr)
        want = std::string(def).substr(0, kValueMax);
    FUZZ_CHECK(got == static_cast<int>(want.size()), "get \"%s\": length %d, want %zu", k.c_str(), got, want.size());
    FUZZ_CHECK(memchr(buf.get(), '\0', PROPERTY_VALUE_MAX) != nullptr && want == buf.get(),
               "get \"%s\": value \"%.*s\", want \"%s\"", k.c_str(), PROPERTY_VALUE_MAX, buf.get(), want.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Persistent keys go to a fresh directory in memory.
    static char dir[] = "/dev/shm/krv-fuzz-props-XXXXXX";
    if (mkdtemp(dir) == nullptr) abort();
    setenv("KRV_PROPERTY_DIR", dir, 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Every input starts from an empty store.
    for (const auto& [k, v] : std::map<std::string, std::string>(g_model))
        FUZZ_CHECK(property_set(k.c_str(), "") == 0, "clearing \"%s\" failed", k.c_str());
    g_model.clear();

    Reader r{data, size};
    uint8_t op;
    while (r.take(op)) {
        std::string key = r.text(48);
        if (op & 0x80) key = kPersist + key;  // reach the persisted keys often
        switch (op & 7) {
            case 0:
            case 1:
                do_set(key, r.text(128));
                break;
            case 2:
                do_get(key, nullptr);
                break;
            case 3: {
                std::string def = r.text(128);
                do_get(key, def.c_str());
                break;
            }
            case 4:
                do_set(key, "");
                break;
            case 5:  // fill the in-memory table to its limit and one beyond
                for (size_t i = 0; table_count() < kTableSlots + 1 && i < 2 * kTableSlots; ++i)
                    do_set("fill." + std::to_string(i), "x");
                break;
            default:
                do_get(key, "fallback");
                break;
        }
    }
    // Everything the model holds reads back.
    for (const auto& [k, v] : g_model) do_get(k, nullptr);
    return 0;
}
