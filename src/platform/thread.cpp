// Thread identity, sleeping and the monotonic clock.
#include <time.h>

#include <atomic>
#include <cerrno>

#include "platform/platform.h"

namespace mdnio::platform {

ThreadId currentThreadId() {
    // A counter rather than gettid(): kernel thread ids are reused once a thread ends, and an
    // owner recorded by the call frame must never be mistaken for a later thread.
    static std::atomic<ThreadId> next{1};
    thread_local const ThreadId id = next.fetch_add(1, std::memory_order_relaxed);
    return id;
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
