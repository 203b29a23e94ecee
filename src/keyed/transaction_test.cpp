// Transactions on classic files: a rollback leaves the file as it was, byte for byte; a commit
// makes everything visible at once; closes inside a transaction finish at its end; a commit
// that stopped half-way is recovered at the next open.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>

#include <cstring>
#include <string>
#include <vector>

#include "frame/frame.h"
#include "keyed/format.h"
#include "keyed/testing.h"
#include "platform/platform.h"
#include "testutil.h"

using namespace mdnio;
using namespace mdnio::keyed;
using namespace mdnio::keyed::test;

namespace {

constexpr char kSep = static_cast<char>(0x8A);

std::string keyOf(int n) {
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08d", n);
    return buf;
}

// Lock calls that take a record's lock (not the header's, not the open's byte).
int gRecordLocks = 0;
int countingLock(int fd, int cmd, struct flock* lock) {
    const auto at = static_cast<uint64_t>(lock->l_start);
    if (cmd == F_OFD_SETLK && lock->l_type != F_UNLCK &&
        at != platform::kLockBase + kHeaderLockOffset && at != platform::kDenyByte)
        gRecordLocks++;
    return platform::defaultSysCalls().fcntlLock(fd, cmd, lock);
}

// In a process of its own: 0 when the record lock at the address is busy, 1 when it is free.
int recordLockFree(void* arg) {
    auto* args = static_cast<std::pair<std::string, uint32_t>*>(arg);
    platform::OpenResult why;
    int fd = platform::openFile(args->first.c_str(), platform::Access::ReadWrite, false, &why);
    if (fd < 0) return 2;
    platform::LockResult r = platform::probeRange(fd, platform::kLockBase + args->second, 1, true);
    return r == platform::LockResult::Busy ? 0 : 1;
}

class Transactions : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        path = dir.file("tx.dat");
        build(path, layout(GetParam(), 1024, 60, 8,
                           {{{seg(common::kKeyAreaField, 0, 8)}}, {{seg(1, 0, 12)}}}));
        env = MDK_AllocEnv();
        file = MDK_OpenExt(env, path.c_str(), nullptr, 0, 0, nullptr);
        ASSERT_NE(file, MDK_INVALID_FILE);
    }
    void TearDown() override {
        MDK_DeAllocEnv(env);
        expectSound(path);
    }
    int32_t put(int n, const std::string& name, MdkFile* f = nullptr) {
        std::string key = keyOf(n);
        std::string data = name + kSep + "tail";
        return MDK_write(f ? f : file, data.data(), static_cast<int32_t>(data.size()), key.data(),
                         8);
    }
    int32_t remove(int n) { return MDK_remove(file, keyOf(n).data(), 8); }
    // Inserts record n with a write that keeps its lock (0x1000) while record lock calls are
    // counted: exactly one must be taken.  Answers the record's address.
    uint32_t insertKeepingItsLock(int n) {
        gRecordLocks = 0;
        platform::sys().fcntlLock = countingLock;
        std::string data = std::string("kept") + kSep + "tail";
        EXPECT_EQ(MDK_ExtWrite(file, data.data(), static_cast<int32_t>(data.size()),
                               keyOf(n).data(), 8, MDK_WRITE_INSERT | 0x1000, 0),
                  0);
        EXPECT_EQ(gRecordLocks, 1);
        platform::resetSysCalls();
        return static_cast<uint32_t>(MDK_getpos(file));
    }
    bool has(int n, MdkFile* f = nullptr) {
        return MDK_seek(f ? f : file, keyOf(n).data(), 8, 1) == 0;
    }
    mdnio::test::TempDir dir;
    std::string path;
    MdkEnv* env = nullptr;
    MdkFile* file = MDK_INVALID_FILE;
};

TEST_P(Transactions, RollbackLeavesTheFileAsItWas) {
    for (int i = 0; i < 120; i++)
        ASSERT_EQ(put(i, "name" + std::to_string(i)), 0);
    for (int i = 0; i < 120; i += 3)
        ASSERT_EQ(remove(i), 0);  // deleted slots, free space
    std::vector<uint8_t> before = mdnio::test::readFile(path);

    ASSERT_EQ(MDK_BeginTX(env), 0);
    for (int i = 200; i < 320; i++)
        ASSERT_EQ(put(i, "new" + std::to_string(i)), 0);
    for (int i = 1; i < 120; i += 3)
        ASSERT_EQ(put(i, "changed"), 0);
    for (int i = 2; i < 120; i += 3)
        ASSERT_EQ(remove(i), 0);
    EXPECT_TRUE(has(250));
    ASSERT_EQ(MDK_RollbackTX(env), 0);

    std::vector<uint8_t> after = mdnio::test::readFile(path);
    ASSERT_GE(after.size(), before.size());
    EXPECT_TRUE(std::equal(before.begin(), before.end(), after.begin()));
    for (size_t i = before.size(); i < after.size(); i++)
        ASSERT_EQ(after[i], 0) << i;
    EXPECT_FALSE(has(250));
    EXPECT_TRUE(has(2));
    EXPECT_EQ(MDGetEnvMode(file, -4), 80);
    expectSound(path);
    // The deleted-slot chain and the free space are as they were: new inserts reuse them.
    for (int i = 400; i < 500; i++)
        ASSERT_EQ(put(i, "later"), 0) << MDK_strerr(file);
    EXPECT_EQ(MDGetEnvMode(file, -4), 180);
}

TEST_P(Transactions, CommitMakesEverythingVisibleAtOnce) {
    ASSERT_EQ(put(1, "one"), 0);
    MdkEnv* other = MDK_AllocEnv();
    ASSERT_EQ(MDSetEnvMode(other, 3, 0x0C), 0);
    MdkFile* reader = MDK_OpenExt(other, path.c_str(), nullptr, 0, 0, nullptr);
    ASSERT_NE(reader, MDK_INVALID_FILE);
    ASSERT_EQ(MDK_BeginTX(env), 0);
    for (int i = 2; i < 40; i++)
        ASSERT_EQ(put(i, "tx"), 0);
    ASSERT_EQ(remove(1), 0);
    // Another environment is kept out of changing the file and sees none of the transaction.
    EXPECT_EQ(put(99, "intruder", reader), -1);
    EXPECT_EQ(MDK_geterrno(reader), MDK_E_HEADERBUSY);
    EXPECT_TRUE(has(1, reader));
    EXPECT_FALSE(has(2, reader));
    ASSERT_EQ(MDK_CommitTX(env), 0);
    EXPECT_FALSE(has(1, reader));
    EXPECT_TRUE(has(39, reader));
    EXPECT_EQ(MDGetEnvMode(reader, -4), 38);
    EXPECT_EQ(put(99, "welcome", reader), 0);
    MDK_DeAllocEnv(other);
}

// A commit of more than a megabyte of new records, mixed with changes to records from before
// the transaction: the commit writes them in runs, and another environment must then read every
// record as it was left, and none of the removed ones.
TEST_P(Transactions, ALargeCommitWritesEveryChange) {
    for (int i = 0; i < 300; i++)
        ASSERT_EQ(put(i, "before"), 0);
    ASSERT_EQ(MDK_BeginTX(env), 0);
    constexpr int kRecords = 16000;
    for (int i = 300; i < kRecords; i++)
        ASSERT_EQ(put(i, "n" + std::to_string(i)), 0);
    for (int i = 0; i < 300; i += 7)
        ASSERT_EQ(remove(i), 0);
    for (int i = 1; i < kRecords; i += 997) {
        if (i % 7 != 0) {
            ASSERT_EQ(put(i, "changed"), 0);
        }
    }
    ASSERT_EQ(MDK_CommitTX(env), 0);

    MdkEnv* other = MDK_AllocEnv();
    MdkFile* reader = MDK_OpenExt(other, path.c_str(), nullptr, 0, 0, nullptr);
    ASSERT_NE(reader, MDK_INVALID_FILE);
    char buf[128];
    for (int i = 0; i < kRecords; i++) {
        bool removed = i < 300 && i % 7 == 0;
        ASSERT_EQ(has(i, reader), !removed) << i;
        if (removed) continue;
        int32_t n = MDK_read(reader, buf, sizeof buf, MDK_READ_CURRENT);
        ASSERT_GT(n, 8) << i;
        std::string name(buf + 8, static_cast<size_t>(n - 8));
        name = name.substr(0, name.find(kSep));
        std::string want = i % 997 == 1 && i % 7 != 0 ? "changed"
                           : i < 300                  ? "before"
                                                      : "n" + std::to_string(i);
        ASSERT_EQ(name, want) << i;
    }
    MDK_DeAllocEnv(other);
}

TEST_P(Transactions, CloseInsideATransactionEndsAtCommit) {
    MdkFile* second = MDK_OpenExt(env, path.c_str(), nullptr, 0, 0, nullptr);
    ASSERT_EQ(MDK_BeginTX(env), 0);
    ASSERT_EQ(put(5, "five", second), 0);
    EXPECT_EQ(MDK_close(second), 0);
    EXPECT_EQ(MDK_getpos(second), -1);
    EXPECT_EQ(MDK_geterrno(second), MDK_E_HANDLE);
    EXPECT_EQ(MDK_CommitTX(env), 0);
    int handles = 0;
    for (MdkFile* f = env->openFiles; f; f = f->next)
        handles++;
    EXPECT_EQ(handles, 1);
    EXPECT_TRUE(has(5));
}

TEST_P(Transactions, RollbackAfterTheCloseOfTheLastHandle) {
    ASSERT_EQ(put(1, "kept"), 0);
    std::vector<uint8_t> before = mdnio::test::readFile(path);
    ASSERT_EQ(MDK_BeginTX(env), 0);
    ASSERT_EQ(put(2, "dropped"), 0);
    ASSERT_EQ(MDK_close(file), 0);
    ASSERT_EQ(MDK_RollbackTX(env), 0);
    EXPECT_EQ(env->openFiles, nullptr);
    std::vector<uint8_t> after = mdnio::test::readFile(path);
    EXPECT_TRUE(std::equal(before.begin(), before.end(), after.begin()));
    file = MDK_OpenExt(env, path.c_str(), nullptr, 0, 0, nullptr);
    EXPECT_TRUE(has(1));
    EXPECT_FALSE(has(2));
}

TEST_P(Transactions, AnInterruptedCommitIsRecoveredAtOpen) {
    ASSERT_EQ(put(1, "one"), 0);
    MDK_close(file);
    file = MDK_INVALID_FILE;
    std::vector<uint8_t> bytes = mdnio::test::readFile(path);
    uint32_t counter = getCounter(bytes.data());
    bytes[kOffFlagsB] |= kCommitting;
    mdnio::test::writeFile(path, bytes);
    file = MDK_OpenExt(env, path.c_str(), nullptr, 0, 0, nullptr);
    ASSERT_NE(file, MDK_INVALID_FILE);
    auto header = reinterpret_cast<const uint8_t*>(MDGetEnvMode(file, -1));
    EXPECT_EQ(getCounter(header), counter - 1);
    EXPECT_EQ(header[kOffFlagsB] & kCommitting, 0);
    ASSERT_EQ(put(2, "two"), 0);
    MDK_close(file);
    file = MDK_INVALID_FILE;
    bytes = mdnio::test::readFile(path);
    EXPECT_EQ(bytes[kOffFlagsB] & kCommitting, 0);
}

TEST_P(Transactions, AFailedCallInsideATransactionIsNotCommitted) {
    ASSERT_EQ(put(1, "one"), 0);
    ASSERT_EQ(MDK_BeginTX(env), 0);
    ASSERT_EQ(put(2, "two"), 0);
    // A duplicate is refused before anything changes: the transaction goes on.
    EXPECT_EQ(MDK_insert(file, "x", 1, keyOf(2).data(), 8), -1);
    ASSERT_EQ(put(3, "three"), 0);
    EXPECT_EQ(MDK_CommitTX(env), 0);
    EXPECT_TRUE(has(2));
    EXPECT_TRUE(has(3));
}

// A disk that is full: writes that would make a file longer fail.
ssize_t noGrowth(int fd, const void* buf, size_t n, off_t off) {
    struct stat st;
    if (fstat(fd, &st) == 0 && off + static_cast<off_t>(n) > st.st_size) {
        errno = ENOSPC;
        return -1;
    }
    return platform::defaultSysCalls().pwrite(fd, buf, n, off);
}

TEST_P(Transactions, AHalfDoneCallMakesTheCommitFailAndRollBack) {
    ASSERT_EQ(put(1, "one"), 0);
    std::vector<uint8_t> before = mdnio::test::readFile(path);
    ASSERT_EQ(MDK_BeginTX(env), 0);
    ASSERT_EQ(put(2, "two"), 0);
    platform::sys().pwrite = noGrowth;
    int32_t rc = 0;
    for (int i = 3; i < 500 && rc == 0; i++)
        rc = put(i, "name" + std::to_string(i));
    platform::resetSysCalls();
    ASSERT_EQ(rc, -1);
    EXPECT_EQ(MDK_CommitTX(env), -1);
    EXPECT_EQ(MDK_geterrno(file), MDK_E_WRITE);
    std::vector<uint8_t> after = mdnio::test::readFile(path);
    EXPECT_TRUE(std::equal(before.begin(), before.end(), after.begin()));
    EXPECT_TRUE(has(1));
    EXPECT_FALSE(has(2));
    EXPECT_EQ(put(3, "after"), 0);
}

// Inside a transaction the records a write adds take no lock: the transaction holds the header
// and nothing of them is on disk before the commit.  A record that exists is still locked when
// it is changed, and a write that keeps its lock (0x1000) takes it and holds it after the call.
TEST_P(Transactions, RecordsAddedInATransactionAreLockedOnlyWhenTheWriteKeepsTheLock) {
    ASSERT_EQ(put(1, "one"), 0);
    ASSERT_EQ(MDK_BeginTX(env), 0);
    gRecordLocks = 0;
    platform::sys().fcntlLock = countingLock;
    for (int i = 2; i < 60; i++)
        ASSERT_EQ(put(i, "name" + std::to_string(i)), 0);
    EXPECT_EQ(gRecordLocks, 0);
    ASSERT_EQ(put(1, "changed"), 0);  // the committed record is locked while it changes
    EXPECT_GT(gRecordLocks, 0);
    std::pair<std::string, uint32_t> args{path, insertKeepingItsLock(70)};
    EXPECT_EQ(mdnio::test::runInChild(recordLockFree, &args), 0);  // held after the call
    ASSERT_EQ(MDK_CommitTX(env), 0);
    EXPECT_EQ(mdnio::test::runInChild(recordLockFree, &args), 1);  // the commit gave it back
    for (int i = 1; i < 60; i++)
        EXPECT_TRUE(has(i)) << i;
    EXPECT_TRUE(has(70));
}

// Outside a transaction, block mode adds records without locking them (the header lock covers
// them until the blocks that lead to them are written); slot mode still locks each new slot, as
// it refuses a slot another process holds.  A write that keeps its lock takes it either way, and
// a change of an existing record always locks it.
TEST_P(Transactions, RecordsAddedOutsideATransactionAreLockedInSlotModeOrWhenKept) {
    const bool blockMode = GetParam();
    gRecordLocks = 0;
    platform::sys().fcntlLock = countingLock;
    for (int i = 1; i < 40; i++)
        ASSERT_EQ(put(i, "name" + std::to_string(i)), 0);
    EXPECT_EQ(gRecordLocks, blockMode ? 0 : 39);
    gRecordLocks = 0;
    ASSERT_EQ(put(7, "changed"), 0);
    EXPECT_EQ(gRecordLocks, 1);
    std::pair<std::string, uint32_t> args{path, insertKeepingItsLock(70)};
    EXPECT_EQ(mdnio::test::runInChild(recordLockFree, &args), 0);  // held after the call
    ASSERT_EQ(MDK_UnlockRecord(file, -1), 0);
    EXPECT_EQ(mdnio::test::runInChild(recordLockFree, &args), 1);
    for (int i = 1; i < 40; i++)
        EXPECT_TRUE(has(i)) << i;
}

INSTANTIATE_TEST_SUITE_P(Storage, Transactions, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "block" : "slot"; });

}  // namespace
