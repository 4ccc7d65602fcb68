// The two exported thread control blocks and their start arguments; a
// worker's creation, and the wait for one that is ending.
#include "core/thread_block.h"

#include <stddef.h>
#include <time.h>

#include "core/wake_channel.h"

extern "C" {
ThreadControlBlock gFingerprintVarNav;
ThreadControlBlock gFingerprintVarNavCtl;
ThreadParamBlock gFingerprintParamNav;
ThreadParamBlock gFingerprintParamNavCtl;
}

static_assert(offsetof(ThreadControlBlock, state) == 16, "state sits at offset 16");
static_assert(sizeof(ThreadParamBlock) == 24, "the parameter block is 24 bytes");
static_assert(sizeof(FramePair) == 18433, "a frame pair is 18433 bytes");
static_assert(sizeof(FrameInfo) == 12, "a frame summary is 12 bytes");
static_assert(sizeof(ThreadControlBlock::state) == 4 && krv::always_lock_free<int32_t>() &&
                  offsetof(ThreadControlBlock, state) % alignof(int32_t) == 0,
              "state is a lock-free 32-bit atomic word");
static_assert(krv::always_lock_free<pthread_t>() && offsetof(ThreadControlBlock, thread) % alignof(pthread_t) == 0,
              "the handle word is lock-free");
static_assert(offsetof(ThreadControlBlock, thread) == (sizeof(pthread_t) == 8 ? 24 : 20),
              "the handle word follows state, after 4 bytes of padding on 64-bit targets");
#if defined(__ANDROID__) && !defined(__LP64__)
static_assert(sizeof(ThreadControlBlock) == 40, "the control block is 40 bytes on the 32-bit target");
#endif
#if defined(__ANDROID__) && defined(__LP64__)
static_assert(sizeof(ThreadControlBlock) == 168, "the control block is 168 bytes on the 64-bit target");
#endif

namespace krv {

std::atomic<bool> gNavEnding{false};
std::atomic<bool> gCtlEnding{false};

namespace {
constexpr long long kEndingWaitMs = 3000;  // an ending worker finishes within microseconds
constexpr long kEndingPollNs = 2000000;

// Taken around a worker's creation and the store of its handle, and by the
// worker to clear the handle as it ends. One per block.
pthread_mutex_t gNavCreation = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t gCtlCreation = PTHREAD_MUTEX_INITIALIZER;

pthread_mutex_t& creation_lock(const ThreadControlBlock& b) {
    return &b == &gFingerprintVarNav ? gNavCreation : gCtlCreation;
}

bool cancel_pending(const ThreadControlBlock& b) { return load_state(b) == STATE_CANCEL && has_thread(b); }
}  // namespace

int create_worker(ThreadControlBlock& block, void* (*body)(void*), void* arg) {
    pthread_mutex_t& lock = creation_lock(block);
    pthread_mutex_lock(&lock);
    int err = 0;
    if (!has_thread(block)) {
        pthread_t tid;
        err = pthread_create(&tid, nullptr, body, arg);
        if (err == 0) atomic_store(block.thread, tid);
    }
    pthread_mutex_unlock(&lock);
    return err;
}

void clear_thread(ThreadControlBlock& b) {
    pthread_mutex_t& lock = creation_lock(b);
    pthread_mutex_lock(&lock);
    atomic_store(b.thread, pthread_t{});
    pthread_mutex_unlock(&lock);
}

bool store_state_unless_cancelled(ThreadControlBlock& b, int32_t s, int32_t* before) {
    int32_t state = load_state(b);
    do {
        if (state == STATE_CANCEL && has_thread(b)) return false;
    } while (!atomic_compare_exchange(b.state, state, s));
    if (before != nullptr) *before = state;
    return true;
}

bool navigation_thread_ending() { return gNavEnding.load() || cancel_pending(gFingerprintVarNav); }

bool control_thread_ending() { return gCtlEnding.load() || cancel_pending(gFingerprintVarNavCtl); }

void await_ending_worker(ThreadControlBlock& block, bool (*ending)()) {
    const WakeDeadline until = monotonic_deadline_after(kEndingWaitMs);
    while (!monotonic_deadline_passed(until)) {
        if (!has_thread(block) || !ending()) return;
        // The worker releases threadLock as its last act.
        if (pthread_mutex_trylock(&block.threadLock) == 0) {
            pthread_mutex_unlock(&block.threadLock);
            if (!has_thread(block)) return;
        }
        struct timespec pause = {0, kEndingPollNs};
        nanosleep(&pause, nullptr);
    }
}

}  // namespace krv
