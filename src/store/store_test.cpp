// The block store under an engine of the test's own: a block map that moves every block to
// another place, so that what the store writes is seen to go where the map says and nowhere
// else, whole or in the parts that changed.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/blockparts.h"
#include "fake_engine.h"
#include "store/store.h"
#include "testutil.h"

using namespace mdnio;

namespace {

constexpr uint32_t kBlock = 512;
constexpr uint32_t kBlocks = 16;

// Block n (1..kBlocks) lies at the place of block kBlocks + 1 - n: the reverse of identity.
int64_t mappedOffset(uint32_t address) {
    return int64_t{kBlocks + 1 - address} * kBlock;
}

store::BlockStore* gStore = nullptr;  // the store the hooks serve
std::vector<uint32_t> gWrittenBack;   // addresses the engine was asked to write, in order
std::vector<bool> gEarly;

store::Place place(MdkFile* f, uint32_t address) {
    if (address == 0 || address > kBlocks) raiseError(f, MDK_E_BADADDR);
    return {gStore->baseFd(), mappedOffset(address)};
}

void writeBack(MdkFile* f, store::CacheBuffer& b, bool early) {
    gWrittenBack.push_back(b.address);
    gEarly.push_back(early);
    store::writeBuffer(f, *gStore, b, b.data.get(), place(f, b.address), false);
}

void checkBulk(MdkFile*, const store::CacheBuffer&) {}

const store::StoreHooks kReversed = {
    .place = place, .writeBack = writeBack, .checkBulk = checkBulk};

class BlockStoreWithMap : public ::testing::Test {
  protected:
    void SetUp() override {
        gWrittenBack.clear();
        gEarly.clear();
        env = MDK_AllocEnv();
        path = dir.file("blocks.dat");
        // Every byte of the place of block n holds 0x40 + n's place number.
        std::vector<uint8_t> bytes((kBlocks + 1) * kBlock);
        for (size_t i = 0; i < bytes.size(); i++)
            bytes[i] = static_cast<uint8_t>(0x40 + i / kBlock);
        test::writeFile(path, bytes);
        fd = platform::openFile(path.c_str(), platform::Access::ReadWrite, false, nullptr);
        ASSERT_GE(fd, 0);
        s.segmentFd[0] = fd;
        s.blockSize = kBlock;
        s.hooks = &kReversed;
        store::setUpCache(s, 8);
        file = test::openFake(env, "a", &log);
        file->shared->fd = fd;
        gStore = &s;
    }
    void TearDown() override {
        gStore = nullptr;
        file->shared->fd = -1;
        MDK_close(file);
        MDK_DeAllocEnv(env);
        platform::closeFile(fd);
    }
    // Reads block `address` through the store into a buffer it chooses.
    uint8_t* fetch(uint32_t address) {
        if (uint8_t* hit = store::cachedBlock(s, address)) return hit;
        store::CacheBuffer& b = store::chooseBuffer(file, s);
        const store::Place p = place(file, address);
        platform::IoResult r = store::readBytes(s, p.fd, b.data.get(), kBlock, p.offset);
        EXPECT_EQ(r.count, kBlock);
        store::settle(s, b, address);
        return b.data.get();
    }
    store::CacheBuffer& bufferOf(uint8_t* block, uint32_t address) {
        store::CacheBuffer* b = store::bufferOf(s, block, address);
        EXPECT_NE(b, nullptr);
        return *b;
    }
    std::vector<uint8_t> onDisk(int64_t offset, size_t n) {
        std::vector<uint8_t> out(n);
        platform::IoResult r = platform::readAt(fd, out.data(), n, offset);
        EXPECT_EQ(r.count, static_cast<int64_t>(n));
        return out;
    }

    test::TempDir dir;
    std::string path;
    MdkEnv* env = nullptr;
    MdkFile* file = nullptr;
    std::vector<std::string> log;
    int fd = -1;
    store::BlockStore s;
};

TEST_F(BlockStoreWithMap, ABlockIsReadFromWhereTheMapPlacesIt) {
    const uint8_t* b = fetch(3);
    EXPECT_EQ(b[0], 0x40 + kBlocks + 1 - 3);
    EXPECT_EQ(b[kBlock - 1], 0x40 + kBlocks + 1 - 3);
}

TEST_F(BlockStoreWithMap, OnlyTheChangedPartsReachTheMappedPlace) {
    uint8_t* b = fetch(2);
    const int64_t at = mappedOffset(2);
    // Another writer changes the whole place on disk; this store changes its first part only.
    std::vector<uint8_t> theirs(kBlock, 0x11);
    ASSERT_EQ(platform::writeAt(fd, theirs.data(), kBlock, at).count, kBlock);
    common::BlockParts parts(kBlock);
    parts.add(0, 4);
    std::memset(b, 0x77, 4);
    store::setDirty(s, bufferOf(b, 2), parts.bits());
    store::writeDirtyBuffers(file, s, false);
    const std::vector<uint8_t> disk = onDisk(at, kBlock);
    const size_t partEnd = size_t{1} << common::partShift(kBlock);
    for (size_t i = 0; i < kBlock; i++) {
        SCOPED_TRACE(i);
        ASSERT_EQ(disk[i], i < 4 ? 0x77 : i < partEnd ? b[i] : 0x11);
    }
    EXPECT_EQ(gWrittenBack, std::vector<uint32_t>{2});
    EXPECT_FALSE(bufferOf(b, 2).dirty);
    // The identity place (block 2's own offset) is untouched.
    EXPECT_EQ(onDisk(2 * kBlock, 1)[0], 0x40 + 2);
}

TEST_F(BlockStoreWithMap, ADirtyBufferTakenForAnotherBlockIsWrittenBackEarly) {
    uint8_t* b = fetch(1);
    std::memset(b, 0x55, kBlock);
    store::setDirty(s, bufferOf(b, 1), common::kAllParts);
    // Fill every buffer with other blocks until the clock hand takes block 1's.
    for (uint32_t a = 2; a <= kBlocks && gWrittenBack.empty(); a++)
        fetch(a);
    ASSERT_EQ(gWrittenBack, std::vector<uint32_t>{1});
    EXPECT_TRUE(gEarly[0]);
    EXPECT_EQ(onDisk(mappedOffset(1), kBlock), std::vector<uint8_t>(kBlock, 0x55));
    EXPECT_EQ(store::cachedBlock(s, 1), nullptr);
}

TEST_F(BlockStoreWithMap, ABulkWriteBackPutsEveryBlockAtItsPlace) {
    for (uint32_t a = 1; a <= 6; a++) {
        uint8_t* b = fetch(a);
        std::memset(b, static_cast<int>(0xA0 + a), kBlock);
        store::setDirty(s, bufferOf(b, a), common::kAllParts);
    }
    store::writeDirtyBuffers(file, s, true);
    EXPECT_TRUE(gWrittenBack.empty());  // written as they stand, not one by one
    EXPECT_EQ(s.dirtyCount, 0u);
    EXPECT_TRUE(s.dirtyBuffers.empty());
    for (uint32_t a = 1; a <= 6; a++)
        EXPECT_EQ(onDisk(mappedOffset(a), kBlock),
                  std::vector<uint8_t>(kBlock, static_cast<uint8_t>(0xA0 + a)));
}

TEST_F(BlockStoreWithMap, InATransactionDirtyBuffersStayAndTheCacheGrows) {
    env->inTransaction = true;
    for (uint32_t a = 1; a <= 8; a++) {
        uint8_t* b = fetch(a);
        store::setDirty(s, bufferOf(b, a), common::kAllParts);
    }
    fetch(9);
    EXPECT_TRUE(gWrittenBack.empty());
    EXPECT_GT(s.cache.size(), s.baseBuffers);
    for (uint32_t a = 1; a <= 9; a++)
        EXPECT_NE(store::cachedBlock(s, a), nullptr);
    store::writeDirtyBuffers(file, s, false);
    env->inTransaction = false;
    store::shrinkCache(s);
    EXPECT_EQ(s.cache.size(), s.baseBuffers);
}

}  // namespace
