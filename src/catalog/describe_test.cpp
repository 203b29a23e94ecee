// MDDescribeFile and MDDescribeIndex on classic and indexed files.
#include <cstring>
#include <string>
#include <vector>

#include "catalog/catalog_testing.h"
#include "catalog/describe.h"
#include "common/bytes.h"
#include "common/describe.h"
#include "indexed/builder.h"

using namespace mdnio;
using namespace mdnio::catalog;
using namespace mdnio::catalog::test;

namespace {

constexpr uint8_t kSentinel = 0x5A;
constexpr int32_t kSentinelWord = 0x5A5A5A5A;

struct FlagCase {
    uint8_t first;
    uint8_t second;
    int32_t want;
};

class DescribeFlags : public ::testing::TestWithParam<FlagCase> {};

TEST_P(DescribeFlags, MapsEachHeaderBit) {
    EXPECT_EQ(common::describeFlags(GetParam().first, GetParam().second), GetParam().want);
}

INSTANTIATE_TEST_SUITE_P(Bits, DescribeFlags,
                         ::testing::Values(FlagCase{0x01, 0, 1}, FlagCase{0x04, 0, 2},
                                           FlagCase{0x08, 0, 4}, FlagCase{0x10, 0, 8},
                                           FlagCase{0x80, 0, 16}, FlagCase{0, 0x01, 32},
                                           FlagCase{0, 0x02, 64}, FlagCase{0, 0x04, 128},
                                           FlagCase{0, 0x08, 0x100}, FlagCase{0, 0x10, 0x200},
                                           // Bits that are not reported.
                                           FlagCase{0x02 | 0x20 | 0x40, 0x20 | 0x40 | 0x80, 0},
                                           FlagCase{0xFF, 0xFF, 0x3FF}));

// A classic file with three keys, key 2 of two segments, and header fields that every
// description field can be told apart by.
class DescribeClassic : public CatalogTest {
  protected:
    void SetUp() override {
        CatalogTest::SetUp();
        keyed::ClassicLayout l =
            layout(120, 6,
                   {{{seg(common::kKeyAreaField, 0, 6)}, common::kKeySequenceSuffixed},
                    {{seg(1, 2, 20, common::kOptUpper)}, common::kKeyUnique},
                    {{seg(2, 0, 15, common::kOptNullSegment, true, ' '), seg(1, 3, 2)}}});
        l.maxRecords = 5000;
        l.compress = true;
        l.separator = keyed::ClassicLayout::Separator::Byte;
        l.separatorByte = ';';
        l.newRecordOnUpdate = true;
        l.identity = 0x12345678;
        buildClassic("three.dat", l);
        // Header bytes the engine carries without interpreting them.
        std::vector<uint8_t> bytes = mdnio::test::readFile(path("three.dat"));
        common::putBe32(&bytes[236], 0xCAFEBABEu);
        bytes[241] |= 0x80;
        bytes[255] |= 0x02 | 0x04 | 0x10;
        mdnio::test::writeFile(path("three.dat"), bytes);

        file = open("three.dat");
        ASSERT_NE(file, MDK_INVALID_FILE);
        const std::pair<const char*, const char*> records[] = {{"K00001", "AAAAAAAAAA;Lisbon;x"},
                                                               {"K00002", "BBBBBBBBBB;Oslo;y"},
                                                               {"K00003", "CCCCCCCCCC;Turin;z"}};
        for (const auto& [key, data] : records)
            ASSERT_EQ(MDK_insert(file, data, static_cast<int32_t>(std::strlen(data)), key, 6), 0)
                << MDK_geterrno(file);
    }
    void TearDown() override {
        MDK_close(file);
        CatalogTest::TearDown();
    }
    MdkFile* file = nullptr;
};

TEST_F(DescribeClassic, File) {
    MdkFileInfo info;
    std::memset(&info, kSentinel, sizeof info);
    ASSERT_EQ(MDDescribeFile(file, &info), 1);
    EXPECT_EQ(info.capacityLow, 5000);
    EXPECT_EQ(info.capacityHigh, 0);
    EXPECT_EQ(info.recordCountLow, 3);
    EXPECT_EQ(info.recordCountHigh, 0);
    EXPECT_EQ(info.value5Low, static_cast<int32_t>(0xCAFEBABEu));
    EXPECT_EQ(info.value5High, 0);
    EXPECT_EQ(info.value7, 0x12345678);
    // Flags A: block mode 1, own separator 4, 0x80 16; flags B: compressed 32, 0x02 64,
    // 0x04 128, new record on update 0x100, 0x10 0x200.
    EXPECT_EQ(info.describeFlags, 1 + 4 + 16 + 32 + 64 + 128 + 0x100 + 0x200);
    EXPECT_EQ(info.formatCode, 2);
    EXPECT_EQ(info.maxDataLength, 120);
    EXPECT_EQ(info.keyCount, 3);
    EXPECT_EQ(info.blockSizeCode, 4);
    EXPECT_EQ(info.segmentCount, 4);
    EXPECT_EQ(info.flagsC, kSentinel);  // not set for classic files
    EXPECT_EQ(info.separator, ';');
}

const MdkKeyInfo kKeys[] = {
    {6, 1, common::kKeySequenceSuffixed, 0, "#1"},  // the 4-byte sequence suffix not counted
    {20, 1, common::kKeyUnique, 0, "#2"},
    {17, 2, 0, 0, "#3"},
};

const MdkSegmentInfo kSegments[] = {
    {6, 0, common::kOptSequenceSuffix, 255, 0},
    {20, 0, common::kOptUpper | common::kOptUnique, 1, 2},
    {15 | 0x80, ' ', common::kOptNullSegment | 0x80, 2, 0},  // descending
    {2, 0, 0, 1, 3},
};

struct IndexCase {
    const char* name;
    int32_t firstKey;
    int32_t keyCountIn;
    int32_t segmentCountIn;
    bool keyRecords;
    bool segmentRecords;
    int32_t result;
    int32_t keyCountOut;
    int32_t segmentCountOut;
    int firstDescribed;  // index into kKeys of keyRecords[0]
    int keysDescribed;
    int firstSegment;  // index into kSegments of segmentRecords[0]
    int segmentsDescribed;
};

class DescribeClassicIndex : public DescribeClassic,
                             public ::testing::WithParamInterface<IndexCase> {};

TEST_P(DescribeClassicIndex, KeysAndSegments) {
    const IndexCase& c = GetParam();
    MdkKeyInfo keys[4];
    MdkSegmentInfo segments[5];
    std::memset(keys, kSentinel, sizeof keys);
    std::memset(segments, kSentinel, sizeof segments);
    int32_t keyCount = c.keyCountIn;
    int32_t segmentCount = c.segmentCountIn;
    EXPECT_EQ(MDDescribeIndex(file, c.firstKey, &keyCount, &segmentCount,
                              c.keyRecords ? keys : nullptr, c.segmentRecords ? segments : nullptr),
              c.result);
    EXPECT_EQ(keyCount, c.keyCountOut);
    EXPECT_EQ(segmentCount, c.segmentCountOut);
    EXPECT_EQ(MDK_geterrno(file), c.result ? 0 : MDK_E_FILETYPE);
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE("key record " + std::to_string(i));
        if (i < c.keysDescribed) {
            const MdkKeyInfo& want = kKeys[c.firstDescribed + i];
            EXPECT_EQ(keys[i].keyLength, want.keyLength);
            EXPECT_EQ(keys[i].segmentCount, want.segmentCount);
            EXPECT_EQ(keys[i].keyFlags, want.keyFlags);
            EXPECT_EQ(keys[i].zero, 0);
            EXPECT_EQ(std::string(keys[i].keyName, sizeof keys[i].keyName),
                      std::string(want.keyName, sizeof want.keyName));
        } else {
            EXPECT_EQ(keys[i].keyLength, kSentinelWord);
        }
    }
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE("segment record " + std::to_string(i));
        if (i < c.segmentsDescribed) {
            const MdkSegmentInfo& want = kSegments[c.firstSegment + i];
            EXPECT_EQ(segments[i].segLength, want.segLength);
            EXPECT_EQ(segments[i].segByte1, want.segByte1);
            EXPECT_EQ(segments[i].segFlags, want.segFlags);
            EXPECT_EQ(segments[i].segField, want.segField);
            EXPECT_EQ(segments[i].segValue, want.segValue);
        } else {
            EXPECT_EQ(segments[i].segFlags, kSentinelWord);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Calls, DescribeClassicIndex,
    ::testing::Values(
        // name, first, keys in, segments in, key records, segment records, result, keys out,
        // segments out, first key described, keys described, first segment, segments described
        IndexCase{"CountsOnly", 0, 0, 0, false, false, 1, 3, 4, 0, 0, 0, 0},
        IndexCase{"CountsOnlyButMinusOne", 0, 0, -1, false, false, 1, 0, -1, 0, 0, 0, 0},
        IndexCase{"All", 0, 3, 0, true, true, 1, 3, 4, 0, 3, 0, 4},
        IndexCase{"AskedForMoreThanThereAre", 0, 10, 0, true, true, 1, 3, 4, 0, 3, 0, 4},
        IndexCase{"FromKey1", 1, 3, 0, true, true, 1, 3, 3, 1, 2, 1, 3},
        IndexCase{"FirstTwo", 0, 2, 0, true, true, 1, 2, 2, 0, 2, 0, 2},
        IndexCase{"SegmentsOnly", 0, 3, 0, false, true, 1, 3, 4, 0, 0, 0, 4},
        IndexCase{"RecordsWantedForNoKeys", 0, 0, 0, true, true, 1, 0, 0, 0, 0, 0, 0},
        IndexCase{"SegmentCountIsOnlyRaised", 0, 3, 10, true, true, 1, 3, 10, 0, 3, 0, 4},
        IndexCase{"FirstKeyAtTheEnd", 3, 3, 0, true, true, 1, 3, 0, 0, 0, 0, 0},
        IndexCase{"FirstKeyPastTheEnd", 4, 3, 0, true, true, 0, 3, 0, 0, 0, 0, 0},
        IndexCase{"NegativeFirstKey", -1, 3, 0, true, true, 0, 3, 0, 0, 0, 0, 0}),
    [](const ::testing::TestParamInfo<IndexCase>& info) { return info.param.name; });

TEST_F(DescribeClassic, MissingArgumentsFailWithCode5) {
    int32_t keys = 0;
    int32_t segments = 0;
    EXPECT_EQ(MDDescribeFile(file, nullptr), 0);
    EXPECT_EQ(MDK_geterrno(file), MDK_E_FILETYPE);
    EXPECT_EQ(MDDescribeIndex(file, 0, nullptr, &segments, nullptr, nullptr), 0);
    EXPECT_EQ(MDDescribeIndex(file, 0, &keys, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(MDK_geterrno(file), MDK_E_FILETYPE);
    MdkFileInfo info{};
    EXPECT_EQ(MDDescribeFile(nullptr, &info), 0);
    EXPECT_EQ(MDDescribeFile(MDK_INVALID_FILE, &info), 0);
    EXPECT_EQ(MDDescribeIndex(nullptr, 0, &keys, &segments, nullptr, nullptr), 0);
}

class DescribeIndexed : public CatalogTest {
  protected:
    void SetUp() override {
        CatalogTest::SetUp();
        ASSERT_EQ(
            indexed::buildIndexedFile(path("n.ind"), 40, 1000, indexed::SeparatorChoice::of('|')),
            0);
        std::vector<uint8_t> bytes = mdnio::test::readFile(path("n.ind"));
        bytes[18] |= 0x01 | 0x80;
        mdnio::test::writeFile(path("n.ind"), bytes);
        file = open("n.ind");
        ASSERT_NE(file, MDK_INVALID_FILE);
        for (const char* key : {"0", "1", "2"})
            ASSERT_EQ(MDK_write(file, "record", 6, key, 1), 0) << MDK_geterrno(file);
    }
    void TearDown() override {
        MDK_close(file);
        CatalogTest::TearDown();
    }
    MdkFile* file = nullptr;
};

TEST_F(DescribeIndexed, File) {
    MdkFileInfo info;
    std::memset(&info, kSentinel, sizeof info);
    ASSERT_EQ(MDDescribeFile(file, &info), 1);
    EXPECT_EQ(info.capacityLow, 1000);
    EXPECT_EQ(info.capacityHigh, 0);
    EXPECT_EQ(info.recordCountLow, 3);
    EXPECT_EQ(info.recordCountHigh, 0);
    EXPECT_EQ(info.value5Low, 0);
    EXPECT_EQ(info.value5High, 0);
    EXPECT_EQ(info.value7, kSentinelWord);  // not set for indexed files
    EXPECT_EQ(info.describeFlags, 1 + 4 + 16);
    EXPECT_EQ(info.formatCode, 1);
    EXPECT_EQ(info.maxDataLength, 40);
    EXPECT_EQ(info.keyCount, 1);
    EXPECT_EQ(info.blockSizeCode, 0);
    EXPECT_EQ(info.segmentCount, 1);
    EXPECT_EQ(info.flagsC, kSentinel);
    EXPECT_EQ(info.separator, '|');
}

TEST_F(DescribeIndexed, IndexIsTheRecordNumber) {
    MdkKeyInfo key;
    MdkSegmentInfo segment;
    std::memset(&key, kSentinel, sizeof key);
    std::memset(&segment, kSentinel, sizeof segment);
    int32_t keys = 7;
    int32_t segments = 9;
    ASSERT_EQ(MDDescribeIndex(file, 0, &keys, &segments, &key, &segment), 1);
    EXPECT_EQ(keys, 7);  // the counts are left as they are
    EXPECT_EQ(segments, 9);
    EXPECT_EQ(key.keyLength, 8);
    EXPECT_EQ(key.segmentCount, 1);
    EXPECT_EQ(key.keyFlags, 0);
    EXPECT_EQ(key.zero, 0);
    EXPECT_EQ(std::string(key.keyName, sizeof key.keyName),
              std::string("#1") + std::string(23, '\0'));
    EXPECT_EQ(segment.segLength, 8);
    EXPECT_EQ(segment.segByte1, 0);
    EXPECT_EQ(segment.segFlags, 0);
    EXPECT_EQ(segment.segField, 255);
    EXPECT_EQ(segment.segValue, 0);
    EXPECT_EQ(MDDescribeIndex(file, 0, &keys, &segments, nullptr, nullptr), 1);
}

}  // namespace
