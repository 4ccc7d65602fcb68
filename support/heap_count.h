// Counts heap allocations (malloc, calloc, realloc, operator new) of the
// whole process while counting is on, and tells the library's from all
// others: an allocation is the library's when the innermost caller outside
// the C and C++ runtime lies in libkrvnav.so (the simulated hardware and
// the benchmark itself live in the executable).
#pragma once

namespace krvheap {

struct HeapCounts {
    long library;
    long other;
};

// Finds the code of the library and of the executable; call once before
// counting, from main.
void heap_setup();
void heap_count(bool on);
HeapCounts heap_counts();
void heap_reset();

}  // namespace krvheap
