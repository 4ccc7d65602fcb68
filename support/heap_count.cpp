#include "support/heap_count.h"

#include <execinfo.h>
#include <link.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <new>

extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
extern "C" void __libc_free(void*);

namespace krvheap {
namespace {

struct Range {
    uintptr_t lo = 0, hi = 0;
};
constexpr int kRanges = 8;
Range g_lib[kRanges], g_exe[kRanges];

std::atomic<bool> g_on{false};
std::atomic<long> g_library{0}, g_other{0};
thread_local bool tl_inside = false;

bool in(const Range* r, uintptr_t a) {
    for (int i = 0; i < kRanges; ++i)
        if (a >= r[i].lo && a < r[i].hi) return true;
    return false;
}

int collect(struct dl_phdr_info* info, size_t, void*) {
    Range* target = nullptr;
    if (info->dlpi_name == nullptr || info->dlpi_name[0] == '\0')
        target = g_exe;
    else if (strstr(info->dlpi_name, "libkrvnav"))
        target = g_lib;
    if (!target || target[0].hi != 0) return 0;  // the executable is listed first
    int n = 0;
    for (int i = 0; i < info->dlpi_phnum && n < kRanges; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD || !(ph.p_flags & PF_X)) continue;
        target[n].lo = info->dlpi_addr + ph.p_vaddr;
        target[n].hi = target[n].lo + ph.p_memsz;
        ++n;
    }
    return 0;
}

// `caller` is the return address into whoever called the allocator.
void note(void* caller) {
    if (!g_on.load(std::memory_order_relaxed) || tl_inside) return;
    tl_inside = true;
    void* frames[48];
    const int n = backtrace(frames, 48);
    int i = 0;
    while (i < n && frames[i] != caller) ++i;
    bool library = false;
    for (; i < n; ++i) {
        const uintptr_t a = reinterpret_cast<uintptr_t>(frames[i]);
        if (in(g_lib, a)) {
            library = true;
            break;
        }
        if (in(g_exe, a)) break;
    }
    (library ? g_library : g_other).fetch_add(1);
    tl_inside = false;
}

}  // namespace

void heap_setup() {
    dl_iterate_phdr(collect, nullptr);
    void* frames[4];
    backtrace(frames, 4);  // loads the unwinder now, not while counting
}
void heap_count(bool on) { g_on = on; }
HeapCounts heap_counts() { return {g_library.load(), g_other.load()}; }
void heap_reset() {
    g_library = 0;
    g_other = 0;
}

}  // namespace krvheap

using krvheap::note;

extern "C" {
__attribute__((noinline)) void* malloc(size_t n) {
    note(__builtin_return_address(0));
    return __libc_malloc(n);
}
__attribute__((noinline)) void* calloc(size_t n, size_t m) {
    note(__builtin_return_address(0));
    return __libc_calloc(n, m);
}
__attribute__((noinline)) void* realloc(void* p, size_t n) {
    note(__builtin_return_address(0));
    return __libc_realloc(p, n);
}
}

namespace {
void* counted_new(size_t n, void* caller) {
    note(caller);
    void* p = __libc_malloc(n ? n : 1);
    if (!p) abort();  // the benchmarks never run out of memory
    return p;
}
}  // namespace

__attribute__((noinline)) void* operator new(size_t n) { return counted_new(n, __builtin_return_address(0)); }
__attribute__((noinline)) void* operator new[](size_t n) { return counted_new(n, __builtin_return_address(0)); }
void operator delete(void* p) noexcept { __libc_free(p); }
void operator delete[](void* p) noexcept { __libc_free(p); }
void operator delete(void* p, size_t) noexcept { __libc_free(p); }
void operator delete[](void* p, size_t) noexcept { __libc_free(p); }
