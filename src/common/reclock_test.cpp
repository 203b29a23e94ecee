// Record locks at 64-bit offsets: where each lock lies as another open of the file sees it.
// Offsets below 2^31 must lock the bytes they always locked (other processes still running an
// older build wait on those); larger ones must neither reach the deny byte nor fold onto a
// small offset.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/reclock.h"
#include "fake_engine.h"
#include "frame/frame.h"
#include "testutil.h"

using namespace mdnio;

namespace {

// Both descriptors come from an ordinary open, which holds the deny byte shared.
class RecordLockPlaces : public ::testing::Test {
  protected:
    void SetUp() override {
        env = MDK_AllocEnv();
        env->lockOptions = MDK_LOCK_NOWAIT_RECORD;  // a busy lock answers 23 at once
        const std::string path = dir.file("data.dat");
        test::writeFile(path, std::string(4096, 'x'));
        shared = new MdkSharedFile();
        shared->fd = platform::openFile(path.c_str(), platform::Access::ReadWrite, false, nullptr);
        other = platform::openFile(path.c_str(), platform::Access::ReadWrite, false, nullptr);
        ASSERT_GE(shared->fd, 0);
        ASSERT_GE(other, 0);
        file = test::openFake(env, "a", &log, shared);
    }
    void TearDown() override {
        releaseTransient(file, locks);
        releaseHeld(file, locks, kReleaseAll);
        platform::closeFile(other);
        platform::closeFile(shared->fd);
        shared->fd = -1;
        MDK_close(file);
        MDK_DeAllocEnv(env);
    }
    // Whether the other open of the file finds the byte at `at` locked.
    bool lockedAt(uint64_t at) { return platform::rangeLockedByOther(other, at, 1); }

    test::TempDir dir;
    MdkEnv* env = nullptr;
    MdkSharedFile* shared = nullptr;
    MdkFile* file = nullptr;
    int other = -1;
    std::vector<std::string> log;
    RecordLocks locks;
};

constexpr uint64_t k2p31 = uint64_t{1} << 31;
constexpr uint64_t k2p32 = uint64_t{1} << 32;

struct Place {
    uint64_t offset;
    uint64_t lockedByte;  // where another open finds the lock
    uint64_t freeByte;    // a byte the lock must not cover
};

const Place kPlaces[] = {
    {0x10, platform::kLockBase + 0x10, kHighLockBase + 0x10},
    {k2p31 - 1, platform::kLockBase + k2p31 - 1, kHighLockBase + k2p31 - 1},
    // Past 2^31 the low region would put the lock on the deny byte, which the other open holds:
    // the lock would be busy.
    {k2p31, kHighLockBase + k2p31, platform::kLockBase},
    // Past 2^32 a 32-bit offset would fold onto offset 0x10.
    {k2p32 + 0x10, kHighLockBase + k2p32 + 0x10, platform::kLockBase + 0x10},
};

TEST_F(RecordLockPlaces, EachOffsetLocksItsOwnByteOnly) {
    for (const Place& p : kPlaces) {
        SCOPED_TRACE(p.offset);
        EXPECT_EQ(recordLockAt(p.offset), p.lockedByte);
        ASSERT_EQ(lockRecord(file, locks, p.offset, 1), 0);
        EXPECT_TRUE(lockedAt(p.lockedByte));
        EXPECT_FALSE(lockedAt(p.freeByte));
        releaseTransient(file, locks);
        EXPECT_FALSE(lockedAt(p.lockedByte));
    }
}

TEST_F(RecordLockPlaces, HeldLocksAreReleasedByTheirFullOffset) {
    // Two held locks whose offsets agree in their low 32 bits.
    ASSERT_EQ(lockRecord(file, locks, 0x10, 1), 0);
    keepTransient(file, locks);
    ASSERT_EQ(lockRecord(file, locks, k2p32 + 0x10, 1), 0);
    keepTransient(file, locks);
    EXPECT_TRUE(isHeld(locks, k2p32 + 0x10));
    releaseHeld(file, locks, k2p32 + 0x10);
    EXPECT_FALSE(isHeld(locks, k2p32 + 0x10));
    EXPECT_TRUE(isHeld(locks, 0x10));
    EXPECT_FALSE(lockedAt(kHighLockBase + k2p32 + 0x10));
    EXPECT_TRUE(lockedAt(platform::kLockBase + 0x10));
}

TEST_F(RecordLockPlaces, EachHandleReleasesOnlyTheLocksItKept) {
    // Two more handles of the same shared file.  A handle that gave back its last lock leaves
    // its place to the next one that keeps a lock, which must not take over anything.
    MdkFile* second = test::openFake(env, "b", &log, shared);
    MdkFile* third = test::openFake(env, "c", &log, shared);
    auto keep = [&](MdkFile* who, uint64_t offset) {
        ASSERT_EQ(lockRecord(who, locks, offset, 1), 0);
        keepTransient(who, locks);
    };
    keep(file, 0x10);
    keep(second, 0x20);
    keep(second, k2p32 + 0x30);
    releaseHeld(second, locks, kReleaseAll);
    EXPECT_FALSE(isHeld(locks, 0x20));
    EXPECT_FALSE(isHeld(locks, k2p32 + 0x30));
    EXPECT_FALSE(lockedAt(platform::kLockBase + 0x20));
    EXPECT_FALSE(lockedAt(kHighLockBase + k2p32 + 0x30));
    keep(third, 0x40);
    releaseHeld(second, locks, kReleaseAll);  // holds nothing: nothing goes
    EXPECT_TRUE(isHeld(locks, 0x10));
    EXPECT_TRUE(isHeld(locks, 0x40));
    releaseHeld(file, locks, 0x40);  // another handle's lock
    EXPECT_TRUE(isHeld(locks, 0x40));
    releaseHeld(third, locks, kReleaseAll);
    EXPECT_FALSE(isHeld(locks, 0x40));
    EXPECT_TRUE(isHeld(locks, 0x10));
    EXPECT_TRUE(lockedAt(platform::kLockBase + 0x10));
    MDK_close(third);
    MDK_close(second);
}

TEST_F(RecordLockPlaces, AHighTransientLockIsNotReleasedWithTheHeaderLock) {
    // The header lock and a transient lock go back in one call only when both lie in the low
    // region; a high record lock is given back on its own.
    ASSERT_EQ(lockRecord(file, locks, k2p31 + 0x10, 1), 0);
    EXPECT_FALSE(releaseTransientWith(file, locks, 0x100, 1));
    EXPECT_TRUE(lockedAt(kHighLockBase + k2p31 + 0x10));
    ASSERT_EQ(lockRecord(file, locks, 0x400, 1), 0);  // gives the high one back
    EXPECT_FALSE(lockedAt(kHighLockBase + k2p31 + 0x10));
    ASSERT_EQ(platform::lockRange(shared->fd, platform::kLockBase + 0x100, 1),
              platform::LockResult::Ok);
    EXPECT_TRUE(releaseTransientWith(file, locks, 0x100, 1));
    EXPECT_FALSE(lockedAt(platform::kLockBase + 0x100));
    EXPECT_FALSE(lockedAt(platform::kLockBase + 0x400));
}

}  // namespace
