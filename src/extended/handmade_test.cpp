// A whole file laid out by hand and read back the way the engine will: header, key descriptors
// through their chain, a key tree's root through the map, and the records its leaf points at,
// with the map's current copy at the second place and blocks away from their own numbers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/keyblock.h"
#include "extended/blockmap.h"
#include "extended/format.h"
#include "extended/testing.h"

using namespace mdnio;
using namespace mdnio::extended;
using namespace mdnio::extended::test;

namespace {

// The block at logical number x of `file`, through the directory and the current map copy.
std::span<const uint8_t> fetch(const std::vector<uint8_t>& file, const Geometry& g,
                               const HeaderRegion& r, uint32_t logical) {
    EntryPlace place;
    EXPECT_EQ(entryPlace(g, r.groupCount(), logical, place), 0);
    const uint32_t copy = currentMapCopy(g, place.group, r.directory[place.group]);
    const std::span<const uint8_t> all(file);
    const std::span<const uint8_t> map = all.subspan(size_t{copy} * g.blockSize, g.blockSize);
    EXPECT_EQ(checkMapBlock(g, map), 0);
    Location at;
    EXPECT_EQ(locate(g, map, place, logical, at), 0);
    return all.subspan(size_t{at.physical} * g.blockSize, g.blockSize);
}

std::vector<uint8_t> value(uint8_t length, std::string bytes, size_t size) {
    std::vector<uint8_t> v(size, 0);
    v[0] = length;
    std::copy(bytes.begin(), bytes.end(), v.begin() + 1);
    return v;
}

TEST(HandMadeFile, ReadsBackThroughTheMap) {
    FileImage f;
    f.region.directory[0] = kDirSecondCopy | kDirMayHaveFree;
    // The second copy is current; the first one is an older map that points elsewhere.
    f.setEntry(5, kUsageData | 0x0E, 9);  // data block 5 lies at place 9 ...
    f.setEntry(9, kUsageFree, 5);         // ... and free number 9 at place 5
    writeMapEntry(f.mapCopy(0, false), 4, {kUsageData, 0});
    f.keyDescriptors(3, {keyDescriptor(0, {segment(common::kKeyAreaField, 0, 8)})});
    f.slottedBlock(5, kTypeData);
    const uint32_t apple = f.addDataRecord(5, "apple", "red", 1);
    const uint32_t pear = f.addDataRecord(5, "pear", "green", 2);
    const size_t es = 8 + 5;
    f.keyBlock(4, es,
               {{-static_cast<int32_t>(apple), value(5, "apple", es - 4)},
                {-static_cast<int32_t>(pear), value(4, "pear", es - 4)},
                {0, value(0xFF, std::string(8, '\xFF'), es - 4)}});
    f.region.roots[0] = 4;
    f.region.recordCount = 2;
    f.region.insertSequence = 2;
    const std::vector<uint8_t> file = f.bytes();
    ASSERT_EQ(file.size(), 10u * 4096);

    FixedHeader h;
    ASSERT_EQ(decodeFixedHeader(file, h), 0);
    Geometry g;
    ASSERT_EQ(makeGeometry(h.blockCode, h.largeFile(), g), 0);
    HeaderRegion r;
    ASSERT_EQ(decodeHeaderRegion(std::span<const uint8_t>(file).subspan(h.regionStart()), g,
                                 h.keyCount, r),
              0);
    EXPECT_EQ(r.highestBlock, 9u);

    // The key descriptors, record 0 of the 0xFD chain.
    const RecordAddress first = splitAddress(h.keyDescriptors);
    std::span<const uint8_t> descBlock = fetch(file, g, r, first.block);
    EXPECT_EQ(blockType(descBlock), kTypeKeyDescriptor);
    const common::RecordRef ref = common::readRecord(
        descBlock, first.slot, {common::RecordShape::Kind::Chained, 0, 0}, g.blockSize);
    ASSERT_EQ(ref.code, 0);
    ChainedRecord chained;
    ASSERT_EQ(decodeChainedRecord(ref.bytes, g.blockSize, chained), 0);
    EXPECT_EQ(chained.next, 0u);
    KeyDescriptor d;
    ASSERT_EQ(decodeKeyDescriptor(chained.payload, d), 0);
    common::KeyLayout layout;
    ASSERT_EQ(buildKeyLayout(h, std::vector<KeyDescriptor>{d}, layout), 0);
    ASSERT_EQ(layout.keys[0].entrySize(), es);

    // The root leaf and the records it names.
    std::span<const uint8_t> root = fetch(file, g, r, r.roots[0]);
    EXPECT_EQ(blockType(root), kTypeKey);
    ASSERT_EQ(common::entryCount(root), 3);
    const RecordLimits limits = recordLimits(h);
    std::vector<std::string> seen;
    for (unsigned i = 0; i < 3; ++i) {
        const int32_t pointer = common::entryPointer(root, es, i);
        if (common::entryValue(root, es, i)[0] == 0xFF) {
            EXPECT_EQ(pointer, 0) << "the end entry names no record";
            continue;
        }
        const RecordAddress at = splitAddress(static_cast<uint32_t>(-pointer));
        std::span<const uint8_t> data = fetch(file, g, r, at.block);
        EXPECT_EQ(blockNumber(data), 5u);
        const common::RecordRef rec =
            common::readRecord(data, at.slot, {common::RecordShape::Kind::Data, 8, 4}, 0);
        ASSERT_EQ(rec.code, 0);
        DataRecord dr;
        ASSERT_EQ(decodeDataRecord(rec.bytes, limits, dr), 0);
        seen.push_back(std::string(dr.keyArea.begin(), dr.keyArea.begin() + dr.keyLength) + "=" +
                       std::string(dr.data.begin(), dr.data.end()));
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"apple=red", "pear=green"}));
    // The data block was placed at 9, not at its own number.
    EXPECT_EQ(blockType(std::span<const uint8_t>(file).subspan(9 * 4096, 4096)), kTypeData);
    EXPECT_EQ(blockType(std::span<const uint8_t>(file).subspan(5 * 4096, 4096)), 0);
}

}  // namespace
