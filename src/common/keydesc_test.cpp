#include "common/keydesc.h"

#include <gtest/gtest.h>

#include <vector>

#include "mdnio.h"

namespace mdnio::common {
namespace {

using Bytes = std::vector<uint8_t>;

ClassicKeyParams params(int keyArea = 16, size_t blockSize = 1024) {
    ClassicKeyParams p;
    p.keyAreaSize = keyArea;
    p.blockSize = blockSize;
    return p;
}

void expectSegment(const Segment& s, uint16_t field, uint16_t offset, uint8_t length,
                   bool descending, uint16_t options, uint8_t nullByte) {
    EXPECT_EQ(s.field, field);
    EXPECT_EQ(s.offset, offset);
    EXPECT_EQ(s.length, length);
    EXPECT_EQ(s.descending, descending);
    EXPECT_EQ(s.options, options);
    EXPECT_EQ(s.nullByte, nullByte);
}

TEST(ClassicDescriptors, DecodesSegmentsOptionsAndKeyLengths) {
    const Bytes table = {
        0x00, 0x01, 0x00, 0x0A,  // key 0: field 1, offset 0, 10 bytes
        0xFE, 0x20, 0x00, 0x00,  //   option 0x0020: key 0 gets a sequence suffix
        0x00, 0x02, 0x05, 0x84,  // key 0: field 2, offset 5, 4 bytes, descending
        0x01, 0xFF, 0x00, 0x06,  // key 1: key area, 6 bytes
        0xFE, 0x03, 0x00, 0x20,  //   option unique + upper, null byte blank
        0x12, 0x03, 0x34, 0x07,  // key 2: field 3, offset 0x134, 7 bytes
        0xFE, 0x00, 0x24, 0x00,  //   option 0x2400: flip + stop at zero
        0xFF, 0x00, 0x00, 0x00,  // end
        0x03, 0x01, 0x00, 0x05,  // after the end: ignored
    };
    KeyLayout layout;
    ASSERT_EQ(decodeClassicKeys(table, params(), layout), MDK_OK);
    ASSERT_EQ(layout.keyCount(), 3u);
    ASSERT_EQ(layout.segments.size(), 4u);
    expectSegment(layout.segments[0], 1, 0, 10, false, 0x0020, 0);
    expectSegment(layout.segments[1], 2, 5, 4, true, 0, 0);
    expectSegment(layout.segments[2], kKeyAreaField, 0, 6, false, 0x0003, 0x20);
    expectSegment(layout.segments[3], 3, 0x134, 7, false, 0x2400, 0);

    const KeyDesc& k0 = layout.keys[0];
    EXPECT_EQ(k0.firstSegment, 0);
    EXPECT_EQ(k0.segmentCount, 2);
    EXPECT_EQ(k0.length, 10 + 4 + 4);
    EXPECT_EQ(k0.suffix, KeySuffix::Sequence);
    EXPECT_TRUE(k0.flags & kKeySequenceSuffixed);
    const KeyDesc& k1 = layout.keys[1];
    EXPECT_EQ(k1.firstSegment, 2);
    EXPECT_EQ(k1.segmentCount, 1);
    EXPECT_EQ(k1.length, 6 + 4);
    EXPECT_EQ(k1.suffix, KeySuffix::Address);
    EXPECT_TRUE(k1.flags & kKeyUnique);
    const KeyDesc& k2 = layout.keys[2];
    EXPECT_EQ(k2.length, 7 + 4);
    EXPECT_EQ(k2.flags, 0);
    EXPECT_EQ(layout.maxValueSize(), 19u);
    EXPECT_EQ(layout.autoNumberSegment, -1);
    EXPECT_EQ(layout.keyAreaSize, 16);
}

TEST(ClassicDescriptors, FirstLengthZeroGivesTheDefaultKey) {
    const Bytes table = {0x00, 0x01, 0x00, 0x00, 0x01, 0x02, 0x00, 0x05, 0xFF, 0, 0, 0};
    KeyLayout layout;
    ASSERT_EQ(decodeClassicKeys(table, params(0x0112), layout), MDK_OK);
    ASSERT_EQ(layout.keyCount(), 1u);
    ASSERT_EQ(layout.segments.size(), 1u);
    // Length = low byte of K (0x0112 -> 0x12).
    expectSegment(layout.segments[0], kKeyAreaField, 0, 0x12, false, 0, 0);
    EXPECT_EQ(layout.keys[0].length, 0x12);
    EXPECT_EQ(layout.keys[0].suffix, KeySuffix::None);
}

TEST(ClassicDescriptors, SequenceOptionOnlyOnTheFilesFirstSegment) {
    struct Case {
        const char* name;
        Bytes table;
        uint16_t key0Length;
        KeySuffix key0Suffix;
    };
    const std::vector<Case> cases = {
        {"on first segment",
         {0x00, 1, 0, 3, 0xFE, 0x20, 0, 0, 0x00, 2, 0, 2, 0xFF, 0, 0, 0},
         3 + 2 + 4,
         KeySuffix::Sequence},
        {"on second segment of key 0",
         {0x00, 1, 0, 3, 0x00, 2, 0, 2, 0xFE, 0x20, 0, 0, 0xFF, 0, 0, 0},
         3 + 2,
         KeySuffix::None},
        {"on an alternate key",
         {0x00, 1, 0, 3, 0x01, 2, 0, 2, 0xFE, 0x20, 0, 0, 0xFF, 0, 0, 0},
         3,
         KeySuffix::None},
        {"second option entry in a row ignored",
         {0x00, 1, 0, 3, 0xFE, 0x02, 0, 0, 0xFE, 0x20, 0, 0, 0xFF, 0, 0, 0},
         3,
         KeySuffix::None},
    };
    for (const Case& c : cases) {
        KeyLayout layout;
        ASSERT_EQ(decodeClassicKeys(c.table, params(), layout), MDK_OK) << c.name;
        EXPECT_EQ(layout.keys[0].length, c.key0Length) << c.name;
        EXPECT_EQ(layout.keys[0].suffix, c.key0Suffix) << c.name;
    }
}

TEST(ClassicDescriptors, OptionWithoutSegmentIsIgnored) {
    const Bytes table = {0xFE, 0x02, 0x00, 0x20, 0x00, 0x01, 0x00, 0x04, 0xFF, 0, 0, 0};
    KeyLayout layout;
    ASSERT_EQ(decodeClassicKeys(table, params(), layout), MDK_OK);
    ASSERT_EQ(layout.segments.size(), 1u);
    expectSegment(layout.segments[0], 1, 0, 4, false, 0, 0);
}

TEST(ClassicDescriptors, LastAutoNumberedSegmentCounts) {
    const Bytes table = {
        0x00, 1, 0, 4, 0xFE, 0x00, 0x08, 0x30,  // 0x0800 on segment 0
        0x01, 2, 0, 4, 0xFE, 0x00, 0x02, 0x00,  // 0x0200 on segment 1
        0x02, 3, 0, 4,                          // no options
        0xFF, 0, 0, 0,
    };
    KeyLayout layout;
    ASSERT_EQ(decodeClassicKeys(table, params(), layout), MDK_OK);
    EXPECT_EQ(layout.autoNumberSegment, 1);
}

TEST(ClassicDescriptors, TableWithoutTerminatorEndsWithTheBytes) {
    const Bytes table = {0x00, 1, 0, 4, 0x01, 2, 0, 3};
    KeyLayout layout;
    ASSERT_EQ(decodeClassicKeys(table, params(), layout), MDK_OK);
    EXPECT_EQ(layout.keyCount(), 2u);
}

TEST(ClassicDescriptors, RefusesImpossibleTables) {
    struct Case {
        const char* name;
        Bytes table;
        ClassicKeyParams p;
        int code;
    };
    const std::vector<Case> cases = {
        {"key number gap", {0x00, 1, 0, 4, 0x02, 2, 0, 4, 0xFF, 0, 0, 0}, params(), MDK_E_KEYNUM},
        {"key segments not together",
         {0x00, 1, 0, 4, 0x01, 2, 0, 4, 0x00, 3, 0, 4, 0xFF, 0, 0, 0},
         params(),
         MDK_E_KEYNUM},
        {"no key 0", {0x01, 1, 0, 4, 0xFF, 0, 0, 0}, params(), MDK_E_KEYNUM},
        {"empty table", {0xFF, 0, 0, 1}, params(), MDK_E_KEYNUM},
        {"segment length 0 (descending bit only)",
         {0x00, 1, 0, 4, 0x00, 2, 0, 0x80, 0xFF, 0, 0, 0},
         params(),
         MDK_E_LENGTH},
        {"default key with K = 0", {0x00, 1, 0, 0}, params(0), MDK_E_LENGTH},
        {"negative key area size", {0x00, 1, 0, 4}, params(-1), MDK_E_LENGTH},
        {"key length above 254",
         {0x00, 1, 0, 127, 0x00, 2, 0, 127, 0x00, 3, 0, 1},
         params(),
         MDK_E_LENGTH},
        // (200 - 6) / (L + 5) >= 2 allows L up to 92; key 1 is 89 + 4.
        {"two entries do not fit the block",
         {0x00, 1, 0, 92, 0x01, 2, 0, 89},
         params(16, 200),
         MDK_E_LENGTH},
    };
    for (const Case& c : cases) {
        KeyLayout layout;
        EXPECT_EQ(decodeClassicKeys(c.table, c.p, layout), c.code) << c.name;
    }
    KeyLayout fits;
    EXPECT_EQ(decodeClassicKeys(Bytes{0x00, 1, 0, 92, 0x01, 2, 0, 88}, params(16, 200), fits),
              MDK_OK);
    EXPECT_EQ(keyBlockCapacity(200, fits.keys[0].entrySize()), 2u);
    KeyLayout longest;
    EXPECT_EQ(decodeClassicKeys(Bytes{0x00, 1, 0, 127, 0x00, 2, 0, 127}, params(), longest),
              MDK_OK);
    EXPECT_EQ(longest.keys[0].length, 254);
}

TEST(ClassicDescriptors, EncoderWritesTheTableBytes) {
    KeyLayout layout;
    layout.segments = {
        Segment{1, 0x134, 10, false, kOptUpper, 0},
        Segment{2, 0, 4, true, 0, 0},
        Segment{kKeyAreaField, 0, 6, false, 0, 0x20},
    };
    layout.keys = {
        KeyDesc{0, 2, 0, kKeySequenceSuffixed, KeySuffix::Sequence},
        KeyDesc{2, 1, 0, kKeyUnique, KeySuffix::Address},
    };
    ASSERT_EQ(finishKeyLayout(layout, 1024), MDK_OK);
    Bytes out(40, 0xEE);
    size_t written = 0;
    ASSERT_EQ(encodeClassicKeys(layout, out, written), MDK_OK);
    const Bytes expected = {
        0x10, 0x01, 0x34, 0x0A, 0xFE, 0x22, 0x00, 0x00,  // key 0 segment 0 + upper, sequence
        0x00, 0x02, 0x00, 0x84,                          // key 0 segment 1, descending
        0x01, 0xFF, 0x00, 0x06, 0xFE, 0x01, 0x00, 0x20,  // key 1 key area, unique, null blank
        0xFF, 0x00, 0x00, 0x00,
    };
    EXPECT_EQ(written, 24u);  // terminator included
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 24), expected);

    KeyLayout back;
    ASSERT_EQ(decodeClassicKeys(out, params(), back), MDK_OK);
    ASSERT_EQ(back.keyCount(), 2u);
    EXPECT_EQ(back.keys[0].length, layout.keys[0].length);
    EXPECT_EQ(back.keys[0].suffix, KeySuffix::Sequence);
    EXPECT_EQ(back.keys[1].length, layout.keys[1].length);
    EXPECT_TRUE(back.keys[1].flags & kKeyUnique);
    expectSegment(back.segments[0], 1, 0x134, 10, false, kOptUpper | kOptSequenceSuffix, 0);
    expectSegment(back.segments[1], 2, 0, 4, true, 0, 0);
    expectSegment(back.segments[2], kKeyAreaField, 0, 6, false, kOptUnique, 0x20);
}

TEST(ClassicDescriptors, EncoderRefusesWhatTheTableCannotHold) {
    struct Case {
        const char* name;
        Segment segment;
        size_t outSize;
        int code;
    };
    const std::vector<Case> cases = {
        {"length above 127", Segment{1, 0, 128, false, 0, 0}, 16, MDK_E_LENGTH},
        {"offset above 12 bits", Segment{1, 0x1000, 4, false, 0, 0}, 16, MDK_E_LENGTH},
        {"field 255 is not the key area", Segment{255, 0, 4, false, 0, 0}, 16, MDK_E_LENGTH},
        {"no room", Segment{1, 0, 4, false, kOptUpper, 0}, 6, MDK_E_LENGTH},
    };
    for (const Case& c : cases) {
        KeyLayout layout;
        layout.segments = {c.segment};
        layout.keys = {KeyDesc{0, 1, 0, 0, KeySuffix::None}};
        Bytes out(c.outSize, 0);
        size_t written = 99;
        EXPECT_EQ(encodeClassicKeys(layout, out, written), c.code) << c.name;
        EXPECT_EQ(written, 0u) << c.name;
    }
    KeyLayout many;
    many.segments = {Segment{1, 0, 4, false, 0, 0}};
    many.keys.assign(17, KeyDesc{0, 1, 0, 0, KeySuffix::None});
    Bytes out(256, 0);
    size_t written = 0;
    EXPECT_EQ(encodeClassicKeys(many, out, written), MDK_E_KEYNUM);
}

TEST(KeyBlockCapacity, IsBlockBodyOverEntrySizeCappedAt255) {
    struct Case {
        size_t blockSize, entrySize;
        unsigned capacity;
    };
    const std::vector<Case> cases = {
        {1024, 15, 67},  {1024, 1018, 1}, {1024, 1019, 0}, {65536, 9, 255},
        {4096, 16, 255}, {4096, 17, 240}, {6, 5, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(keyBlockCapacity(c.blockSize, c.entrySize), c.capacity)
            << c.blockSize << "/" << c.entrySize;
    }
}

}  // namespace
}  // namespace mdnio::common
