// Atomic access to the shared words of a ThreadControlBlock.
#pragma once

#include <pthread.h>

#include <atomic>

#include "base/shared_word.h"
#include "krv_nav.h"

namespace krv {

inline int32_t load_state(const ThreadControlBlock& b) { return atomic_load(b.state); }
inline void store_state(ThreadControlBlock& b, int32_t s) { atomic_store(b.state, s); }

inline bool has_thread(const ThreadControlBlock& b) { return atomic_load(b.thread) != pthread_t{}; }

// Creates a worker for `block` unless one exists. The handle word holds 0
// or the handle of a live worker, never anything else: it is written under
// a creation lock of the block's own, which the worker also takes to clear
// the word as it ends, so a worker that ends at once cannot clear the word
// before its creator has stored it (which would leave a dead thread's handle
// behind), and no placeholder is ever stored. Returns 0 when the block has a
// worker (the new one or the one that was there), otherwise the error
// number of pthread_create (never 0; EPERM is 1).
int create_worker(ThreadControlBlock& block, void* (*body)(void*), void* arg);

// Called by a worker as it ends: the handle word goes back to 0.
void clear_thread(ThreadControlBlock& b);

// Stores `s` into the block's state unless a cancel is pending there: a
// cancel stays until its thread has ended, whatever a stop or start stores
// meanwhile. True when stored; `before` (when given) takes the value the
// word held.
bool store_state_unless_cancelled(ThreadControlBlock& b, int32_t s, int32_t* before = nullptr);

// Set by a worker itself once it has committed to ending (and only then):
// an init that finds such a worker waits for it to finish instead of
// counting on it. Cleared by an init that finds no worker.
extern std::atomic<bool> gNavEnding;
extern std::atomic<bool> gCtlEnding;

// The navigation thread has committed to ending, or has been cancelled: a
// cancel stays while the thread lives, and the thread ends on it.
bool navigation_thread_ending();
// The control thread has committed to ending, or has been cancelled: a
// cancel stays while the thread lives, and the thread ends on it.
bool control_thread_ending();

// Waits (bounded, 3 s on the monotonic clock) until the worker of `block`
// has finished, while `ending` says it is on its way out. Returns when the
// worker is gone, when it turned back, or after the bound.
void await_ending_worker(ThreadControlBlock& block, bool (*ending)());

}  // namespace krv
