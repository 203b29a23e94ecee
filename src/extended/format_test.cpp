// The extended format's codecs against files laid out byte by byte: what a sound header decodes
// to and encodes back, and every header, record and descriptor the engine must refuse.
#include "extended/format.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "extended/testing.h"

using namespace mdnio;
using namespace mdnio::extended;
using namespace mdnio::extended::test;

namespace {

// A file with two keys (key 0 over the key area, key 1 over field 1) and two groups.
FileImage twoKeyFile() {
    ImageSpec spec;
    spec.groups = 2;
    FileImage f(spec);
    f.keyDescriptors(3, {keyDescriptor(0, {segment(common::kKeyAreaField, 0, 8)}),
                         keyDescriptor(kKeyUnique, {segment(1, 0, 6), segment(2, 1, 4)})});
    return f;
}

std::span<const uint8_t> regionOf(const std::vector<uint8_t>& file, unsigned keyCount) {
    const size_t start = kOffRootsEnd - 4 * size_t{keyCount};
    return std::span<const uint8_t>(file).subspan(start, 4096 - start);
}

TEST(ExtendedHeader, RoundTripIsByteExact) {
    FileImage f = twoKeyFile();
    f.region.roots = {0x0000012A, 0x00000007};
    f.region.changeCounter = 0x0102030405060708ull;
    f.region.recordCount = 0x00000001FFFFFFFFull;
    f.region.insertSequence = 0x8000000000000001ull;
    f.region.spare = {1, 2, 3, 4, 5, 6};
    f.region.directory = {0xC5, 0x2F};
    f.fixed.maxRecords = 0x0000000100000002ull;
    f.fixed.identity = {0xDE, 0xAD, 0xBE, 0xEF};
    f.fixed.reported = 0x1122334455667788ull;
    std::vector<uint8_t> file = f.bytes();
    // Bytes no field names are carried as read.
    for (size_t at : {24, 25, 26, 27, 32, 33, 34, 35, 57})
        file[at] = static_cast<uint8_t>(at);

    FixedHeader h;
    ASSERT_EQ(decodeFixedHeader(file, h), 0);
    EXPECT_EQ(h.blockSize(), 4096u);
    EXPECT_EQ(h.keyCount, 2);
    EXPECT_EQ(h.segmentCount, 3);
    EXPECT_EQ(h.maxRecords, 0x0000000100000002ull);
    EXPECT_EQ(h.reported, 0x1122334455667788ull);
    EXPECT_EQ(h.keyDescriptors, makeAddress(3, 1));
    EXPECT_EQ(h.recordBufferLength(), 8 + 100 + 11);
    std::vector<uint8_t> fixedOut(kFixedSize);
    encodeFixedHeader(h, fixedOut);
    EXPECT_TRUE(std::equal(fixedOut.begin(), fixedOut.end(), file.begin()));

    Geometry g;
    ASSERT_EQ(makeGeometry(h.blockCode, h.largeFile(), g), 0);
    HeaderRegion r;
    ASSERT_EQ(decodeHeaderRegion(regionOf(file, 2), g, 2, r), 0);
    EXPECT_EQ(r.roots, (std::vector<uint32_t>{0x12A, 7}));
    EXPECT_EQ(r.changeCounter, 0x0102030405060708ull);
    EXPECT_EQ(r.recordCount, 0x00000001FFFFFFFFull);
    EXPECT_EQ(r.insertSequence, 0x8000000000000001ull);
    EXPECT_EQ(r.groupCount(), 2);
    // Key 0's root is the last word before 2048, key 1's the one before it.
    EXPECT_EQ(common::getBe32(file.data() + 2044), 0x12Au);
    EXPECT_EQ(common::getBe32(file.data() + 2040), 7u);

    std::vector<uint8_t> out(r.size(), 0xAA);
    ASSERT_EQ(encodeHeaderRegion(r, out), 4 * 2 + 36 + 2u);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), file.begin() + 2040));
    EXPECT_EQ(encodeHeaderRegion(r, std::span<uint8_t>(out).first(out.size() - 1)), 0u);
}

TEST(ExtendedHeader, ImpossibleHeadersAreRefusedWith5) {
    struct Case {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> damage;
        int code;
    };
    const std::vector<Case> cases = {
        {"block-size code 0", [](auto& b) { b[kOffBlockCode] = 0; }, MDK_E_FILETYPE},
        {"block-size code 1", [](auto& b) { b[kOffBlockCode] = 1; }, MDK_E_FILETYPE},
        {"block-size code 2", [](auto& b) { b[kOffBlockCode] = 2; }, MDK_E_FILETYPE},
        {"block-size code 3", [](auto& b) { b[kOffBlockCode] = 3; }, 0},
        {"57 bytes", [](auto& b) { b.resize(57); }, MDK_E_FILETYPE},
        {"58 bytes", [](auto& b) { b.resize(58); }, 0},
        {"t 251", [](auto& b) { b[kOffKeyBuffer] = 251; }, MDK_E_FILETYPE},
        {"t 250", [](auto& b) { b[kOffKeyBuffer] = 250; }, 0},
        {"classic magic", [](auto& b) { b[6] = 'y'; }, MDK_E_FILETYPE},
        {"no key", [](auto& b) { b[kOffKeyCount] = 0; }, MDK_E_FILETYPE},
        {"fewer segments than keys", [](auto& b) { b[kOffSegmentCount + 1] = 1; }, MDK_E_FILETYPE},
        {"negative key area", [](auto& b) { b[kOffKeyArea] = 0x80; }, MDK_E_FILETYPE},
        {"negative data length", [](auto& b) { b[kOffMaxDataLength] = 0xFF; }, MDK_E_FILETYPE},
    };
    const std::vector<uint8_t> sound = twoKeyFile().bytes();
    for (const Case& c : cases) {
        std::vector<uint8_t> b = sound;
        c.damage(b);
        FixedHeader h;
        EXPECT_EQ(decodeFixedHeader(b, h), c.code) << c.name;
    }
}

TEST(ExtendedHeader, RegionRefusals) {
    FileImage f = twoKeyFile();  // groups 0 and 1: highest block at least E + 2
    const std::vector<uint8_t> sound = f.bytes();
    Geometry g;
    makeGeometry(3, false, g);
    const uint32_t roomForGroups = 4096 - 2084;
    struct Case {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> damage;
        int code;
    };
    const std::vector<Case> cases = {
        {"sound", [](auto&) {}, 0},
        {"no group", [](auto& b) { common::putBe16(b.data() + kOffGroupCount, 0); }, MDK_E_BUFFER},
        {"D at the directory's room, beyond the highest block",
         [&](auto& b) { common::putBe16(b.data() + kOffGroupCount, roomForGroups); }, MDK_E_BUFFER},
        {"D above the directory's room",
         [&](auto& b) { common::putBe16(b.data() + kOffGroupCount, roomForGroups + 1); },
         MDK_E_BUFFER},
        {"highest block before group 1's second map copy",
         [&](auto& b) { common::putBe32(b.data() + kOffHighestBlock, g.mapCopy(1, true) - 1); },
         MDK_E_BUFFER},
        {"highest block beyond the block limit",
         [&](auto& b) { common::putBe32(b.data() + kOffHighestBlock, g.blockLimit + 1); },
         MDK_E_BUFFER},
        {"root on a map copy",
         [&](auto& b) { common::putBe32(b.data() + 2044, g.mapCopy(1, false)); }, MDK_E_BUFFER},
        {"root beyond the block limit",
         [&](auto& b) { common::putBe32(b.data() + 2040, g.blockLimit + 1); }, MDK_E_BUFFER},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> b = sound;
        c.damage(b);
        HeaderRegion r;
        EXPECT_EQ(decodeHeaderRegion(regionOf(b, 2), g, 2, r), c.code) << c.name;
    }
    // A region cut short of its directory.
    HeaderRegion r;
    EXPECT_EQ(decodeHeaderRegion(regionOf(sound, 2).first(8 + 36 + 1), g, 2, r), MDK_E_BUFFER);
    EXPECT_EQ(regionGroupCount(regionOf(sound, 2).first(8 + 29), 2), -1);
    EXPECT_EQ(regionGroupCount(regionOf(sound, 2), 2), 2);
}

TEST(ExtendedHeader, DirectoryLimit) {
    // D may reach block size - 2084: the directory then ends exactly at the end of block 0.  Its
    // groups must also lie within the block limit: with 8192-byte blocks 6108 groups would pass
    // the 0x7FFFFF blocks of a large file.
    struct Case {
        uint8_t code;
        uint32_t groups;
        int result;
    };
    const std::vector<Case> cases = {
        {3, 2012, 0},
        {3, 2013, MDK_E_BUFFER},
        {7, 4101, 0},  // the last copies at 4100 * 2046 + 2 = 8,388,602
        {7, 4102, MDK_E_BUFFER},
        {7, 6108, MDK_E_BUFFER},
    };
    for (const Case& c : cases) {
        Geometry g;
        ASSERT_EQ(makeGeometry(c.code, true, g), 0);
        std::vector<uint8_t> region(4 + kCountersSize + c.groups, 0);
        common::putBe16(region.data() + 4 + (kOffGroupCount - kOffRootsEnd),
                        static_cast<uint16_t>(c.groups));
        common::putBe32(region.data() + 4 + (kOffHighestBlock - kOffRootsEnd),
                        std::min(g.blockLimit, g.mapCopy(c.groups - 1, true)));
        HeaderRegion r;
        EXPECT_EQ(decodeHeaderRegion(region, g, 1, r), c.result) << int{c.code} << " " << c.groups;
    }
}

TEST(ExtendedGeometry, SizesAndLimits) {
    struct Case {
        uint8_t code;
        bool large;
        uint32_t blockSize, entries, groups, limit;
    };
    const std::vector<Case> cases = {
        {3, false, 4096, 1022, 2012, 0x7FFFFFFFu / 4096},
        {3, true, 4096, 1022, 2012, 1022 * 2012},  // the map holds fewer than 0x7FFFFF
        {15, true, 16384, 4094, 14300, 0x7FFFFF},
        {7, false, 8192, 2046, 6108, 0x7FFFFFFFu / 8192},
        {255, false, 262144, 65534, 260060, 0x7FFFFFFFu / 262144},
    };
    for (const Case& c : cases) {
        Geometry g;
        ASSERT_EQ(makeGeometry(c.code, c.large, g), 0);
        EXPECT_EQ(g.blockSize, c.blockSize);
        EXPECT_EQ(g.entriesPerMap, c.entries);
        EXPECT_EQ(g.maxGroups, c.groups);
        EXPECT_EQ(g.blockLimit, c.limit) << int{c.code};
    }
    Geometry g;
    EXPECT_EQ(makeGeometry(2, true, g), MDK_E_FILETYPE);

    // 32-bit offsets stop at 2 GB; large files go on.
    makeGeometry(3, false, g);
    uint64_t offset = 0;
    EXPECT_EQ(blockOffset(g, 0x80000, offset), 0);
    EXPECT_EQ(offset, 0x80000000ull);
    EXPECT_EQ(blockOffset(g, 0x80001, offset), MDK_E_FULL);
    makeGeometry(3, true, g);
    EXPECT_EQ(blockOffset(g, 0x7FFFFF, offset), 0);
    EXPECT_EQ(offset, 0x7FFFFFull * 4096);
}

TEST(ExtendedAddress, BlockAndSlot) {
    const RecordAddress a = splitAddress(0x00012A03);
    EXPECT_EQ(a.block, 0x12Au);
    EXPECT_EQ(a.slot, 3u);
    EXPECT_EQ(makeAddress(0x12A, 3), 0x00012A03u);
    EXPECT_TRUE(addressValid(0x00012A03));
    EXPECT_FALSE(addressValid(0x00012A00));  // slot 0
    EXPECT_FALSE(addressValid(0x000000FF));  // block 0
    EXPECT_TRUE(addressValid(0x7FFFFFFF));
    EXPECT_FALSE(addressValid(0x80000001));  // beyond 23 bits
}

TEST(ExtendedRecords, DataRecordFields) {
    FileImage f;
    f.slottedBlock(4, kTypeData);
    const uint32_t first = f.addDataRecord(4, "KEY", "hello", 0x11223344);
    const uint32_t part = f.addDataRecord(4, "KEY", "more", 0x11223344, 0x00000501, true);
    std::span<uint8_t> block = f.block(4);
    RecordLimits limits = recordLimits(f.fixed);

    common::RecordShape shape{common::RecordShape::Kind::Data, 8, kSerialSize};
    auto bytesOf = [&](uint32_t address) {
        common::RecordRef ref = common::readRecord(block, splitAddress(address).slot, shape, 0);
        EXPECT_EQ(ref.code, 0);
        return block.subspan(kBlockHead + ref.position);
    };
    DataRecord r;
    ASSERT_EQ(decodeDataRecord(bytesOf(first), limits, r), 0);
    EXPECT_EQ(r.keyLength, 3);
    EXPECT_FALSE(r.overflowPart);
    EXPECT_FALSE(r.hasLink);
    EXPECT_EQ(std::string(r.data.begin(), r.data.end()), "hello");
    EXPECT_EQ(r.serial, 0x11223344u);
    EXPECT_EQ(r.size, 1 + 8 + 2 + 5 + 4u);

    ASSERT_EQ(decodeDataRecord(bytesOf(part), limits, r), 0);
    EXPECT_TRUE(r.overflowPart);
    EXPECT_TRUE(r.hasLink);
    EXPECT_EQ(r.link, 0x501u);
    EXPECT_EQ(r.size, 1 + 8 + 2 + 4 + 4 + 4u);
}

TEST(ExtendedRecords, DataRecordRefusals) {
    const RecordLimits limits{8, 100, 8 + 100 + 11, false};
    std::vector<uint8_t> rec(dataRecordSize(8, 100, true));
    std::vector<uint8_t> data(100, 'x');
    ASSERT_TRUE(encodeDataRecord(rec, 8, FileImage::bytesOf("K"), false, data, 1, 2, true));
    DataRecord r;
    ASSERT_EQ(decodeDataRecord(rec, limits, r), 0);

    struct Case {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> damage;
        int code;
    };
    const std::vector<Case> cases = {
        {"key length 9 of 8", [](auto& b) { b[0] = 9; }, MDK_E_KEYSIZE},
        {"key length 8 in an overflow part", [](auto& b) { b[0] = 0x88; }, 0},
        {"data above the maximum", [](auto& b) { common::putBe16(b.data() + 9, 0x8000 | 101); },
         MDK_E_RECSIZE},
        {"record past the block", [](auto& b) { b.pop_back(); }, MDK_E_OFFSET},
        {"no room for the length", [](auto& b) { b.resize(10); }, MDK_E_OFFSET},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> b = rec;
        c.damage(b);
        EXPECT_EQ(decodeDataRecord(b, limits, r), c.code) << c.name;
    }
    // Compressed data may be stored one byte longer than the data it expands to.
    const RecordLimits packed{8, 100, 8 + 100 + 12, true};
    std::vector<uint8_t> longer(dataRecordSize(8, 101, false));
    std::vector<uint8_t> stream(101, 1);
    ASSERT_TRUE(encodeDataRecord(longer, 8, {}, false, stream, 1, 0, false));
    EXPECT_EQ(decodeDataRecord(longer, packed, r), 0);
    EXPECT_EQ(decodeDataRecord(longer, limits, r), MDK_E_RECSIZE);
}

TEST(ExtendedRecords, ChainedRecordLengths) {
    std::vector<uint8_t> rec(40);
    const std::vector<uint8_t> payload(30, 7);
    ASSERT_TRUE(encodeChainedRecord(rec, 0x301, 0x202, payload));
    ChainedRecord c;
    ASSERT_EQ(decodeChainedRecord(rec, 4096, c), 0);
    EXPECT_EQ(c.next, 0x301u);
    EXPECT_EQ(c.previous, 0x202u);
    EXPECT_EQ(c.payload.size(), 30u);
    for (uint16_t bad : {0, 1, 9, 41}) {
        std::vector<uint8_t> b = rec;
        common::putBe16(b.data() + 8, bad);
        EXPECT_EQ(decodeChainedRecord(b, 4096, c), MDK_E_BUFFER) << bad;
    }
    std::vector<uint8_t> big(5000);
    common::putBe16(big.data() + 8, 4097);
    EXPECT_EQ(decodeChainedRecord(big, 4096, c), MDK_E_BUFFER);
    common::putBe16(big.data() + 8, 4096);
    EXPECT_EQ(decodeChainedRecord(big, 4096, c), 0);
    EXPECT_EQ(decodeChainedRecord(std::span<const uint8_t>(rec).first(9), 4096, c), MDK_E_BUFFER);
}

// ---- key descriptors ---------------------------------------------------------------------------

// The descriptors of a file image read back through its chain.
std::vector<KeyDescriptor> readChain(FileImage& f) {
    std::vector<KeyDescriptor> keys;
    uint32_t at = f.fixed.keyDescriptors;
    common::RecordShape shape{common::RecordShape::Kind::Chained, 0, 0};
    while (at != 0 && keys.size() < 300) {
        std::span<uint8_t> b = f.block(splitAddress(at).block);
        common::RecordRef ref = common::readRecord(b, splitAddress(at).slot, shape, 0);
        EXPECT_EQ(ref.code, 0);
        ChainedRecord c;
        EXPECT_EQ(decodeChainedRecord(ref.bytes, f.geo.blockSize, c), 0);
        keys.emplace_back();
        EXPECT_EQ(decodeKeyDescriptor(c.payload, keys.back()), 0);
        at = c.next;
    }
    return keys;
}

TEST(ExtendedKeys, DescriptorsBecomeTheCommonLayout) {
    ImageSpec spec;
    spec.flagsA = kSeparatorGiven;
    FileImage f(spec);
    f.fixed.separatorByte = '|';
    f.keyDescriptors(
        3, {keyDescriptor(kKeySuffixed | kKeySerialSuffix,
                          {segment(common::kKeyAreaField, 0, 8, common::kOptUpper)}),
            keyDescriptor(kKeyUnique, {segment(1, 2, 0x85, kSegDescending | 0x00010001u, ' '),
                                       segment(0, 0, 4, common::kOptAutoTextZero)})});
    const std::vector<KeyDescriptor> keys = readChain(f);
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[1].segments[0].flags, kSegDescending | 0x00010001u);
    EXPECT_EQ(encodeKeyDescriptor(keys[1]),
              encodeKeyDescriptor(
                  keyDescriptor(kKeyUnique, {segment(1, 2, 0x85, kSegDescending | 0x00010001u, ' '),
                                             segment(0, 0, 4, common::kOptAutoTextZero)})));

    common::KeyLayout layout;
    ASSERT_EQ(buildKeyLayout(f.fixed, keys, layout), 0);
    EXPECT_EQ(layout.separator, '|');
    EXPECT_EQ(layout.keyAreaSize, 8);
    ASSERT_EQ(layout.keys.size(), 2u);
    EXPECT_EQ(layout.keys[0].length, 8 + 4);  // suffixed key 0
    EXPECT_EQ(layout.keys[0].suffix, common::KeySuffix::Sequence);
    EXPECT_EQ(layout.keys[1].length, 5 + 4 + 4);  // the complement bit leaves 7 bits of length
    EXPECT_EQ(layout.keys[1].suffix, common::KeySuffix::Address);
    const common::Segment& s = layout.segments[1];
    EXPECT_TRUE(s.descending);
    EXPECT_EQ(s.length, 5);
    EXPECT_EQ(s.field, 1);
    EXPECT_EQ(s.offset, 2);
    EXPECT_EQ(s.nullByte, ' ');
    EXPECT_EQ(s.options, 0) << "the unique and complement bits are not segment options";
    EXPECT_EQ(layout.autoNumberSegment, 2);
    EXPECT_TRUE(searchedByPrefix(layout, 0));
    EXPECT_FALSE(checkedForDuplicates(layout, 0));
    EXPECT_TRUE(checkedForDuplicates(layout, 1));
}

TEST(ExtendedKeys, Key0SuffixFlags) {
    struct Case {
        uint16_t flags;
        unsigned length;
        bool prefix, duplicatesChecked;
    };
    // Without 0x01 key 0 has no suffix, so 0x20 has nothing to name.
    const std::vector<Case> cases = {
        {0, 8, false, true},
        {kKeySuffixed, 12, false, true},
        {kKeySuffixed | kKeySerialSuffix, 12, true, false},
        {kKeySerialSuffix, 8, false, true},
    };
    for (const Case& c : cases) {
        FileImage f;
        f.keyDescriptors(3, {keyDescriptor(c.flags, {segment(common::kKeyAreaField, 0, 8)})});
        common::KeyLayout layout;
        ASSERT_EQ(buildKeyLayout(f.fixed, readChain(f), layout), 0);
        EXPECT_EQ(layout.keys[0].length, c.length) << c.flags;
        EXPECT_EQ(searchedByPrefix(layout, 0), c.prefix) << c.flags;
        EXPECT_EQ(checkedForDuplicates(layout, 0), c.duplicatesChecked) << c.flags;
    }
}

TEST(ExtendedKeys, DescriptorRefusals) {
    struct Case {
        const char* name;
        std::function<void(FixedHeader&, std::vector<KeyDescriptor>&)> damage;
        int code;
    };
    const std::vector<Case> cases = {
        {"sound", [](auto&, auto&) {}, 0},
        {"one key more than n", [](auto&, auto& k) { k.push_back(k[1]); }, MDK_E_FILETYPE},
        {"one key fewer than n", [](auto&, auto& k) { k.pop_back(); }, MDK_E_FILETYPE},
        {"more segments than s", [](auto& h, auto&) { h.segmentCount = 2; }, MDK_E_FILETYPE},
        {"fewer segments than s", [](auto& h, auto&) { h.segmentCount = 4; }, MDK_E_FILETYPE},
        {"a key without segments",
         [](auto& h, auto& k) {
             k[1].segments.clear();
             h.segmentCount = 1;
         },
         MDK_E_FILETYPE},
        {"a segment of length 0", [](auto&, auto& k) { k[1].segments[0].length = 0; },
         MDK_E_FILETYPE},
        {"key 1 longer than t", [](auto& h, auto&) { h.keyBuffer = 9; }, MDK_E_FILETYPE},
        {"key 1 as long as t", [](auto& h, auto&) { h.keyBuffer = 10; }, 0},
    };
    for (const Case& c : cases) {
        FileImage f = twoKeyFile();  // key 1: 6 + 4 bytes and the suffix
        std::vector<KeyDescriptor> keys = readChain(f);
        FixedHeader h = f.fixed;
        c.damage(h, keys);
        common::KeyLayout layout;
        EXPECT_EQ(buildKeyLayout(h, keys, layout), c.code) << c.name;
    }
    // A payload shorter than its head and segments.
    KeyDescriptor d;
    std::vector<uint8_t> payload = encodeKeyDescriptor(keyDescriptor(0, {segment(0, 0, 4)}));
    EXPECT_EQ(decodeKeyDescriptor(payload, d), 0);
    payload.pop_back();
    EXPECT_EQ(decodeKeyDescriptor(payload, d), MDK_E_BUFFER);
    EXPECT_EQ(decodeKeyDescriptor(std::span<const uint8_t>(payload).first(27), d), MDK_E_BUFFER);
}

}  // namespace
