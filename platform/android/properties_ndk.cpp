// property_get / property_set for NDK builds, on the system-property
// functions that bionic exports to applications.
#include <cutils/properties.h>

#include <string.h>
#include <sys/system_properties.h>

static_assert(PROPERTY_VALUE_MAX == PROP_VALUE_MAX, "values fit the property service's buffers");

extern "C" int property_get(const char* key, char* value, const char* default_value) {
    if (value == nullptr) return -1;
    int len = key != nullptr ? __system_property_get(key, value) : 0;
    if (len > 0) return len;
    if (default_value == nullptr) {
        value[0] = '\0';
        return 0;
    }
    size_t n = strnlen(default_value, PROPERTY_VALUE_MAX - 1);
    memcpy(value, default_value, n);
    value[n] = '\0';
    return static_cast<int>(n);
}

extern "C" int property_set(const char* key, const char* value) {
    if (key == nullptr || value == nullptr) return -1;
    return __system_property_set(key, value) == 0 ? 0 : -1;
}
