// The block cache under pressure and the step within a cached leaf: with the cache cut down to
// the smallest size the engine allows, blocks are evicted and read again all the time, and every
// record must still be found in every key, in and outside a transaction.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "keyed/keyed.h"
#include "keyed/testing.h"
#include "testutil.h"

using namespace mdnio;
using namespace mdnio::keyed;
using namespace mdnio::keyed::test;

namespace {

constexpr uint8_t kSep = 0x8A;

class CacheUnderPressure : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        env = MDK_AllocEnv();
        path = dir.file("data.dat");
        // Small blocks and three keys: many blocks for few records.
        build(path, layout(GetParam(), 1024, 60, 8,
                           {{{seg(common::kKeyAreaField, 0, 8)}},
                            {{seg(1, 0, 12, common::kOptUpper)}},
                            {{seg(2, 0, 10)}}}));
        file = open();
    }
    void TearDown() override {
        for (MdkFile* f : {file, other})
            if (f != MDK_INVALID_FILE) MDK_close(f);
        expectSound(path);
        MDK_DeAllocEnv(env);
    }
    MdkFile* open() {
        int32_t err = -1;
        MdkFile* f = MDK_OpenExt(env, path.c_str(), nullptr, 0, 0, &err);
        EXPECT_NE(f, MDK_INVALID_FILE) << "open failed with " << err;
        return f;
    }
    // Cuts the file's cache down to the eight buffers every file has at least.
    void smallestCache() {
        KeyedShared* s = K(file)->sh();
        s->cache.resize(8);
        s->baseBuffers = 8;
    }
    static std::string key(int i) {
        char k[16];
        std::snprintf(k, sizeof k, "K%07d", i);
        return k;
    }
    // Record i: scattered name and city so that every key's inserts land all over its tree.
    static std::string data(int i) {
        char d[64];
        std::snprintf(d, sizeof d, "name%08d%c%010d", (i * 7919) % 10007, kSep,
                      (i * 104729) % 99991);
        return d;
    }
    void insert(int i) {
        std::string k = key(i), d = data(i);
        ASSERT_EQ(MDK_insert(file, d.data(), static_cast<int32_t>(d.size()), k.data(), 8), 0)
            << MDK_strerr(file);
    }
    // Reads the whole key forwards and backwards; answers the records seen each way.
    std::pair<int, int> scan(MdkFile* f, int32_t keyNumber) {
        char buf[128];
        MDK_seek(f, "", 0, keyNumber);
        int forward = 0;
        while (MDK_read(f, buf, sizeof buf, MDK_READ_NEXT) > 0)
            forward++;
        EXPECT_EQ(MDK_geterrno(f), MDK_E_EOF);
        int backward = 1;  // the last record is the current one
        while (MDK_read(f, buf, sizeof buf, MDK_READ_PRIOR) > 0)
            backward++;
        EXPECT_EQ(MDK_geterrno(f), MDK_E_EOF);
        return {forward, backward};
    }
    void expectEveryRecord(int n) {
        char buf[128];
        for (int i = 0; i < n; i++) {
            std::string k = key(i);
            ASSERT_EQ(MDK_seek(file, k.data(), 8, 1), 0) << k;
            ASSERT_GT(MDK_read(file, buf, sizeof buf, MDK_READ_CURRENT), 0);
            ASSERT_EQ(std::string(buf + 8, data(i).size()), data(i));
        }
        for (int32_t keyNumber = 1; keyNumber <= 3; keyNumber++)
            EXPECT_EQ(scan(file, keyNumber), std::make_pair(n, n)) << "key " << keyNumber;
    }
    mdnio::test::TempDir dir;
    std::string path;
    MdkEnv* env = nullptr;
    MdkFile* file = MDK_INVALID_FILE;
    MdkFile* other = MDK_INVALID_FILE;
};

TEST_P(CacheUnderPressure, EveryRecordIsFoundOutsideATransaction) {
    smallestCache();
    for (int i = 0; i < 1500; i++)
        insert(i);
    expectEveryRecord(1500);
}

TEST_P(CacheUnderPressure, ATransactionKeepsItsDirtyBlocksAndCommitsThemAll) {
    smallestCache();
    ASSERT_EQ(MDK_BeginTX(env), 0);
    for (int i = 0; i < 1500; i++)
        insert(i);
    // Every changed block is held: the cache grew beyond its base size, and the count of dirty
    // buffers that decides when it grows is the true one.
    KeyedShared* s = K(file)->sh();
    EXPECT_GT(s->cache.size(), 8u);
    auto dirtyNow = [s] {
        size_t n = 0;
        for (const CacheBuffer& b : s->cache)
            n += b.dirty ? 1 : 0;
        return n;
    };
    EXPECT_GT(s->dirtyCount, 8u);
    EXPECT_EQ(s->dirtyCount, dirtyNow());
    ASSERT_EQ(MDK_CommitTX(env), 0);
    EXPECT_EQ(s->cache.size(), 8u);
    EXPECT_EQ(s->dirtyCount, 0u);
    expectEveryRecord(1500);
}

// A hint naming a buffer that holds another block (or none) is not taken for the block: the
// lookup finds the block's own buffer and points the hint at it.
TEST_P(CacheUnderPressure, AHintNamingAnotherBufferFindsTheBlocksOwn) {
    for (int i = 0; i < 300; i++)
        insert(i);
    KeyedShared* s = K(file)->sh();
    std::vector<size_t> held;
    for (size_t i = 0; i < s->cache.size(); i++)
        if (s->cache[i].address && s->cache[i].data) held.push_back(i);
    ASSERT_GE(held.size(), 2u);
    const uint32_t address = s->cache[held[0]].address;
    size_t hint = held[1];
    EXPECT_EQ(store::cachedBlock(*s, address, hint), s->cache[held[0]].data.get());
    EXPECT_EQ(hint, held[0]);
    EXPECT_EQ(store::cachedBlock(*s, address, hint),
              s->cache[held[0]].data.get());  // the hint taken
    hint = KeyedShared::kNoBuffer;
    EXPECT_EQ(store::cachedBlock(*s, address, hint), s->cache[held[0]].data.get());
    EXPECT_EQ(hint, held[0]);
    // A block no buffer holds: none, whatever the hint says.
    uint32_t absent = address;
    do
        absent += s->blockSize;
    while (store::cachedBlock(*s, absent) != nullptr);
    hint = held[0];
    EXPECT_EQ(store::cachedBlock(*s, absent, hint), nullptr);
}

// A busy file fills more buffers than those with memory of their own: the rest share large
// slabs, and no two buffers may share a byte of them.
TEST_P(CacheUnderPressure, BuffersPastTheFirstKeepTheirBlocksApart) {
    constexpr int kRecords = 12000;
    for (int i = 0; i < kRecords; i++)
        insert(i);
    KeyedShared* s = K(file)->sh();
    std::vector<const uint8_t*> starts;
    for (const CacheBuffer& b : s->cache)
        if (b.address && b.data) starts.push_back(b.data.get());
    ASSERT_GT(starts.size(), 600u) << "too few blocks cached to reach the slabs";
    std::sort(starts.begin(), starts.end());
    for (size_t i = 1; i < starts.size(); i++)
        ASSERT_GE(starts[i] - starts[i - 1], static_cast<ptrdiff_t>(s->blockSize))
            << "buffers overlap";
    expectEveryRecord(kRecords);
}

TEST_P(CacheUnderPressure, ARolledBackTransactionLeavesNothing) {
    smallestCache();
    for (int i = 0; i < 200; i++)
        insert(i);
    ASSERT_EQ(MDK_BeginTX(env), 0);
    for (int i = 200; i < 1200; i++)
        insert(i);
    ASSERT_EQ(MDK_RollbackTX(env), 0);
    EXPECT_EQ(K(file)->sh()->dirtyCount, 0u);
    expectEveryRecord(200);
}

// A scan that goes on after another handle of the environment split and merged the leaves it
// stood in: the step within the cached leaf must notice that its entry moved, and the scan must
// still see every record once, in order.
TEST_P(CacheUnderPressure, AScanGoesOnRightAfterTheTreeChangedUnderIt) {
    for (int i = 0; i < 600; i += 2)
        insert(i);
    other = open();
    char buf[128];
    MDK_seek(other, "", 0, 1);
    std::vector<std::string> seen;
    for (int step = 0; MDK_read(other, buf, sizeof buf, MDK_READ_NEXT) > 0; step++) {
        seen.emplace_back(buf, 8);
        // Fill the gaps ahead of and behind the scan: leaves split under it.
        if (step < 300) {
            insert(2 * step + 1);
            if (step % 3 == 0) {
                std::string k = key(2 * step + 1);
                ASSERT_EQ(MDK_remove(file, k.data(), 8), 0);
            }
        }
    }
    EXPECT_EQ(MDK_geterrno(other), MDK_E_EOF);
    for (size_t i = 1; i < seen.size(); i++)
        ASSERT_LT(seen[i - 1], seen[i]);
    // Every even record was there all along.
    size_t evens = 0;
    for (const std::string& k : seen)
        evens += (std::stoi(k.substr(1)) % 2 == 0);
    EXPECT_EQ(evens, 300u);
}

// A scan in physical order passes the blocks it reads through one buffer of the cache.  That
// buffer must never be one holding changes not yet written (a transaction's), and the blocks
// ahead of the scan must be read as they are when it reaches them.
TEST_P(CacheUnderPressure, APhysicalOrderScanSeesChangesMadeAroundIt) {
    if (!GetParam()) GTEST_SKIP() << "slot mode has no physical order";
    smallestCache();
    constexpr int kRecords = 1500;
    constexpr int kMiddle = kRecords / 2;
    for (int i = 0; i < kRecords; i++)
        insert(i);
    other = open();
    auto changed = [](int i, char tag) {
        std::string d = data(i);
        d[0] = tag;
        return d;
    };
    auto update = [&](int i, char tag) {
        std::string k = key(i), d = changed(i, tag);
        ASSERT_EQ(MDK_update(file, d.data(), static_cast<int32_t>(d.size()), k.data(), 8), 0);
    };
    // The data of every record in physical order, read through `other`; `between` runs after
    // the record at kMiddle was read and gets its number.
    auto scan = [&](const std::function<void(int)>& between) {
        std::vector<std::string> seen;
        char buf[128];
        EXPECT_EQ(MDK_seek(other, nullptr, 0, MDK_SEEK_PHYSICAL), 0);
        for (;;) {
            int32_t n = MDK_read(other, buf, sizeof buf, MDK_READ_NEXT);
            if (n < 8) break;
            seen.emplace_back(buf + 8, static_cast<size_t>(n - 8));
            if (seen.size() == kMiddle + 1) between(std::stoi(std::string(buf + 1, 7)));
        }
        EXPECT_EQ(MDK_geterrno(other), MDK_E_EOF);
        return seen;
    };
    auto expectByKey = [&](const std::function<std::string(int)>& expected) {
        char buf[128];
        for (int i = 0; i < kRecords; i++) {
            std::string k = key(i);
            ASSERT_EQ(MDK_seek(file, k.data(), 8, 1), 0) << k;
            int32_t n = MDK_read(file, buf, sizeof buf, MDK_READ_CURRENT);
            ASSERT_GT(n, 8);
            ASSERT_EQ(std::string(buf + 8, static_cast<size_t>(n - 8)), expected(i)) << k;
        }
    };

    // Inside a transaction the record the scan stands on changes: its block, the one in the
    // scan's buffer, is dirty when the scan moves on, and the commit must write it.
    ASSERT_EQ(MDK_BeginTX(env), 0);
    int middle = -1;
    EXPECT_EQ(scan([&](int i) { update(middle = i, 'T'); }).size(), size_t{kRecords});
    ASSERT_EQ(MDK_CommitTX(env), 0);
    ASSERT_GE(middle, 0);
    expectByKey([&](int i) { return i == middle ? changed(i, 'T') : data(i); });

    // Outside one every record changes halfway through the scan: the rest come back changed.
    std::vector<std::string> seen = scan([&](int) {
        for (int i = 0; i < kRecords; i++)
            update(i, 'U');
    });
    ASSERT_EQ(seen.size(), size_t{kRecords});
    for (int n = 0; n < kRecords; n++)
        EXPECT_EQ(seen[n][0] == 'U', n > kMiddle) << n;
    expectByKey([&](int i) { return changed(i, 'U'); });
}

INSTANTIATE_TEST_SUITE_P(Modes, CacheUnderPressure, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "block" : "slot"; });

}  // namespace
