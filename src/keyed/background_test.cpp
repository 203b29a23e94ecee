// The countdown of background-flush mode: a file that only read inside a transaction gives
// its header lock back every 50 calls, while a file the transaction changed keeps it.
#include <gtest/gtest.h>

#include <string>

#include "frame/handle.h"
#include "keyed/testing.h"
#include "platform/platform.h"
#include "testutil.h"

using namespace mdnio;
using namespace mdnio::keyed;
using namespace mdnio::keyed::test;

namespace {

class Background : public ::testing::Test {
  protected:
    void SetUp() override {
        path = dir.file("bg.dat");
        build(path, layout(true, 1024, 40, 4, {{{seg(common::kKeyAreaField, 0, 4)}}}));
        env = MDK_AllocEnv();
        ASSERT_EQ(MDSetEnvMode(env, 1, 1), 0);
        file = MDK_OpenExt(env, path.c_str(), nullptr, 0, 0, nullptr);
        ASSERT_NE(file, MDK_INVALID_FILE);
        ASSERT_EQ(MDK_write(file, "data", 4, "k", 1), 0);
        other = MDK_AllocEnv();
        ASSERT_EQ(MDSetEnvMode(other, 3, 0x0C), 0);  // never wait
        second = MDK_OpenExt(other, path.c_str(), nullptr, 0, 0, nullptr);
        ASSERT_NE(second, MDK_INVALID_FILE);
    }
    void TearDown() override {
        MDK_DeAllocEnv(other);
        MDK_DeAllocEnv(env);
        expectSound(path);
    }
    // Whether the other environment can change the file now.
    bool otherCanWrite() {
        int32_t rc = MDK_write(second, "x", 1, "o", 1);
        if (rc != 0) {
            EXPECT_EQ(MDK_geterrno(second), MDK_E_HEADERBUSY);
        }
        return rc == 0;
    }
    void readOnce() {
        char buf[16];
        ASSERT_EQ(MDK_seek(file, "k", 1, 1), 0);
        ASSERT_GT(MDK_read(file, buf, sizeof buf, MDK_READ_CURRENT), 0);
    }
    mdnio::test::TempDir dir;
    std::string path;
    MdkEnv* env = nullptr;
    MdkEnv* other = nullptr;
    MdkFile* file = MDK_INVALID_FILE;
    MdkFile* second = MDK_INVALID_FILE;
};

TEST_F(Background, TheCountdownReleasesAHeaderHeldForReading) {
    ASSERT_EQ(MDK_BeginTX(env), 0);
    for (int i = 0; i < 25; i++)
        readOnce();  // 50 header periods: the lock is still held
    EXPECT_FALSE(otherCanWrite());
    ASSERT_EQ(MDK_seek(file, "k", 1, 1), 0);  // the 51st gives it back
    EXPECT_TRUE(otherCanWrite());
    readOnce();  // and the next period takes it again
    EXPECT_FALSE(otherCanWrite());
    EXPECT_EQ(MDK_CommitTX(env), 0);
    EXPECT_TRUE(otherCanWrite());  // the end of the transaction gives it back for good
}

TEST_F(Background, AFileChangedInATransactionKeepsItsHeaderUntilCommit) {
    ASSERT_EQ(MDK_BeginTX(env), 0);
    ASSERT_EQ(MDK_write(file, "changed", 7, "k", 1), 0);
    for (int i = 0; i < 60; i++)
        readOnce();
    platform::sleepMs(800);  // the background thread has had its chance to force it free
    EXPECT_FALSE(otherCanWrite());
    EXPECT_EQ(MDK_CommitTX(env), 0);
    EXPECT_TRUE(otherCanWrite());
}

// The thread stops when it finds a transaction open; once the transaction is over it runs
// again, and idle headers are given back as before.
TEST_F(Background, TheThreadComesBackAfterATransaction) {
    ASSERT_EQ(MDK_BeginTX(env), 0);
    for (int i = 0; i < 40 && env->backgroundRunning.load(); i++)
        platform::sleepMs(50);
    ASSERT_EQ(env->backgroundRunning.load(), 0) << "the thread did not stop in the transaction";
    EXPECT_EQ(MDK_CommitTX(env), 0);
    EXPECT_EQ(env->backgroundRunning.load(), 1);
    int32_t ticks = env->backgroundTicks.load();
    platform::sleepMs(700);
    EXPECT_GT(env->backgroundTicks.load(), ticks);

    ASSERT_EQ(MDK_BeginTX(env), 0);
    for (int i = 0; i < 40 && env->backgroundRunning.load(); i++)
        platform::sleepMs(50);
    EXPECT_EQ(MDK_RollbackTX(env), 0);
    EXPECT_EQ(env->backgroundRunning.load(), 1);
}

}  // namespace
