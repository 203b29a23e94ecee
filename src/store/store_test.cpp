// The block store under an engine of the test's own: a block map that moves every block to
// another place, so that what the store writes is seen to go where the map says and nowhere
// else, whole or in the parts that changed.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
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
// Steps of a period in the order the store asked for them ("relocate:n", "write:n", "map",
// "sync", "header").
std::vector<std::string> gSteps;
// Blocks a relocation moved: address -> offset of their new place.
std::map<uint32_t, int64_t> gMoved;

store::Place place(MdkFile* f, uint32_t address) {
    if (address == 0 || address > kBlocks) raiseError(f, MDK_E_BADADDR);
    const auto moved = gMoved.find(address);
    return {gStore->baseFd(), moved != gMoved.end() ? moved->second : mappedOffset(address)};
}

void writeBack(MdkFile* f, store::CacheBuffer& b, bool early) {
    gWrittenBack.push_back(b.address);
    gEarly.push_back(early);
    gSteps.push_back("write:" + std::to_string(b.address));
    store::writeBuffer(f, *gStore, b, b.data.get(), place(f, b.address), false);
}

void checkBulk(MdkFile*, const store::CacheBuffer&) {}

// Reads block `address` through the store into a buffer it chooses.
uint8_t* fetchInto(MdkFile* f, store::BlockStore& s, uint32_t address) {
    if (uint8_t* hit = store::cachedBlock(s, address)) return hit;
    store::CacheBuffer& b = store::chooseBuffer(f, s);
    const store::Place p = place(f, address);
    platform::IoResult r = store::readBytes(s, p.fd, b.data.get(), kBlock, p.offset);
    EXPECT_EQ(r.count, kBlock);
    store::settle(s, b, address);
    return b.data.get();
}

const store::StoreHooks kReversed = {
    .place = place, .writeBack = writeBack, .checkBulk = checkBulk};

class BlockStoreWithMap : public ::testing::Test {
  protected:
    void SetUp() override {
        gWrittenBack.clear();
        gEarly.clear();
        gSteps.clear();
        gMoved.clear();
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
        platform::resetSysCalls();
        gStore = nullptr;
        file->shared->fd = -1;
        MDK_close(file);
        MDK_DeAllocEnv(env);
        platform::closeFile(fd);
    }
    // Reads block `address` through the store into a buffer it chooses.
    uint8_t* fetch(uint32_t address) { return fetchInto(file, s, address); }
    // Fills block `address` with `value` and marks it wholly changed.
    void change(uint32_t address, uint8_t value) {
        uint8_t* b = fetch(address);
        std::memset(b, value, kBlock);
        store::setDirty(s, bufferOf(b, address), common::kAllParts);
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

// ---- stores whose blocks move when they are written ---------------------------------------------

// A relocation that, like a block map's, reads other blocks while it moves the one being
// written: blocks 5 and 6, keeping 5 pinned while it reads 6.  Block n moves to the place of
// block n + 8.
void relocateReadingTwo(MdkFile* f, store::CacheBuffer& b) {
    gSteps.push_back("relocate:" + std::to_string(b.address));
    uint8_t* five = fetchInto(f, *gStore, 5);
    store::Pin keep(*store::findBuffer(*gStore, 5));
    const uint8_t* six = fetchInto(f, *gStore, 6);
    EXPECT_NE(five, six);
    EXPECT_EQ(five[0], 0x40 + kBlocks + 1 - 5) << "the pinned buffer was taken for block 6";
    gMoved[b.address] = mappedOffset(b.address + 8);
}

void commitMap(MdkFile*) {
    gSteps.push_back("map");
}
void writeHeader(MdkFile*) {
    gSteps.push_back("header");
}
int recordSync(int fd) {
    gSteps.push_back("sync");
    return platform::defaultSysCalls().fsync(fd);
}

const store::StoreHooks kMoving = {.place = place,
                                   .writeBack = writeBack,
                                   .checkBulk = checkBulk,
                                   .relocate = relocateReadingTwo,
                                   .commitMap = commitMap,
                                   .writeHeader = writeHeader};

// The buffer being written stays where it is while its relocation reads two blocks through a
// cache of two buffers: neither the buffer being written nor a pinned one is taken, the cache
// grows instead, and the block reaches its new place whole.
TEST_F(BlockStoreWithMap, ARelocationThatReadsBlocksNeverTakesABufferInUse) {
    s.hooks = &kMoving;
    s.writeEarly = false;
    s.cache.resize(2);
    s.baseBuffers = 2;
    change(1, 0x61);
    fetch(2);
    store::writeDirtyBuffers(file, s, false);
    EXPECT_EQ(gSteps, (std::vector<std::string>{"relocate:1", "write:1"}));
    EXPECT_EQ(onDisk(mappedOffset(9), kBlock), std::vector<uint8_t>(kBlock, 0x61));
    EXPECT_EQ(onDisk(mappedOffset(1), 1)[0], 0x40 + kBlocks + 1 - 1) << "old place overwritten";
    EXPECT_GE(s.cache.size(), 3u);
    EXPECT_EQ(s.dirtyCount, 0u);
    for (const store::CacheBuffer& b : s.cache)
        EXPECT_EQ(b.pins, 0u);
}

// A store that never writes early keeps every dirty buffer and grows, and the metadata buffers
// are left to the engine by the period's write-back.
TEST_F(BlockStoreWithMap, WithoutEarlyWritesDirtyBuffersStayAndMetadataIsLeftAlone) {
    s.writeEarly = false;
    for (uint32_t a = 1; a <= 8; a++)
        change(a, static_cast<uint8_t>(0xB0 + a));
    bufferOf(store::cachedBlock(s, 8), 8).metadata = true;
    for (uint32_t a = 9; a <= 12; a++)
        fetch(a);
    EXPECT_TRUE(gWrittenBack.empty());
    EXPECT_GT(s.cache.size(), s.baseBuffers);
    for (uint32_t a = 1; a <= 8; a++)
        EXPECT_NE(store::cachedBlock(s, a), nullptr) << a;
    store::writeDirtyBuffers(file, s, false);
    EXPECT_EQ(gWrittenBack, (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7}));
    store::CacheBuffer& meta = bufferOf(store::cachedBlock(s, 8), 8);
    EXPECT_TRUE(meta.dirty);
    EXPECT_EQ(s.dirtyBuffers, std::vector<uint32_t>{meta.index});
    EXPECT_EQ(onDisk(mappedOffset(8), 1)[0], 0x40 + kBlocks + 1 - 8);
}

// A period ends with the blocks, then the map, then the header; with writes that must survive a
// power loss each step is on disk before the next begins.
TEST_F(BlockStoreWithMap, APeriodEndsWithBlocksThenMapThenHeader) {
    s.hooks = &kMoving;
    s.writeEarly = false;
    change(2, 0x72);
    change(3, 0x73);
    store::finishPeriod(file, s, false);
    EXPECT_EQ(gSteps, (std::vector<std::string>{"relocate:2", "write:2", "relocate:3", "write:3",
                                                "map", "header"}));
    gSteps.clear();
    platform::sys().fsync = recordSync;
    env->syncWrites = 1;
    change(4, 0x74);
    store::finishPeriod(file, s, false);
    EXPECT_EQ(gSteps,
              (std::vector<std::string>{"relocate:4", "write:4", "map", "sync", "header", "sync"}));
}

std::vector<std::pair<int64_t, size_t>> gWrites;  // (offset, bytes) of every pwrite
ssize_t recordWrite(int fd, const void* buf, size_t n, off_t off) {
    gWrites.emplace_back(off, n);
    return platform::defaultSysCalls().pwrite(fd, buf, n, off);
}

// Blocks whose places run the other way from their numbers go out in the order of their places:
// six neighbouring places make one write.
TEST_F(BlockStoreWithMap, ABulkWriteBackGoesInTheOrderOfPlaces) {
    for (uint32_t a = 1; a <= 6; a++)
        change(a, static_cast<uint8_t>(0xC0 + a));
    gWrites.clear();
    platform::sys().pwrite = recordWrite;
    store::writeDirtyBuffers(file, s, true);
    platform::resetSysCalls();
    EXPECT_EQ(gWrites, (std::vector<std::pair<int64_t, size_t>>{{mappedOffset(6), 6 * kBlock}}));
    for (uint32_t a = 1; a <= 6; a++)
        EXPECT_EQ(onDisk(mappedOffset(a), kBlock),
                  std::vector<uint8_t>(kBlock, static_cast<uint8_t>(0xC0 + a)));
}

// A buffer renamed to another number takes the place of the buffer that held that number.
TEST_F(BlockStoreWithMap, ARenamedBufferReplacesTheOneHoldingItsNewNumber) {
    uint8_t* two = fetch(2);
    change(3, 0x33);
    store::renameBuffer(s, bufferOf(two, 2), 3);
    EXPECT_EQ(store::cachedBlock(s, 3), two);
    EXPECT_EQ(store::cachedBlock(s, 2), nullptr);
    EXPECT_EQ(s.dirtyCount, 0u) << "the dirty buffer of 3 was dropped";
}

}  // namespace
