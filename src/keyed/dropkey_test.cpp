// Dropping a key of a file whose key descriptors run past the header into the continuation
// table: the change is whole or not at all, like every other change.  Inside a transaction
// nothing reaches the file before the commit and a rollback gives every key back; outside one,
// a write that fails at any point leaves the file as it was.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cerrno>
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
constexpr int kKeys = 9;  // key 0 and eight alternate keys of four segments each

// Every alternate key takes four one-byte segments of its own field: 8 x 4 entries and key 0's
// make a descriptor table longer than the header's 128 bytes.
ClassicLayout manyKeys() {
    std::vector<KeySpec> keys = {{{seg(common::kKeyAreaField, 0, 4)}}};
    for (int k = 1; k < kKeys; k++) {
        KeySpec spec;
        for (int i = 0; i < 4; i++)
            spec.segments.push_back(seg(static_cast<uint16_t>(k), static_cast<uint16_t>(i), 1));
        keys.push_back(spec);
    }
    return layout(true, 1024, 200, 4, keys);
}

// Record i's field k holds a value whose order over the records differs from key to key.
std::string fieldsOf(int i) {
    std::string d;
    for (int k = 1; k < kKeys; k++) {
        d += std::string(4, static_cast<char>('a' + (i * (k + 2)) % 23));
        d += static_cast<char>('0' + i);
        d += kSep;
    }
    return d;
}

// The key 0 values of the records in the order of key k (0 = the primary key; the seek counts
// keys from 1).
std::vector<std::string> keysInOrder(MdkFile* f, int k) {
    std::vector<std::string> out;
    MDK_seek(f, "", 0, k + 1);
    std::vector<char> buf(4096);
    while (MDK_read(f, buf.data(), static_cast<int32_t>(buf.size()), MDK_READ_NEXT) >= 4)
        out.emplace_back(buf.data(), 4);
    if (MDK_geterrno(f) != MDK_E_EOF) out.push_back("<" + std::to_string(MDK_geterrno(f)) + ">");
    return out;
}

int32_t dropKey(MdkFile* f, int32_t k) {
    return callFrame(f, CallKind::Write, [&] { return f->ops->dropKey(f, k); });
}

// Without the mapping every write is a pwrite; the one with number `failAt` fails.
int gWrites = 0;
int gFailAt = -1;
ssize_t failingPwrite(int fd, const void* buf, size_t n, off_t off) {
    if (gWrites++ == gFailAt) {
        errno = EIO;
        return -1;
    }
    return platform::defaultSysCalls().pwrite(fd, buf, n, off);
}
void* refuseMapping(void*, size_t, int, int, int, off_t) {
    errno = ENODEV;
    return MAP_FAILED;
}

class DropKey : public ::testing::Test {
  protected:
    void SetUp() override {
        path = dir.file("d.dat");
        build(path, manyKeys());
        MdkFile* f = open();
        for (int i = 0; i < 30; i++) {
            const std::string key = "k" + std::to_string(100 + i).substr(1);
            const std::string data = fieldsOf(i);
            ASSERT_EQ(MDK_insert(f, data.data(), static_cast<int32_t>(data.size()), key.data(),
                                 static_cast<int32_t>(key.size())),
                      0);
        }
        for (int k = 0; k < kKeys; k++)
            order.push_back(keysInOrder(f, k));
        MDK_close(f);
        pristine = mdnio::test::readFile(path);
        ASSERT_NE(pristine[kOffFlagsA] & kDescContinued, 0) << "the table must continue";
    }
    void TearDown() override {
        platform::resetSysCalls();
        MDK_DeAllocEnv(env);
    }
    MdkFile* open() {
        int32_t err = 0;
        MdkFile* f = MDK_OpenExt(env, path.c_str(), nullptr, 0, 0, &err);
        EXPECT_NE(f, MDK_INVALID_FILE) << err;
        return f;
    }
    // A fresh handle has the keys `kept` (old numbers, in order) and no more, each giving the
    // order it gave before anything was dropped; the verifier finds the file sound.
    void expectKeys(const std::vector<int>& kept) {
        MdkEnv* other = MDK_AllocEnv();
        int32_t err = 0;
        MdkFile* f = MDK_OpenExt(other, path.c_str(), nullptr, 0, 0, &err);
        ASSERT_NE(f, MDK_INVALID_FILE) << err;
        for (size_t k = 0; k < kept.size(); k++)
            EXPECT_EQ(keysInOrder(f, static_cast<int>(k)), order[kept[k]]) << "key " << k;
        EXPECT_EQ(MDK_seek(f, "", 0, static_cast<int32_t>(kept.size()) + 1), -1);
        EXPECT_EQ(MDK_geterrno(f), MDK_E_KEYNUM);
        MDK_DeAllocEnv(other);
        expectSound(path);
    }
    void expectEveryKey() { expectKeys({0, 1, 2, 3, 4, 5, 6, 7, 8}); }
    mdnio::test::TempDir dir;
    std::string path;
    std::vector<std::vector<std::string>> order;
    std::vector<uint8_t> pristine;
    MdkEnv* env = MDK_AllocEnv();
};

TEST_F(DropKey, OutsideATransactionTheFileTakesTheChangeWhole) {
    MdkFile* f = open();
    ASSERT_EQ(dropKey(f, 3), 0) << MDK_strerr(f);
    MDK_close(f);
    expectKeys({0, 1, 2, 4, 5, 6, 7, 8});
}

TEST_F(DropKey, InATransactionNothingReachesTheFileBeforeTheCommit) {
    MdkFile* f = open();
    ASSERT_EQ(MDK_BeginTX(env), 0);
    ASSERT_EQ(dropKey(f, 3), 0) << MDK_strerr(f);
    EXPECT_EQ(mdnio::test::readFile(path), pristine);
    ASSERT_EQ(MDK_CommitTX(env), 0) << MDK_strerr(f);
    MDK_close(f);
    expectKeys({0, 1, 2, 4, 5, 6, 7, 8});
}

TEST_F(DropKey, TwoDropsInOneTransactionBothStay) {
    MdkFile* f = open();
    ASSERT_EQ(MDK_BeginTX(env), 0);
    ASSERT_EQ(dropKey(f, 3), 0) << MDK_strerr(f);
    ASSERT_EQ(dropKey(f, 6), 0) << MDK_strerr(f);  // the old key 7
    ASSERT_EQ(MDK_CommitTX(env), 0) << MDK_strerr(f);
    MDK_close(f);
    expectKeys({0, 1, 2, 4, 5, 6, 8});
}

TEST_F(DropKey, ARolledBackDropGivesEveryKeyBack) {
    MdkFile* f = open();
    ASSERT_EQ(MDK_BeginTX(env), 0);
    ASSERT_EQ(dropKey(f, 3), 0) << MDK_strerr(f);
    ASSERT_EQ(MDK_RollbackTX(env), 0);
    EXPECT_EQ(mdnio::test::readFile(path), pristine);
    // The handle that dropped the key sees every key again, and can write through all of them.
    for (int k = 0; k < kKeys; k++)
        EXPECT_EQ(keysInOrder(f, k), order[k]) << "key " << k;
    MDK_close(f);
    expectEveryKey();
}

TEST_F(DropKey, AWriteThatFailsLeavesTheFileAsItWas) {
    int writes = 0;
    for (int at = 0;; at++) {
        SCOPED_TRACE("write " + std::to_string(at) + " fails");
        mdnio::test::writeFile(path, pristine);
        platform::sys().mmap = refuseMapping;
        platform::sys().pwrite = failingPwrite;
        gWrites = 0;
        gFailAt = at;
        MdkFile* f = open();
        const int32_t rc = dropKey(f, 3);
        const bool failed = gWrites > at;
        gFailAt = -1;
        MDK_close(f);
        platform::resetSysCalls();
        if (!failed) {
            EXPECT_EQ(rc, 0);
            expectKeys({0, 1, 2, 4, 5, 6, 7, 8});
            writes = at;
            break;
        }
        EXPECT_EQ(rc, -1);
        expectEveryKey();
        if (HasFailure() || at == 100) break;
    }
    EXPECT_GT(writes, 2);  // the journal, the continuation table and the header at least
}

}  // namespace
