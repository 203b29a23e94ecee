// Segment files: a block-mode file whose segments are limited to one megabyte grows into
// segment files, reads back whole after a reopen, and raises 24 past its last segment.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "keyed/testing.h"
#include "testutil.h"

using namespace mdnio;
using namespace mdnio::keyed;
using namespace mdnio::keyed::test;

namespace {

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

std::string recordText(int n) {
    std::string s = "record " + std::to_string(n) + " ";
    s.resize(900, static_cast<char>('a' + n % 26));
    return s;
}

// A block-mode file of 1024-byte blocks (segments 0 to 3) whose segments are limited to one
// megabyte (environment mode 5), open in `env`.
class Segments : public ::testing::Test {
  protected:
    void SetUp() override {
        build(path, layout(true, 1024, 900, 8, {{{seg(common::kKeyAreaField, 0, 8)}}}));
        ASSERT_EQ(MDSetEnvMode(env, 5, 1), 0);
        f = MDK_OpenExt(env, path.c_str(), nullptr, 0, 0, &err);
        ASSERT_NE(f, MDK_INVALID_FILE) << err;
    }
    void TearDown() override { MDK_DeAllocEnv(env); }
    mdnio::test::TempDir dir;
    std::string path = dir.file("seg.dat");
    MdkEnv* env = MDK_AllocEnv();
    int32_t err = 0;
    MdkFile* f = MDK_INVALID_FILE;
};

TEST_F(Segments, FileGrowsIntoSegmentsUntilTheLastIsFull) {
    int written = 0;
    for (; written < 20000; written++) {
        char key[9];
        std::snprintf(key, sizeof key, "%08d", written);
        std::string data = recordText(written);
        if (MDK_write(f, data.data(), static_cast<int32_t>(data.size()), key, 8) != 0) break;
    }
    EXPECT_EQ(MDK_geterrno(f), MDK_E_FULL);
    EXPECT_GT(written, 3000);  // four segments of about a megabyte each
    EXPECT_TRUE(exists(path + ".001"));
    EXPECT_TRUE(exists(path + ".003"));
    EXPECT_FALSE(exists(path + ".004"));
    MDK_close(f);

    // Everything written reads back, in key order, after a reopen.
    f = MDK_OpenExt(env, path.c_str(), nullptr, 0, 0, &err);
    ASSERT_NE(f, MDK_INVALID_FILE) << err;
    EXPECT_EQ(MDGetEnvMode(f, -4), written);
    char buf[1100];
    ASSERT_EQ(MDK_seek(f, "", 0, 1), -1);
    for (int i = 0; i < written; i++) {
        int32_t n = MDK_read(f, buf, sizeof buf, MDK_READ_NEXT);
        ASSERT_EQ(n, 8 + 900) << i;
        ASSERT_EQ(std::string(buf + 8, 900), recordText(i)) << i;
    }
    EXPECT_EQ(MDK_read(f, buf, sizeof buf, MDK_READ_NEXT), -1);
    // Removing records frees room that later records reuse.
    for (int i = 0; i < 100; i++) {
        char key[9];
        std::snprintf(key, sizeof key, "%08d", i * 7);
        ASSERT_EQ(MDK_remove(f, key, 8), 0);
    }
    std::string data = recordText(1);
    EXPECT_EQ(MDK_write(f, data.data(), static_cast<int32_t>(data.size()), "zzzzzzzz", 8), 0);
    MDK_close(f);
    expectSound(path);
}

// One transaction whose blocks spread over the base file and two segment files: the commit
// writes them all (neighbours together, each to its own file) and they read back after a reopen.
TEST_F(Segments, ACommitWritesTheBlocksOfEverySegment) {
    constexpr int kRecords = 2500;
    ASSERT_EQ(MDK_BeginTX(env), 0);
    for (int i = 0; i < kRecords; i++) {
        char key[9];
        std::snprintf(key, sizeof key, "%08d", (i * 7919) % kRecords);
        std::string data = recordText((i * 7919) % kRecords);
        ASSERT_EQ(MDK_write(f, data.data(), static_cast<int32_t>(data.size()), key, 8), 0) << i;
    }
    ASSERT_EQ(MDK_CommitTX(env), 0);
    EXPECT_TRUE(exists(path + ".002"));
    MDK_close(f);

    f = MDK_OpenExt(env, path.c_str(), nullptr, 0, 0, &err);
    ASSERT_NE(f, MDK_INVALID_FILE) << err;
    char buf[1100];
    ASSERT_EQ(MDK_seek(f, "", 0, 1), -1);
    for (int i = 0; i < kRecords; i++) {
        ASSERT_EQ(MDK_read(f, buf, sizeof buf, MDK_READ_NEXT), 8 + 900) << i;
        ASSERT_EQ(std::string(buf + 8, 900), recordText(i)) << i;
    }
    EXPECT_EQ(MDK_read(f, buf, sizeof buf, MDK_READ_NEXT), -1);
    MDK_close(f);
    expectSound(path);
}

}  // namespace
