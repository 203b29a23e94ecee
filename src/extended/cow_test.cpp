// Copy-on-write at the level of the block store: a period that changes, releases and adds
// blocks never writes over a place the committed state uses, neither before its header region
// is written nor after; the new state is what the next open reads.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "common/datablock.h"
#include "extended/test_files.h"

using namespace mdnio;
using namespace mdnio::extended;
using namespace mdnio::extended::test;

namespace {

constexpr uint32_t kBlock = 4096;

std::vector<uint8_t> placeBytes(const std::vector<uint8_t>& file, uint32_t place, size_t from = 0,
                                size_t to = kBlock) {
    const size_t at = size_t{place} * kBlock;
    return {file.begin() + static_cast<ptrdiff_t>(at + from),
            file.begin() + static_cast<ptrdiff_t>(at + to)};
}

class CopyOnWrite : public OpenFile {
  protected:
    // Every place the committed state uses is as it was in `before`: block 0 up to its header
    // region (all of it while `regionToo`), the current map copy and every live block.
    void expectCommittedPlacesKept(const std::vector<uint8_t>& before, bool regionToo) {
        const std::vector<uint8_t> now = mdnio::test::readFile(path);
        const size_t headerEnd = regionToo ? kBlock : 2048 - 4;
        EXPECT_EQ(placeBytes(now, 0, 0, headerEnd), placeBytes(before, 0, 0, headerEnd));
        for (uint32_t place : {1u, 3u, 5u, 6u, 7u})
            EXPECT_EQ(placeBytes(now, place), placeBytes(before, place)) << "place " << place;
    }
};

TEST_F(CopyOnWrite, CommittedPlacesNeverOverwritten) {
    FileImage image = soundImage();
    for (uint32_t n : {5u, 6u, 7u}) {
        image.slottedBlock(n, kTypeData);
        image.addDataRecord(n, "k" + std::to_string(n), "committed", n);
    }
    ASSERT_TRUE(open(image));
    const std::vector<uint8_t> before = mdnio::test::readFile(path);
    uint32_t added = 0;
    ASSERT_EQ(inPeriod(file,
                       [&](ExtFile* f) {
                           for (uint32_t n : {5u, 6u}) {
                               uint8_t* b = fetchBlock(f, n, Fetch::Plain, kTypeData);
                               std::memcpy(b + kBlock - 20, "changed!", 8);
                               markDirty(f, b);
                           }
                           releaseBlock(f, 7);
                           uint8_t* b = newBlock(f, kTypeData, &added);
                           common::initSlottedBlock({b, kBlock}, kTypeData, added);
                           std::memcpy(b + kBlock - 20, "new one!", 8);
                           // The blocks, then the map: the committed state is still whole.
                           store::writeDirtyBuffers(f, *f->sh(), false);
                           commitMaps(f);
                           expectCommittedPlacesKept(before, true);
                           // The region names the new state; the old places are still intact.
                           writeRegion(f);
                           expectCommittedPlacesKept(before, false);
                       }),
              0);
    MDK_close(file);
    file = MDK_INVALID_FILE;

    // A new open reads the new state: the changed blocks from new places, 7 free, the new one.
    MdkEnv* again = MDK_AllocEnv();
    MdkFile* reopened = MDK_OpenExt(again, path.c_str(), nullptr, 0, 0, nullptr);
    ASSERT_NE(reopened, MDK_INVALID_FILE);
    std::set<uint32_t> places;
    ASSERT_EQ(inPeriod(reopened,
                       [&](ExtFile* f) {
                           EXPECT_EQ(f->sh()->region.directory[0] & kDirSecondCopy, kDirSecondCopy);
                           for (uint32_t n : {5u, 6u, added}) {
                               const uint8_t* b = fetchBlock(f, n, Fetch::Plain, kTypeData);
                               EXPECT_EQ(
                                   std::string(reinterpret_cast<const char*>(b) + kBlock - 20, 8),
                                   n == added ? "new one!" : "changed!");
                               places.insert(translate(f, n).physical);
                           }
                           const uint8_t* map = fetchMap(f, 0);
                           // Live blocks keep their usage; the released one is free.
                           EXPECT_EQ(readMapEntry({map, kBlock}, 4).usage & 0xF0, kUsageData);
                           EXPECT_EQ(readMapEntry({map, kBlock}, 5).usage & 0xF0, kUsageData);
                           EXPECT_EQ(readMapEntry({map, kBlock}, 6).usage, kUsageFree);
                       }),
              0);
    // No live block of the new state lies where a block of the old one lay.
    for (uint32_t old : {1u, 3u, 5u, 6u, 7u})
        EXPECT_EQ(places.count(old), 0u) << old;
    EXPECT_EQ(places.size(), 3u);
    MDK_close(reopened);
    MDK_DeAllocEnv(again);
}

}  // namespace
