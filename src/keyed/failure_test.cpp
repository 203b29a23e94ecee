// Calls that fail half-way leave nothing half-done on disk: the disk refuses to grow while
// records are inserted, and every insert either lands whole or not at all.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <set>
#include <string>

#include "keyed/testing.h"
#include "platform/platform.h"
#include "testutil.h"

using namespace mdnio;
using namespace mdnio::keyed;
using namespace mdnio::keyed::test;

namespace {

// A disk that is full: writes that would make a file longer fail.
ssize_t noGrowth(int fd, const void* buf, size_t n, off_t off) {
    struct stat st;
    if (fstat(fd, &st) == 0 && off + static_cast<off_t>(n) > st.st_size) {
        errno = ENOSPC;
        return -1;
    }
    return platform::defaultSysCalls().pwrite(fd, buf, n, off);
}

class FullDisk : public ::testing::TestWithParam<bool> {
  protected:
    void TearDown() override { platform::resetSysCalls(); }
};

TEST_P(FullDisk, InsertsLandWholeOrNotAtAll) {
    mdnio::test::TempDir dir;
    std::string path = dir.file("full.dat");
    // Long alternate-key entries: key blocks split about as often as data blocks fill, so the
    // disk refuses to grow both before anything changed and in the middle of a change.
    build(path, layout(GetParam(), 1024, 60, 8,
                       {{{seg(common::kKeyAreaField, 0, 8)}}, {{seg(1, 0, 40)}}}));
    MdkEnv* env = MDK_AllocEnv();
    MdkFile* f = MDK_OpenExt(env, path.c_str(), nullptr, 0, 0, nullptr);
    ASSERT_NE(f, MDK_INVALID_FILE);
    std::set<std::string> stored;
    auto insert = [&](int i) {
        char key[9];
        std::snprintf(key, sizeof key, "%08d", i * 37 % 1000);
        std::string data = std::string(36, 'n') + std::to_string(i) + "\x8A" + "z";
        int32_t rc = MDK_insert(f, data.data(), static_cast<int32_t>(data.size()), key, 8);
        if (rc == 0) stored.insert(key);
        return rc;
    };
    for (int i = 0; i < 150; i++)
        ASSERT_EQ(insert(i), 0);
    platform::sys().pwrite = noGrowth;
    int refused = 0;
    for (int i = 150; i < 400; i++) {
        if (insert(i) != 0) {
            refused++;
            EXPECT_TRUE(MDK_geterrno(f) == MDK_E_FULL || MDK_geterrno(f) == MDK_E_WRITE ||
                        MDK_geterrno(f) == MDK_E_EOF)
                << MDK_geterrno(f);
        }
    }
    platform::resetSysCalls();
    EXPECT_GT(refused, 0);
    EXPECT_EQ(MDGetEnvMode(f, -4), static_cast<intptr_t>(stored.size()));
    MDK_close(f);
    expectSound(path);
    // Reopened, the file holds exactly the acknowledged records and takes new ones.
    f = MDK_OpenExt(env, path.c_str(), nullptr, 0, 0, nullptr);
    std::set<std::string> found;
    char buf[128];
    MDK_seek(f, "", 0, 1);
    while (MDK_read(f, buf, sizeof buf, MDK_READ_NEXT) > 0)
        found.insert(std::string(buf, 8));
    EXPECT_EQ(found, stored);
    EXPECT_EQ(insert(999), 0);
    MDK_DeAllocEnv(env);
    expectSound(path);
}

INSTANTIATE_TEST_SUITE_P(Storage, FullDisk, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "block" : "slot"; });

}  // namespace
