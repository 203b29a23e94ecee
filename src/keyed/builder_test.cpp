// The file builder: the exact bytes it writes for a range of layouts, the layouts it refuses,
// and the way it creates the file.
#include "keyed/builder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/keydesc.h"
#include "keyed/verify.h"
#include "testutil.h"

namespace mdnio::keyed {
namespace {

using common::KeyDesc;
using common::KeyLayout;
using common::Segment;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kIdentity = 0x11223344;

Segment segment(uint16_t field, uint16_t offset, uint8_t length, bool descending = false,
                uint16_t options = 0, uint8_t nullByte = 0) {
    Segment s;
    s.field = field;
    s.offset = offset;
    s.length = length;
    s.descending = descending;
    s.options = options;
    s.nullByte = nullByte;
    return s;
}

// Keys given as one list of segments per key, in key order.
KeyLayout keys(const std::vector<std::vector<Segment>>& perKey, std::vector<uint16_t> flags = {}) {
    KeyLayout layout;
    for (size_t k = 0; k < perKey.size(); ++k) {
        KeyDesc key;
        key.firstSegment = static_cast<uint16_t>(layout.segments.size());
        key.segmentCount = static_cast<uint8_t>(perKey[k].size());
        key.flags = k < flags.size() ? flags[k] : 0;
        layout.keys.push_back(key);
        layout.segments.insert(layout.segments.end(), perKey[k].begin(), perKey[k].end());
    }
    return layout;
}

// The expected 512 bytes: zeros except where patched.
struct Expected {
    Bytes bytes = Bytes(512, 0);
    Expected& at(size_t offset, Bytes b) {
        std::copy(b.begin(), b.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
        return *this;
    }
    Expected& text(size_t offset, const std::string& s) {
        return at(offset, Bytes(s.begin(), s.end()));
    }
};

// What every built file has: magic, end of file 512 and the identity.
Expected common(const std::string& magic = "[Mdnkey]") {
    Expected e;
    e.text(0, magic).at(32, {0x00, 0x00, 0x02, 0x00}).at(232, {0x11, 0x22, 0x33, 0x44});
    return e;
}

ClassicLayout slotModeLayout() {
    ClassicLayout l;
    l.blockMode = false;
    l.blockSize = 1024;
    l.recordSize = 100;
    l.keyAreaSize = 10;
    l.identity = kIdentity;
    l.keys = keys({{segment(common::kKeyAreaField, 0, 10)}});
    return l;
}

ClassicLayout blockMode16k() {
    ClassicLayout l;
    l.blockSize = 16384;
    l.recordSize = 2000;
    l.maxRecords = 100000;
    l.fillPercent = 75;
    l.identity = kIdentity;
    l.keys = keys({{segment(1, 0, 20)}});
    return l;
}

ClassicLayout compressed() {
    ClassicLayout l;
    l.recordSize = 500;
    l.keyAreaSize = 4;
    l.compress = true;
    l.identity = kIdentity;
    l.keys = keys({{segment(common::kKeyAreaField, 0, 4)}});
    return l;
}

ClassicLayout separatorByte() {
    ClassicLayout l;
    l.blockSize = 1024;
    l.recordSize = 200;
    l.separator = ClassicLayout::Separator::Byte;
    l.separatorByte = 0x7C;
    l.identity = kIdentity;
    l.keys = keys({{segment(2, 3, 8)}});
    return l;
}

ClassicLayout lengthPrefixed() {
    ClassicLayout l;
    l.blockMode = false;
    l.blockSize = 1024;
    l.recordSize = 50;
    l.separator = ClassicLayout::Separator::LengthPrefixed;
    l.identity = kIdentity;
    l.keys = keys({{segment(1, 0, 5, true)}});
    return l;
}

// Key 0 upper-cased and sequence-suffixed; key 1 unique over two segments, the second with a
// sign flip and a null byte; key 2 reversed over the key area.
ClassicLayout threeKeys() {
    ClassicLayout l;
    l.blockSize = 2048;
    l.recordSize = 300;
    l.keyAreaSize = 6;
    l.padSignificant = true;
    l.counterCheck = true;
    l.newRecordOnUpdate = true;
    l.tjwMagic = true;
    l.identity = kIdentity;
    l.keys = keys({{segment(1, 0, 8, false, common::kOptUpper)},
                   {segment(2, 2, 5, true), segment(3, 0x123, 4, false, 0x2040, 0x20)},
                   {segment(common::kKeyAreaField, 1, 5, false, common::kOptReverse)}},
                  {common::kKeySequenceSuffixed, common::kKeyUnique, 0});
    return l;
}

// 16 keys of two segments each: 32 descriptor entries, exactly what the header holds.
ClassicLayout sixteenKeys(bool withOption) {
    ClassicLayout l;
    l.blockMode = false;
    l.blockSize = 1024;
    l.recordSize = 600;  // field 16 reaches offset 0x212 after 15 separators
    l.identity = kIdentity;
    std::vector<std::vector<Segment>> perKey;
    for (uint16_t k = 0; k < 16; ++k) {
        perKey.push_back({segment(k + 1, 0, 3), segment(k + 1, 0x210, 2)});
    }
    if (withOption) perKey[15][1].options = common::kOptUpper;  // a 33rd entry
    l.keys = keys(perKey);
    return l;
}

Expected sixteenKeysBytes(bool withOption) {
    Expected e = common();
    e.at(8, {0x02, 0x58}).at(242, {10});
    for (uint8_t k = 0; k < 16; ++k) {
        const size_t at = 104 + 8 * size_t{k};
        e.at(at, {k, static_cast<uint8_t>(k + 1), 0x00, 0x03});
        e.at(at + 4, {static_cast<uint8_t>(0x20 | k), static_cast<uint8_t>(k + 1), 0x10, 0x02});
    }
    if (withOption) e.at(241, {0x02}).at(256, {0xFE, 0x02, 0x00, 0x00, 0xFF, 0, 0, 0});
    return e;
}

struct ImageCase {
    std::string name;
    std::function<ClassicLayout()> layout;
    std::function<Expected()> expected;
};

const std::vector<ImageCase>& imageCases() {
    static const std::vector<ImageCase> cases = {
        {"SlotMode", slotModeLayout,
         [] {
             return common()
                 .at(8, {0x00, 0x64})
                 .at(18, {0x00, 0x0A})
                 .at(104, {0x00, 0xFF, 0x00, 0x0A, 0xFF, 0, 0, 0})
                 .at(240, {0x00, 0x00, 10});
         }},
        {"BlockMode16k", blockMode16k,
         [] {
             return common()
                 .at(8, {0x07, 0xD0, 0x00, 0x01, 0x86, 0xA0})
                 .at(104, {0x00, 0x01, 0x00, 0x14, 0xFF, 0, 0, 0})
                 .at(240, {0x0F, 0x01, 75});
         }},
        {"Compressed", compressed,
         [] {
             return common()
                 .at(8, {0x01, 0xF4})
                 .at(18, {0x00, 0x04})
                 .at(104, {0x00, 0xFF, 0x00, 0x04, 0xFF, 0, 0, 0})
                 .at(240, {0x03, 0x01, 10})
                 .at(255, {0x01});
         }},
        {"SeparatorByte", separatorByte,
         [] {
             return common()
                 .at(8, {0x00, 0xC8})
                 .at(104, {0x00, 0x02, 0x03, 0x08, 0xFF, 0, 0, 0})
                 .at(240, {0x00, 0x09, 10})
                 .at(247, {0x7C});
         }},
        {"LengthPrefixed", lengthPrefixed,
         [] {
             return common()
                 .at(8, {0x00, 0x32})
                 .at(104, {0x00, 0x01, 0x00, 0x85, 0xFF, 0, 0, 0})
                 .at(240, {0x00, 0x10, 10});
         }},
        {"ThreeKeysWithOptions", threeKeys,
         [] {
             return common("[Tjwkey]")
                 .at(8, {0x01, 0x2C})
                 .at(18, {0x00, 0x06})
                 .at(104, {0x00, 0x01, 0x00, 0x08, 0xFE, 0x22, 0x00, 0x00,  // key 0
                           0x01, 0x02, 0x02, 0x85, 0xFE, 0x01, 0x00, 0x00,  // key 1 ...
                           0x11, 0x03, 0x23, 0x04, 0xFE, 0x40, 0x20, 0x20,  // ... second part
                           0x02, 0xFF, 0x01, 0x05, 0xFE, 0x10, 0x00, 0x00,  // key 2
                           0xFF, 0x00, 0x00, 0x00})
                 .at(240, {0x01, 0x45, 10})
                 .at(255, {0x08});
         }},
        {"ThirtyTwoEntriesFitTheHeader", [] { return sixteenKeys(false); },
         [] { return sixteenKeysBytes(false); }},
        {"ContinuationAt256", [] { return sixteenKeys(true); },
         [] { return sixteenKeysBytes(true); }},
    };
    return cases;
}

class BuilderImage : public testing::TestWithParam<ImageCase> {};

TEST_P(BuilderImage, WritesExactlyTheExpectedBytes) {
    test::TempDir dir;
    const std::string path = dir.file("built.dat");
    std::string why;
    ASSERT_EQ(buildClassicFile(path, GetParam().layout(), &why), 0) << why;
    const Bytes written = test::readFile(path);
    const Bytes expected = GetParam().expected().bytes;
    ASSERT_EQ(written.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(written[i], expected[i]) << "byte " << i;
    }
}

TEST_P(BuilderImage, BuiltFileIsSoundForTheVerifier) {
    test::TempDir dir;
    const std::string path = dir.file("built.dat");
    ASSERT_EQ(buildClassicFile(path, GetParam().layout(), nullptr), 0);
    const VerifyReport report = verifyClassicFile(path);
    EXPECT_TRUE(report.ok()) << (report.problems.empty() ? "" : report.problems.front());
    EXPECT_EQ(report.records, 0u);
}

INSTANTIATE_TEST_SUITE_P(Layouts, BuilderImage, testing::ValuesIn(imageCases()),
                         [](const auto& info) { return info.param.name; });

TEST(BuilderKeys, LayoutDescribesKeyLengthsAndSuffixes) {
    KeyLayout decoded;
    std::string why;
    ASSERT_EQ(checkClassicLayout(threeKeys(), &decoded, &why), 0) << why;
    ASSERT_EQ(decoded.keyCount(), 3u);
    EXPECT_EQ(decoded.keys[0].length, 12);  // 8 + sequence suffix
    EXPECT_EQ(decoded.keys[0].suffix, common::KeySuffix::Sequence);
    EXPECT_EQ(decoded.keys[1].length, 13);  // 5 + 4 + address suffix
    EXPECT_EQ(decoded.keys[1].suffix, common::KeySuffix::Address);
    EXPECT_TRUE(decoded.keys[1].flags & common::kKeyUnique);
    EXPECT_EQ(decoded.keys[2].length, 9);
    EXPECT_TRUE(decoded.padSignificant);
    EXPECT_EQ(decoded.keyAreaSize, 6);
}

// ---- refusals ---------------------------------------------------------------------------------

struct RefusalCase {
    std::string name;
    std::function<void(ClassicLayout&)> change;
    std::string reason;  // a part of the explanation
};

ClassicLayout validBase() {
    ClassicLayout l;
    l.blockSize = 1024;
    l.recordSize = 100;
    l.keyAreaSize = 8;
    l.identity = kIdentity;
    l.keys = keys({{segment(1, 0, 10)}, {segment(common::kKeyAreaField, 0, 8)}});
    return l;
}

const std::vector<RefusalCase>& refusalCases() {
    static const std::vector<RefusalCase> cases = {
        {"BlockSizeNotMultipleOf1024", [](ClassicLayout& l) { l.blockSize = 1500; }, "block size"},
        {"BlockSizeZero", [](ClassicLayout& l) { l.blockSize = 0; }, "block size"},
        {"BlockSizeAboveCode127", [](ClassicLayout& l) { l.blockSize = 129 * 1024; }, "block size"},
        {"BlockModeAbove64k", [](ClassicLayout& l) { l.blockSize = 65 * 1024; }, "above 65536"},
        {"NegativeRecordSize", [](ClassicLayout& l) { l.recordSize = -1; }, "record size"},
        {"RecordSizeAbove32767", [](ClassicLayout& l) { l.recordSize = 32768; }, "record size"},
        {"NegativeKeyArea", [](ClassicLayout& l) { l.keyAreaSize = -1; }, "key area size"},
        {"KeyAreaAbove127", [](ClassicLayout& l) { l.keyAreaSize = 128; }, "key area size"},
        {"NothingStored",
         [](ClassicLayout& l) {
             l.recordSize = 0;
             l.keyAreaSize = 0;
         },
         "both 0"},
        {"RecordTooBigForDataBlock", [](ClassicLayout& l) { l.recordSize = 1000; }, "does not fit"},
        {"CompressionInSlotMode",
         [](ClassicLayout& l) {
             l.blockMode = false;
             l.compress = true;
         },
         "compression needs block mode"},
        {"FillAbove100", [](ClassicLayout& l) { l.fillPercent = 101; }, "fill percentage"},
        {"FillNegative", [](ClassicLayout& l) { l.fillPercent = -1; }, "fill percentage"},
        {"NoKeys", [](ClassicLayout& l) { l.keys = KeyLayout{}; }, "1 to 16 keys"},
        {"SeventeenKeys",
         [](ClassicLayout& l) {
             l.keys = keys(std::vector<std::vector<Segment>>(17, {segment(1, 0, 2)}));
         },
         "1 to 16 keys"},
        {"KeyWithoutSegments", [](ClassicLayout& l) { l.keys.keys[1].segmentCount = 0; },
         "no segments"},
        {"SegmentsOutOfOrder", [](ClassicLayout& l) { l.keys.keys[1].firstSegment = 0; },
         "must follow"},
        {"SegmentOfNoKey", [](ClassicLayout& l) { l.keys.segments.push_back(segment(2, 0, 2)); },
         "belong to no key"},
        {"SegmentLengthZero", [](ClassicLayout& l) { l.keys.segments[0].length = 0; }, "length 0"},
        {"SegmentLengthAbove127", [](ClassicLayout& l) { l.keys.segments[0].length = 128; },
         "length 128"},
        {"SegmentOffsetAbove4095", [](ClassicLayout& l) { l.keys.segments[0].offset = 4096; },
         "above 4095"},
        {"FieldAbove254", [](ClassicLayout& l) { l.keys.segments[0].field = 255; }, "above 254"},
        {"KeyAreaOffsetBeyondK", [](ClassicLayout& l) { l.keys.segments[1].offset = 8; },
         "reaches past the 8-byte key area"},
        {"WholeDataOffsetBeyondR",
         [](ClassicLayout& l) { l.keys.segments[0] = segment(0, 100, 4); },
         "reaches past the record size of 100 bytes"},
        // Segments that start inside their field but end past what it can ever hold: the bytes
        // past it would be lost from the key of every record.
        {"KeyAreaSegmentReachingPastK",
         [](ClassicLayout& l) {
             l.keyAreaSize = 6;
             l.keys.segments[1] = segment(common::kKeyAreaField, 4, 6);
         },
         "key 1 segment 1: offset 4 + length 6 reaches past the 6-byte key area"},
        {"WholeDataReachingPastR", [](ClassicLayout& l) { l.keys.segments[0] = segment(0, 96, 8); },
         "offset 96 + length 8 reaches past the record size of 100 bytes"},
        {"FieldReachingPastWhatTheFieldsBeforeItLeave",
         [](ClassicLayout& l) { l.keys.segments[0] = segment(3, 90, 9); },
         "reaches past field 3, which holds at most 98 bytes of a 100-byte record"},
        {"FieldNoRecordCanHold", [](ClassicLayout& l) { l.keys.segments[0] = segment(101, 0, 2); },
         "field 101, which a 100-byte record can never hold"},
        {"LengthPrefixedFieldReachingPast",
         [](ClassicLayout& l) {
             l.separator = ClassicLayout::Separator::LengthPrefixed;
             l.keys.segments[0] = segment(1, 90, 10);
         },
         "field 1, which holds at most 99 bytes"},
        {"DataFieldInKeyOnlyFile", [](ClassicLayout& l) { l.recordSize = 0; }, "keys only"},
        {"KeyTooLong",
         [](ClassicLayout& l) {
             l.recordSize = 300;
             l.keys = keys({{segment(1, 0, 10)}, {segment(2, 0, 127), segment(3, 0, 127)}});
         },
         "key length 258"},
        {"TwoAutoNumberedSegments",
         [](ClassicLayout& l) {
             l.keys.segments[0].options = common::kOptAutoText;
             l.keys.segments[1].options = common::kOptAutoTextZero;
         },
         "auto-numbered"},
        {"SequenceOptionOnAlternateKey",
         [](ClassicLayout& l) { l.keys.segments[1].options = common::kOptSequenceSuffix; },
         "sequence suffix"},
        {"NullSegmentOnKey0",
         [](ClassicLayout& l) { l.keys.segments[0].options = common::kOptNullSegment; },
         "null segments"},
        {"UnknownOptionBit", [](ClassicLayout& l) { l.keys.segments[1].options = 0x0080; },
         "unknown option"},
        // The first descriptor byte holds the offset's high nibble over the key number: key 14
        // with an offset of 0xF00.. would read 0xFE, the option mark, and key 15 0xFF, the end
        // of the table.
        {"OffsetCollidingWithOptionMark",
         [](ClassicLayout& l) {
             std::vector<std::vector<Segment>> perKey(15, {segment(1, 0, 2)});
             perKey[14] = {segment(1, 0xF05, 2)};
             l.keys = keys(perKey);
         },
         "reserved"},
        {"OffsetCollidingWithEndMark",
         [](ClassicLayout& l) {
             std::vector<std::vector<Segment>> perKey(16, {segment(1, 0, 2)});
             perKey[15] = {segment(1, 0xF00, 2)};
             l.keys = keys(perKey);
         },
         "reserved"},
        {"TableAbove96Entries",
         [](ClassicLayout& l) {
             std::vector<std::vector<Segment>> perKey(
                 16, std::vector<Segment>(7, segment(1, 0, 1, false, common::kOptUpper)));
             l.keys = keys(perKey);
         },
         "96 entries"},
    };
    return cases;
}

class BuilderRefusal : public testing::TestWithParam<RefusalCase> {};

TEST_P(BuilderRefusal, RefusesAndCreatesNothing) {
    ClassicLayout layout = validBase();
    std::string why;
    ASSERT_EQ(checkClassicLayout(layout, nullptr, &why), 0) << "the base layout: " << why;
    GetParam().change(layout);

    test::TempDir dir;
    const std::string path = dir.file("refused.dat");
    EXPECT_EQ(buildClassicFile(path, layout, &why), MDK_E_LENGTH);
    EXPECT_NE(why.find(GetParam().reason), std::string::npos) << why;
    EXPECT_FALSE(std::filesystem::exists(path));
}

INSTANTIATE_TEST_SUITE_P(Layouts, BuilderRefusal, testing::ValuesIn(refusalCases()),
                         [](const auto& info) { return info.param.name; });

// A refusal names the key and the segment at fault, so that a caller can point at the member
// of its own description of the layout.
TEST(BuilderRefusalPlace, NamesTheKeyAndSegmentAtFault) {
    struct Case {
        const char* what;
        std::function<void(ClassicLayout&)> change;
        int key, segment;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"segment",
         [](ClassicLayout& l) {
             l.keyAreaSize = 6;
             l.keys.segments[1] = segment(common::kKeyAreaField, 4, 6);
         },
         1, 0, "offset 4 + length 6 reaches past the 6-byte key area"},
        {"key",
         [](ClassicLayout& l) {
             l.recordSize = 300;
             l.keys = keys({{segment(1, 0, 10)}, {segment(2, 0, 127), segment(3, 0, 127)}});
         },
         1, -1, "key length 258 (segments and suffix) is above 254"},
        {"layout", [](ClassicLayout& l) { l.fillPercent = 101; }, -1, -1,
         "fill percentage 101 is not in 0..100"},
    };
    for (const Case& c : cases) {
        ClassicLayout layout = validBase();
        c.change(layout);
        test::TempDir dir;
        std::string why;
        LayoutFault fault;
        EXPECT_EQ(buildClassicFile(dir.file("f.dat"), layout, &why, &fault), MDK_E_LENGTH);
        EXPECT_EQ(fault.key, c.key) << c.what;
        EXPECT_EQ(fault.segment, c.segment) << c.what;
        EXPECT_EQ(fault.reason, c.reason) << c.what;
        EXPECT_NE(why.find(c.reason), std::string::npos) << c.what << ": " << why;
    }
}

// The limits themselves are accepted: refusals above are not off by one.
TEST(BuilderLimits, AcceptsTheLargestValues) {
    struct Edge {
        const char* name;
        std::function<void(ClassicLayout&)> change;
    };
    const std::vector<Edge> edges = {
        {"slot mode 128k blocks",
         [](ClassicLayout& l) {
             l.blockMode = false;
             l.blockSize = 128 * 1024;
         }},
        {"block mode 64k blocks", [](ClassicLayout& l) { l.blockSize = 64 * 1024; }},
        {"key area 127", [](ClassicLayout& l) { l.keyAreaSize = 127; }},
        {"largest record of a 1k data block",
         [](ClassicLayout& l) { l.recordSize = 1024 - 10 - 8 - 3 - 4; }},
        {"slot mode record 32767",
         [](ClassicLayout& l) {
             l.blockMode = false;
             l.recordSize = 32767;
         }},
        {"fill 100", [](ClassicLayout& l) { l.fillPercent = 100; }},
        {"fill 0", [](ClassicLayout& l) { l.fillPercent = 0; }},
        {"key of 254 bytes",
         [](ClassicLayout& l) {
             l.recordSize = 128;  // room for field 2 of 127 bytes after field 1's separator
             l.keys = keys({{segment(1, 0, 127), segment(2, 0, 127)}});
         }},
        {"offset 4095",
         [](ClassicLayout& l) {
             l.blockSize = 8192;
             l.recordSize = 4095 + 10;
             l.keys.segments[0].offset = 4095;
         }},
        {"key area segment to its last byte",
         [](ClassicLayout& l) { l.keys.segments[1] = segment(common::kKeyAreaField, 4, 4); }},
        {"whole data to its last byte",
         [](ClassicLayout& l) { l.keys.segments[0] = segment(0, 90, 10); }},
        {"field 3 to what the fields before it leave",
         [](ClassicLayout& l) { l.keys.segments[0] = segment(3, 88, 10); }},
        {"length-prefixed field 1 to its last byte",
         [](ClassicLayout& l) {
             l.separator = ClassicLayout::Separator::LengthPrefixed;
             l.keys.segments[0] = segment(1, 89, 10);
         }},
        {"key-only file over the key area",
         [](ClassicLayout& l) {
             l.recordSize = 0;
             l.keys = keys({{segment(common::kKeyAreaField, 0, 8)}});
         }},
    };
    for (const Edge& e : edges) {
        ClassicLayout layout = validBase();
        e.change(layout);
        std::string why;
        EXPECT_EQ(checkClassicLayout(layout, nullptr, &why), 0) << e.name << ": " << why;
    }
}

// ---- creation -----------------------------------------------------------------------------------

TEST(BuilderCreate, RefusesAnExistingFileAndLeavesIt) {
    test::TempDir dir;
    const std::string path = dir.file("exists.dat");
    test::writeFile(path, std::string("keep me"));
    std::string why;
    EXPECT_EQ(buildClassicFile(path, validBase(), &why), MDK_E_OPEN);
    EXPECT_FALSE(why.empty());
    const Bytes kept = test::readFile(path);
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "keep me");
}

TEST(BuilderCreate, ReportsAMissingDirectory) {
    test::TempDir dir;
    std::string why;
    EXPECT_EQ(buildClassicFile(dir.file("no/such/dir.dat"), validBase(), &why), MDK_E_OPEN);
}

TEST(BuilderCreate, MakesADistinctNonZeroIdentityWhenNoneIsGiven) {
    test::TempDir dir;
    ClassicLayout layout = validBase();
    layout.identity = 0;
    std::vector<uint32_t> identities;
    for (int i = 0; i < 4; ++i) {
        const std::string path = dir.file("f" + std::to_string(i));
        ASSERT_EQ(buildClassicFile(path, layout, nullptr), 0);
        const Bytes b = test::readFile(path);
        identities.push_back(uint32_t{b[232]} << 24 | uint32_t{b[233]} << 16 |
                             uint32_t{b[234]} << 8 | b[235]);
    }
    for (size_t i = 0; i < identities.size(); ++i) {
        EXPECT_NE(identities[i], 0u);
        for (size_t j = 0; j < i; ++j)
            EXPECT_NE(identities[i], identities[j]);
    }
}

TEST(BuilderCreate, CounterCheckBytesMatchTheCounter) {
    ClassicLayout layout = validBase();
    layout.counterCheck = true;
    ClassicFileImage image;
    ASSERT_EQ(classicFileImage(layout, image, nullptr), 0);
    EXPECT_EQ(image[241] & 0x40, 0x40);
    EXPECT_EQ(image[253], image[36] ^ image[38]);
    EXPECT_EQ(image[254], image[37] ^ image[39]);
}

}  // namespace
}  // namespace mdnio::keyed
