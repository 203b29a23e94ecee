// Thread identity, sleeping and the monotonic clock.
#include <time.h>

#include <atomic>
#include <cerrno>

#include "platform/platform.h"

namespace mdnio::platform {

namespace detail {
ThreadId assignThreadId() {
    // A counter rather than gettid(): kernel thread ids are reused once a thread ends, and an
    // owner recorded by the call frame must never be mistaken for a later thread.
    static std::atomic<ThreadId> next{1};
    tThreadId = next.fetch_add(1, std::memory_order_relaxed);
    return tThreadId;
}
}  // namespace detail

void RecursiveMutex::waitForLock(uint32_t seen) {
    // Mark the lock as having sleepers before sleeping, so that its holder wakes one of them.
    if (seen != 2) seen = state_.exchange(2, std::memory_order_acquire);
    while (seen != 0) {
        state_.wait(2, std::memory_order_relaxed);
        seen = state_.exchange(2, std::memory_order_acquire);
    }
}

void RecursiveMutex::wakeOne() {
    state_.notify_one();
}

void sleepMs(int ms) {
    if (ms <= 0) return;
    struct timespec left;
    left.tv_sec = ms / 1000;
    left.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

int64_t monotonicSeconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec);
}

}  // namespace mdnio::platform
