// Atomic access to the words that live in the exported C records.
//
// `ThreadControlBlock::state` and `::thread` are plain fields of a C header
// that a host may read and write, so they cannot be std::atomic objects.
// A C++20 atomic reference would do, but libc++ has one only from release
// 19, and Android's toolchains still ship older ones. The compiler's
// __atomic builtins (GCC and clang alike) give the same sequentially
// consistent operations on the plain fields, with no runtime library.
#pragma once

namespace krv {

template <typename T>
inline T atomic_load(const T& word) {
    return __atomic_load_n(&word, __ATOMIC_SEQ_CST);
}

template <typename T>
inline void atomic_store(T& word, T value) {
    __atomic_store_n(&word, value, __ATOMIC_SEQ_CST);
}

// Stores `value` and returns what the word held before.
template <typename T>
inline T atomic_exchange(T& word, T value) {
    return __atomic_exchange_n(&word, value, __ATOMIC_SEQ_CST);
}

// Replaces `expected` with `desired`; on failure `expected` takes the value found.
template <typename T>
inline bool atomic_compare_exchange(T& word, T& expected, T desired) {
    return __atomic_compare_exchange_n(&word, &expected, desired, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

// True when a T at its natural alignment is always lock-free on this target.
template <typename T>
constexpr bool always_lock_free() {
    return __atomic_always_lock_free(sizeof(T), 0);
}

}  // namespace krv
