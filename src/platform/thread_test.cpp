#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace mdnio::platform {
namespace {

TEST(ThreadId, NonZeroStableAndDistinctPerThread) {
    const ThreadId mine = currentThreadId();
    EXPECT_NE(mine, 0u);
    EXPECT_EQ(currentThreadId(), mine);

    constexpr int kThreads = 8;
    std::vector<ThreadId> first(kThreads), second(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            first[i] = currentThreadId();
            second[i] = currentThreadId();
        });
    }
    for (auto& t : threads)
        t.join();
    std::set<ThreadId> all{mine};
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_NE(first[i], 0u);
        EXPECT_EQ(first[i], second[i]);
        all.insert(first[i]);
    }
    EXPECT_EQ(all.size(), static_cast<size_t>(kThreads + 1));
}

// Threads that ended do not hand their id to later ones.
TEST(ThreadId, NotReusedAfterAThreadEnds) {
    std::set<ThreadId> seen{currentThreadId()};
    for (int i = 0; i < 16; ++i) {
        ThreadId id = 0;
        std::thread([&] { id = currentThreadId(); }).join();
        EXPECT_TRUE(seen.insert(id).second) << "id " << id << " reused";
    }
}

TEST(MonotonicClock, NeverGoesBack) {
    int64_t last = monotonicSeconds();
    for (int i = 0; i < 1000; ++i) {
        int64_t now = monotonicSeconds();
        EXPECT_GE(now, last);
        last = now;
    }
}

TEST(RecursiveMutexTest, ReentersInOwnerAndExcludesOthers) {
    RecursiveMutex m;
    m.lock();
    EXPECT_TRUE(m.tryLock());  // same thread again
    bool otherGotIt = true;
    std::thread([&] { otherGotIt = m.tryLock(); }).join();
    EXPECT_FALSE(otherGotIt);
    m.unlock();
    std::thread([&] { otherGotIt = m.tryLock(); }).join();
    EXPECT_FALSE(otherGotIt);  // still held once
    m.unlock();
    std::thread([&] {
        otherGotIt = m.tryLock();
        if (otherGotIt) m.unlock();
    }).join();
    EXPECT_TRUE(otherGotIt);
}

// Threads that find the mutex held sleep and are woken: with four threads contending, no
// increment made under the lock is lost and none of them hangs.
TEST(RecursiveMutexTest, ContendedLockLosesNoUpdate) {
    RecursiveMutex m;
    int64_t counter = 0;  // plain: only the mutex orders the threads' updates
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; i++) {
                m.lock();
                m.lock();  // re-entered, as the frame does through a second handle
                int64_t seen = counter;
                if (i % 64 == 0) std::this_thread::yield();  // hold it long enough to be found
                counter = seen + 1;
                m.unlock();
                m.unlock();
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, int64_t{kThreads} * kRounds);
}

}  // namespace
}  // namespace mdnio::platform
