// Blocks of extended files read through the block map, on files made byte by byte: where a
// number's block is found, what is refused, and that reading never changes the map.
#include <gtest/gtest.h>

#include <algorithm>

#include "extended/test_files.h"

using namespace mdnio;
using namespace mdnio::extended;
using namespace mdnio::extended::test;

namespace {

class ExtendedStore : public OpenFile {
  protected:
    // Fetches block x in `mode`; answers 0 or the code raised, with the block's first bytes.
    int32_t fetch(uint32_t number, Fetch mode = Fetch::Plain, int type = kAnyType) {
        return inPeriod(file, [&](ExtFile* f) {
            const uint8_t* b = fetchBlock(f, number, mode, type);
            fetched.assign(b, b + shared()->blockSize);
        });
    }
    MapEntry cachedEntry(uint32_t number) {
        MapEntry e;
        EXPECT_EQ(
            inPeriod(file,
                     [&](ExtFile* f) {
                         const uint8_t* map = fetchMap(f, f->sh()->geo.groupOf(number));
                         e = readMapEntry({map, f->sh()->blockSize}, f->sh()->geo.entryOf(number));
                     }),
            0);
        return e;
    }
    std::vector<uint8_t> fetched;
};

// A number whose entry holds no place is read from the place of its own number, and the entry
// stays as it was: a read writes no map entry, in the cache or on disk.
TEST_F(ExtendedStore, ImplicitEntryReadsAsItsNumber) {
    FileImage image = soundImage();
    image.slottedBlock(5, kTypeData);
    image.addDataRecord(5, "k1", "data", 1);
    ASSERT_EQ(image.entry(5), (MapEntry{kTypeData, 0}));
    ASSERT_TRUE(open(image));
    ASSERT_EQ(fetch(5, Fetch::Plain, kTypeData), 0);
    EXPECT_EQ(blockNumber(fetched), 5u);
    EXPECT_EQ(blockCount(fetched), 1u);
    EXPECT_EQ(cachedEntry(5), (MapEntry{kTypeData, 0}));
    EXPECT_EQ(shared()->dirtyCount, 0u);
    const std::vector<uint8_t> disk = mdnio::test::readFile(path);
    EXPECT_EQ(readMapEntry(std::span<const uint8_t>(disk).subspan(4096, 4096), 4),
              (MapEntry{kTypeData, 0}));
    // The map copy is cached under its own place, beside the block.
    EXPECT_NE(store::cachedBlock(*shared(), 1), nullptr);
}

// The directory names the current copy: a block moved in the second copy is read from its new
// place, and what the first copy says is not looked at.
TEST_F(ExtendedStore, ReadsThroughTheCurrentCopy) {
    FileImage image;
    image.region.directory[0] = kDirSecondCopy | kDirMayHaveFree;
    image.keyDescriptors(3, {keyDescriptor(0, {segment(common::kKeyAreaField, 0, 8)})});
    image.setEntry(5, kTypeData, 7);
    image.setEntry(7, kUsageFree, 5);
    common::initSlottedBlock(image.place(7), kTypeData, 5);
    writeMapEntry(image.mapCopy(0, false), 4, {kTypeData, 0});  // the older copy: at 5
    ASSERT_TRUE(open(image));
    ASSERT_EQ(fetch(5, Fetch::Plain, kTypeData), 0);
    EXPECT_EQ(blockNumber(fetched), 5u);
}

struct Refusal {
    const char* name;
    uint32_t number;
    int type;
    int32_t code;
    void (*damage)(FileImage&);
};

class ExtendedStoreRefusal : public ExtendedStore, public ::testing::WithParamInterface<Refusal> {};

TEST_P(ExtendedStoreRefusal, RaisesItsCodeAndCachesNothingUnderTheNumber) {
    FileImage image = soundImage();
    image.slottedBlock(5, kTypeData);
    image.slottedBlock(6, kTypeData);
    GetParam().damage(image);
    ASSERT_TRUE(open(image));
    EXPECT_EQ(fetch(GetParam().number, Fetch::Plain, GetParam().type), GetParam().code);
    if (GetParam().number > 2) {
        EXPECT_EQ(store::cachedBlock(*shared(), GetParam().number), nullptr);
    }
}

void none(FileImage&) {}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExtendedStoreRefusal,
    ::testing::Values(Refusal{"NumberZeroIs20", 0, kAnyType, MDK_E_BADADDR, none},
                      Refusal{"FirstMapCopyIs20", 1, kAnyType, MDK_E_BADADDR, none},
                      Refusal{"SecondMapCopyIs20", 2, kAnyType, MDK_E_BADADDR, none},
                      // E = 1022 numbers per group of a 4096-byte file: 1025 is in group 1, which
                      // the directory of one group does not have.
                      Refusal{"GroupBeyondDirectoryIs20", 1025, kAnyType, MDK_E_BADADDR, none},
                      Refusal{"MapPlaceIs41", 5, kAnyType, MDK_E_BUFFER,
                              [](FileImage& f) { f.setEntry(5, kTypeData, 2); }},
                      Refusal{"PlaceBeyondTheHighestBlockIs41", 5, kAnyType, MDK_E_BUFFER,
                              [](FileImage& f) { f.setEntry(5, kTypeData, 40); }},
                      // The entry names the place of block 6: what is read there carries 6, not 5.
                      Refusal{"BlockNumberMismatchIs41", 5, kAnyType, MDK_E_BUFFER,
                              [](FileImage& f) {
                                  f.setEntry(5, kTypeData, 6);
                                  f.setEntry(6, kTypeData, 5);
                              }},
                      Refusal{"TypeMismatchIs41", 5, kTypeKey, MDK_E_BUFFER, none}),
    [](const auto& info) { return std::string(info.param.name); });

// A block made in create mode starts from zeros whatever its place held.
TEST_F(ExtendedStore, CreateModeZeroesTheBlock) {
    FileImage image = soundImage();
    image.slottedBlock(5, kTypeData);
    image.addDataRecord(5, "stale", "bytes", 1);
    ASSERT_TRUE(open(image));
    // Whether the stale block was cached first or not.
    for (bool cachedFirst : {false, true}) {
        store::dropBuffers(*shared());
        if (cachedFirst) {
            ASSERT_EQ(fetch(5), 0);
        }
        // Made and dropped again: a block without a type is never written.
        ASSERT_EQ(inPeriod(file,
                           [&](ExtFile* f) {
                               const uint8_t* b = fetchBlock(f, 5, Fetch::Create);
                               fetched.assign(b, b + f->sh()->blockSize);
                               abandonPeriod(f);
                           }),
                  0);
        EXPECT_EQ(blockNumber(fetched), 5u);
        EXPECT_EQ(fetched[0], 0);
        EXPECT_TRUE(std::all_of(fetched.begin() + kBlockHead, fetched.end(), [](uint8_t b) {
            return b == 0;
        })) << cachedFirst;
    }
}

// ---- periods that change blocks ----------------------------------------------------------------

// A changed block whose place the committed state uses goes to the place of a free number, and
// that number takes the old place: the map stays a permutation.
TEST_F(ExtendedStore, RelocatedPlaceGoesToTheFreeNumber) {
    FileImage image = soundImage();
    image.slottedBlock(5, kTypeData);
    ASSERT_TRUE(open(image));
    ASSERT_EQ(
        inPeriod(file, [](ExtFile* f) { markDirty(f, fetchBlock(f, 5, Fetch::Plain, kTypeData)); }),
        0);
    ASSERT_EQ(inPeriod(file,
                       [](ExtFile* f) {
                           const uint32_t now = translate(f, 5).physical;
                           EXPECT_NE(now, 5u);
                           // The free number whose place 5 took (an implicit entry: its own number)
                           // holds 5's old place now.
                           const uint8_t* map = fetchMap(f, 0);
                           EXPECT_EQ(readMapEntry({map, 4096}, now - 1), (MapEntry{kUsageFree, 5}));
                           EXPECT_TRUE(isDataUsage(readMapEntry({map, 4096}, 4).usage));
                       }),
              0);
}

// When no group may hold a free number, a group is appended: its two map copies take the places
// after the highest block, and the first number handed out is its entry 2.
TEST_F(ExtendedStore, AppendedGroupHandsOutEntry2) {
    FileImage image = soundImage();
    image.region.directory[0] = 0;  // group 0 holds no free number
    ASSERT_TRUE(open(image));
    uint32_t number = 0;
    ASSERT_EQ(inPeriod(file, [&](ExtFile* f) { newBlock(f, kTypeKey, &number); }), 0);
    const uint32_t E = shared()->geo.entriesPerMap;
    EXPECT_EQ(number, E + 3);
    EXPECT_EQ(shared()->region.groupCount(), 2u);
    EXPECT_GE(shared()->region.highestBlock, E + 3);
    const std::vector<uint8_t> disk = mdnio::test::readFile(path);
    for (uint32_t copy : {E + 1, E + 2}) {
        const std::span<const uint8_t> map =
            std::span<const uint8_t>(disk).subspan(size_t{copy} * 4096, 4096);
        EXPECT_EQ(blockType(map), kTypeMap);
        EXPECT_EQ(blockNumber(map), copy);
    }
    // The committed map names the new block.
    ASSERT_EQ(inPeriod(file,
                       [&](ExtFile* f) {
                           EXPECT_EQ(readMapEntry({committedMap(f, 1), 4096}, 2).usage, kTypeKey);
                       }),
              0);
}

// A map commit switches exactly the groups whose map changed to their other copy: a block of
// group 0 moves within group 0 and leaves group 1 alone; one of group 1 changes group 1 and the
// group its new place comes from.
TEST_F(ExtendedStore, MapCommitTogglesExactlyChangedGroups) {
    ImageSpec spec;
    spec.groups = 2;
    FileImage image = soundImage(spec);
    const uint32_t inGroup1 = image.geo.entriesPerMap + 8;
    image.slottedBlock(5, kTypeData);
    image.slottedBlock(inGroup1, kTypeData);
    ASSERT_TRUE(open(image));
    std::vector<std::vector<bool>> changed, toggled;
    auto change = [&](uint32_t n) {
        return inPeriod(file, [&](ExtFile* f) {
            ExtShared* s = f->sh();
            markDirty(f, fetchBlock(f, n, Fetch::Plain, kTypeData));
            store::writeDirtyBuffers(f, *s, false);
            const std::vector<uint8_t> before = s->region.directory;
            commitMaps(f);
            writeRegion(f);
            changed.emplace_back();
            toggled.emplace_back();
            for (size_t g = 0; g < before.size(); g++) {
                changed.back().push_back(before[g] & kDirChanged);
                toggled.back().push_back((before[g] ^ s->region.directory[g]) & kDirSecondCopy);
                EXPECT_EQ(s->region.directory[g] & kDirChanged, 0);
            }
        });
    };
    ASSERT_EQ(change(5), 0);
    ASSERT_EQ(change(inGroup1), 0);
    ASSERT_EQ(change(5), 0);
    EXPECT_EQ(toggled, changed);
    EXPECT_EQ(changed[0], (std::vector<bool>{true, false}));
    EXPECT_TRUE(changed[1][1]);
}

// A period that fails half-way writes nothing: its blocks, its map copies and its region are
// dropped, and the next period starts from the committed state.
TEST_F(ExtendedStore, AFailedPeriodLeavesNothing) {
    FileImage image = soundImage();
    image.slottedBlock(5, kTypeData);
    ASSERT_TRUE(open(image));
    const std::vector<uint8_t> before = mdnio::test::readFile(path);
    const HeaderRegion region = shared()->region;
    EXPECT_EQ(inPeriod(file,
                       [](ExtFile* f) {
                           uint8_t* b = fetchBlock(f, 5, Fetch::Plain, kTypeData);
                           b[4000] = 0x77;
                           markDirty(f, b);
                           uint32_t n = 0;
                           newBlock(f, kTypeKey, &n);
                           releaseBlock(f, 3);
                           raiseError(f, MDK_E_DUPLICATE);
                       }),
              MDK_E_DUPLICATE);
    EXPECT_EQ(mdnio::test::readFile(path), before);
    EXPECT_EQ(shared()->dirtyCount, 0u);
    EXPECT_EQ(shared()->region.directory, region.directory);
    EXPECT_EQ(shared()->region.highestBlock, region.highestBlock);
    ASSERT_EQ(fetch(5, Fetch::Plain, kTypeData), 0);
    EXPECT_NE(fetched[4000], 0x77);
    EXPECT_EQ(cachedEntry(3).usage, kTypeKeyDescriptor);
}

}  // namespace
