/* property_get / property_set, declared as the platform's libcutils declares
 * them, for the builds that have no libcutils:
 * - Linux hosts (platform/host): keys beginning with "persist." are stored
 *   one file per key in a state directory ($KRV_PROPERTY_DIR, default
 *   /tmp/krv-properties) and survive the process; all other keys live in a
 *   per-process table. The directory is looked up on every call, so it may
 *   be changed with setenv() as long as no other thread calls
 *   setenv()/getenv() at the same time.
 * - NDK builds (platform/android): the NDK's __system_property_get /
 *   __system_property_set. */
#ifndef KRV_CUTILS_PROPERTIES_H
#define KRV_CUTILS_PROPERTIES_H

#ifdef __cplusplus
extern "C" {
#endif

#define PROPERTY_KEY_MAX 32
#define PROPERTY_VALUE_MAX 92

/* Copies the value of key into value (a buffer of PROPERTY_VALUE_MAX bytes)
 * and returns its length. An unset or empty property yields default_value
 * truncated to PROPERTY_VALUE_MAX - 1 bytes, or "" when it is NULL. */
int property_get(const char* key, char* value, const char* default_value);

/* Sets key to value; an empty value clears the property. Returns 0 or a
 * negative value when the store refuses the write (on hosts a negative errno
 * value, -EINVAL for a malformed key or an over-long value). */
int property_set(const char* key, const char* value);

#ifdef __cplusplus
}
#endif

#endif /* KRV_CUTILS_PROPERTIES_H */
