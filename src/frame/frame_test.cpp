#include "frame/frame.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <future>
#include <thread>

#include "fake_engine.h"
#include "frame/env.h"

using namespace mdnio;
using mdnio::test::FakeFile;
using mdnio::test::openFake;

namespace {

// Answers whether another thread can take the mutex at once (and gives it back).
template <class M>
bool freeForOtherThread(M& m) {
    return std::async(std::launch::async,
                      [&] {
                          if (!m.tryLock()) return false;
                          m.unlock();
                          return true;
                      })
        .get();
}

class FrameTest : public ::testing::Test {
  protected:
    void SetUp() override { env = MDK_AllocEnv(); }
    void TearDown() override { MDK_DeAllocEnv(env); }
    MdkEnv* env = nullptr;
    std::vector<std::string> log;
};

// Every export that runs the call frame, called with a given handle.
const std::vector<std::pair<const char*, std::function<int32_t(MdkFile*)>>> kFrameCalls = {
    {"close", [](MdkFile* f) { return MDK_close(f); }},
    {"read", [](MdkFile* f) { return MDK_read(f, nullptr, 0, 1); }},
    {"ExtReadDirect", [](MdkFile* f) { return MDK_ExtReadDirect(f, nullptr, 0, 1, 0, 0); }},
    {"seek", [](MdkFile* f) { return MDK_seek(f, "k", 1, 1); }},
    {"GetKey", [](MdkFile* f) { return MDK_GetKey(f, nullptr, 0, 0); }},
    {"setpos", [](MdkFile* f) { return MDK_setpos(f, 1); }},
    {"getpos", [](MdkFile* f) { return MDK_getpos(f); }},
    {"write", [](MdkFile* f) { return MDK_write(f, "r", 1, "k", 1); }},
    {"insert", [](MdkFile* f) { return MDK_insert(f, "r", 1, "k", 1); }},
    {"update", [](MdkFile* f) { return MDK_update(f, "r", 1, "k", 1); }},
    {"ExtWrite", [](MdkFile* f) { return MDK_ExtWrite(f, "r", 1, "k", 1, 3, 0); }},
    {"remove", [](MdkFile* f) { return MDK_remove(f, "k", 1); }},
    {"UnlockRecord", [](MdkFile* f) { return MDK_UnlockRecord(f, -1); }},
    {"dict", [](MdkFile* f) { return MDK_dict(f, 0, nullptr, 0); }},
    {"dict_add", [](MdkFile* f) { return MDK_dict_add(f, 0, "p", 1); }},
    {"keyadjust", [](MdkFile* f) { return MDK_keyadjust(f, nullptr, 0, 1); }},
    {"SetPswd", [](MdkFile* f) { return MDK_SetPswd(f, "pw", 2, 0); }},
    {"PutRestrictInfo", [](MdkFile* f) { return MDK_PutRestrictInfo(f, 0, nullptr); }},
    {"RestrictedRead",
     [](MdkFile* f) {
         return MDK_RestrictedRead(f, nullptr, 0, 1, nullptr, nullptr, nullptr, 0, 2);
     }},
    {"read_ODBC",
     [](MdkFile* f) { return MDK_read_ODBC(f, nullptr, 0, 1, nullptr, nullptr, nullptr, 0); }},
    {"read_FIRST",
     [](MdkFile* f) {
         return MDK_read_FIRST(f, nullptr, 0, 1, nullptr, nullptr, nullptr, 0, nullptr, 0);
     }},
};

TEST_F(FrameTest, NullAndAllOnesHandlesAnswerMinusOne) {
    for (MdkFile* bad : {static_cast<MdkFile*>(nullptr), MDK_INVALID_FILE}) {
        for (const auto& [name, call] : kFrameCalls)
            EXPECT_EQ(call(bad), -1) << name;
    }
    EXPECT_EQ(MDK_geterrno(nullptr), MDK_E_HANDLE);
    EXPECT_STREQ(MDK_strerr(nullptr), "Bad file handle number");
}

TEST_F(FrameTest, RefusedSlotsRaiseFiveAndKeepTheCode) {
    FakeFile* f = openFake(env, "a", &log);
    // The fake kind supports close, getpos, write, commit, rollback and the header slots only.
    EXPECT_EQ(MDK_seek(f, "k", 1, 1), -1);
    EXPECT_EQ(MDK_geterrno(f), MDK_E_FILETYPE);
    EXPECT_STREQ(MDK_strerr(f), "Bad file type -- Not a KEYED file");
    // A successful call leaves the old code in place.
    EXPECT_EQ(MDK_getpos(f), 42);
    EXPECT_EQ(MDK_geterrno(f), MDK_E_FILETYPE);
}

TEST_F(FrameTest, WriteChecksComeBeforeTheEngine) {
    FakeFile* f = openFake(env, "a", &log);
    f->writeAllowed = 0;
    EXPECT_EQ(MDK_write(f, "r", 1, "k", 1), -1);
    EXPECT_EQ(MDK_geterrno(f), MDK_E_READONLY);
    f->writeAllowed = 1;
    f->flags |= kFileWritesRefused;
    EXPECT_EQ(MDK_remove(f, "k", 1), -1);
    EXPECT_EQ(MDK_geterrno(f), MDK_E_WRITE);
    f->flags &= ~kFileWritesRefused;
    EXPECT_EQ(MDK_write(f, "r", 1, "k", 1), 0);
    EXPECT_EQ(log, (std::vector<std::string>{"a:write"}));
}

TEST_F(FrameTest, EntryClearsTheOneCallMark) {
    FakeFile* f = openFake(env, "a", &log);
    f->shared->flags |= kSharedOneCall;
    EXPECT_EQ(MDK_getpos(f), 42);
    EXPECT_EQ(f->shared->flags & kSharedOneCall, 0u);
}

// An operation that takes the environment lock and the file lock several times, then fails.
int32_t (*nestedThenRaise)(MdkFile*, int32_t) = [](MdkFile* f, int32_t depth) -> int32_t {
    lockEnv(f->env);
    lockEnv(f->env);
    for (int i = 0; i < depth; i++)
        lockFile(f);
    raiseError(f, MDK_E_KEY);
};

TEST_F(FrameTest, RaiseGivesBackEveryLockTheThreadHolds) {
    static MdkOpTable ops = test::fakeOps();  // outlives the handle, closed at teardown
    ops.setpos = nestedThenRaise;
    FakeFile* f = openFake(env, "a", &log, nullptr, &ops);
    int32_t before = f->shared->lockCount;
    EXPECT_EQ(MDK_setpos(f, 3), -1);
    EXPECT_EQ(MDK_geterrno(f), MDK_E_KEY);
    EXPECT_EQ(f->shared->lockCount, before);
    EXPECT_EQ(f->lockDepth, 0);
    EXPECT_EQ(f->lockOwner.load(), 0u);
    EXPECT_EQ(env->lockOwner.load(), 0u);
    EXPECT_TRUE(freeForOtherThread(env->lock));
    EXPECT_TRUE(freeForOtherThread(f->shared->lock));
}

TEST_F(FrameTest, RaiseKeepsTheHoldsOfOtherHandlesOfTheFile) {
    static MdkOpTable ops = test::fakeOps();
    ops.setpos = nestedThenRaise;
    FakeFile* a = openFake(env, "a", &log, nullptr, &ops);
    FakeFile* b = openFake(env, "b", &log, a->shared, &ops);
    lockFile(b);  // this thread holds the file through b while a fails
    EXPECT_EQ(MDK_setpos(a, 3), -1);
    EXPECT_EQ(a->shared->lockCount, 1);
    EXPECT_EQ(b->lockDepth, 1);
    EXPECT_FALSE(freeForOtherThread(a->shared->lock));
    unlockFile(b);
    EXPECT_TRUE(freeForOtherThread(a->shared->lock));
}

TEST_F(FrameTest, FileLockThroughTwoHandlesIsGivenBackAsOftenAsTaken) {
    FakeFile* a = openFake(env, "a", &log);
    FakeFile* b = openFake(env, "b", &log, a->shared);
    lockFile(a);
    lockFile(b);
    lockFile(a);
    EXPECT_EQ(a->shared->lockCount, 3);
    unlockFile(a);
    unlockFile(a);
    EXPECT_FALSE(freeForOtherThread(a->shared->lock));
    unlockFile(b);
    EXPECT_EQ(a->shared->lockCount, 0);
    EXPECT_TRUE(freeForOtherThread(a->shared->lock));
    // A stray unlock by a thread that holds nothing changes nothing.
    unlockFile(a);
    EXPECT_EQ(a->shared->lockCount, 0);
}

TEST_F(FrameTest, OutOfMemoryInsideAnOperationIsCodeEight) {
    static MdkOpTable ops = test::fakeOps();
    ops.getpos = [](MdkFile* f) -> int32_t {
        lockFile(f);
        throw std::bad_alloc();
    };
    FakeFile* f = openFake(env, "a", &log, nullptr, &ops);
    EXPECT_EQ(MDK_getpos(f), -1);
    EXPECT_EQ(MDK_geterrno(f), MDK_E_MEMORY);
    EXPECT_TRUE(freeForOtherThread(f->shared->lock));
}

TEST_F(FrameTest, AllocOrRaiseGivesZeroedMemory) {
    FakeFile* f = openFake(env, "a", &log);
    auto* p = static_cast<unsigned char*>(allocOrRaise(f, 64));
    for (int i = 0; i < 64; i++)
        EXPECT_EQ(p[i], 0);
    freeMem(p);
}

TEST(ErrorMessages, TableAndUnknownCodes) {
    struct Case {
        int32_t code;
        const char* text;
    };
    const Case cases[] = {
        {0, "Okay"},
        {5, "Bad file type -- Not a KEYED file"},
        {23, "File header or record busy -- retry later"},
        {25, "Unknown error"},
        {35, "Access Violation: File is in Read Only mode"},
        {38, "File header is busy -- retry later"},
        {44, "Version wrong"},
        {45, "Unknown error"},
        {46, "Unknown error"},
        {1000, "Unknown error"},
        {-1, "Unknown error"},
    };
    MdkEnv* env = MDK_AllocEnv();
    FakeFile* f = openFake(env, "a", nullptr);
    for (const Case& c : cases) {
        f->error = c.code;
        EXPECT_STREQ(MDK_strerr(f), c.text) << c.code;
        EXPECT_STREQ(MDK_ErrorMessage(c.code), c.text) << c.code;
        EXPECT_EQ(MDK_geterrno(f), c.code);
    }
    MDK_DeAllocEnv(env);
}

TEST_F(FrameTest, ClosedInsideATransactionAnswersTwoUntilCommit) {
    FakeFile* f = openFake(env, "a", &log);
    ASSERT_EQ(MDK_BeginTX(env), 0);
    EXPECT_EQ(MDK_close(f), 0);
    EXPECT_EQ(env->openFiles, f);
    EXPECT_EQ(MDK_getpos(f), -1);
    EXPECT_EQ(MDK_geterrno(f), MDK_E_HANDLE);
    EXPECT_EQ(MDK_close(f), -1);
    EXPECT_EQ(MDK_CommitTX(env), 0);
    EXPECT_EQ(env->openFiles, nullptr);
    EXPECT_EQ(log, (std::vector<std::string>{"a:deferred-close", "a:commit", "a:close"}));
}

TEST_F(FrameTest, TransactionCalls) {
    EXPECT_EQ(MDK_CommitTX(env), -37);
    EXPECT_EQ(MDK_RollbackTX(env), -37);
    EXPECT_EQ(MDK_BeginTX(env), 0);
    EXPECT_EQ(MDK_BeginTX(env), -36);
    EXPECT_TRUE(freeForOtherThread(env->lock));
    EXPECT_EQ(MDK_RollbackTX(env), 0);
    EXPECT_EQ(MDK_RollbackTX(env), -37);
    EXPECT_EQ(MDK_BeginTX(nullptr), -1);
}

TEST_F(FrameTest, CommitPassesOverKindsWithoutTransactionsAndRollsBackAfterAFailure) {
    static MdkOpTable failing = test::fakeOps();
    failing.commit = [](MdkFile* f) -> int32_t { raiseError(f, MDK_E_WRITE); };
    static MdkOpTable noTx = test::fakeOps();
    noTx.commit = ops::refuseCommit;
    noTx.rollback = ops::refuseRollback;
    openFake(env, "last", &log);
    FakeFile* bad = openFake(env, "bad", &log, nullptr, &failing);
    openFake(env, "indexed", &log, nullptr, &noTx);
    openFake(env, "first", &log);
    ASSERT_EQ(MDK_BeginTX(env), 0);
    EXPECT_EQ(MDK_CommitTX(env), -1);
    EXPECT_EQ(MDK_geterrno(bad), MDK_E_WRITE);
    // The files after the failed one are rolled back, not left holding their changes.
    EXPECT_EQ(log, (std::vector<std::string>{"first:commit", "last:rollback"}));
    EXPECT_EQ(env->inTransaction, 0);
    EXPECT_TRUE(freeForOtherThread(env->lock));
}

TEST(Environments, AllocateFreeAllocateAgain) {
    MdkEnv* a = MDK_AllocEnv();
    ASSERT_NE(a, nullptr);
    EXPECT_TRUE(isLiveEnv(a));
    MDK_DeAllocEnv(a);
    MdkEnv* b = MDK_AllocEnv();
    ASSERT_NE(b, nullptr);
    EXPECT_TRUE(isLiveEnv(b));
    MDK_DeAllocEnv(b);
    MDK_DeAllocEnv(nullptr);  // unknown environments are left alone
}

TEST(Environments, FreeingRollsBackThenClosesEveryFile) {
    std::vector<std::string> log;
    MdkEnv* env = MDK_AllocEnv();
    FakeFile* a = openFake(env, "a", &log);
    openFake(env, "b", &log, a->shared);
    ASSERT_EQ(MDK_BeginTX(env), 0);
    MDK_DeAllocEnv(env);
    EXPECT_EQ(log, (std::vector<std::string>{"b:rollback", "a:rollback", "b:close", "a:close"}));
}

TEST(Environments, ThreadsAllocateAndFreeConcurrently) {
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; i++) {
                MdkEnv* e = MDK_AllocEnv();
                if (!e) failures++;
                MDK_DeAllocEnv(e);
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST(Environments, BackgroundThreadRunsAndIsJoinedAtTeardown) {
    MdkEnv* env = MDK_AllocEnv();
    static std::atomic<int> passes{0};
    passes = 0;
    ASSERT_EQ(MDSetEnvMode(env, 1, 1), 0);
    startBackground(env, [](MdkEnv*) { passes++; });
    EXPECT_EQ(env->backgroundRunning.load(), 1);
    while (passes.load() == 0)
        platform::sleepMs(20);
    EXPECT_GT(env->backgroundTicks.load(), 0);
    MDK_DeAllocEnv(env);  // must join, not leave the thread running over freed memory
}

}  // namespace
