// The classic header codec: fields and derived sizes as the builder writes them, the counter
// check, and the key descriptor table read from the header and its continuation.
#include "keyed/format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "keyed/testing.h"
#include "mdnio.h"

namespace mdnio::keyed {
namespace {

using Bytes = std::vector<uint8_t>;
using common::KeyLayout;
using test::seg;

Bytes classicHeader(int16_t keyArea, uint8_t blockCode, uint8_t flagsA, uint8_t separator) {
    Bytes h(kHeaderSize, 0);
    common::putBe16(&h[kOffKeyArea], static_cast<uint16_t>(keyArea));
    h[kOffBlockCode] = blockCode;
    h[kOffFlagsA] = flagsA;
    h[kOffSeparator] = separator;
    return h;
}

TEST(ClassicHeader, DecodesWhatTheBuilderWrites) {
    struct Case {
        const char* name;
        bool blockMode;
        int blockSize;
        int recordSize;
        int keyArea;
        bool compress;
        int32_t slotSize;
    };
    const Case cases[] = {
        {"slot mode", false, 1024, 40, 8, false, 40 + 8 + 3},
        {"block mode: room for a link", true, 4096, 40, 8, false, 40 + 8 + 3 + 4},
        {"compressed: one byte more", true, 2048, 100, 2, true, 100 + 2 + 3 + 4 + 1},
        {"at least 5", false, 1024, 0, 1, false, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClassicLayout l = test::layout(c.blockMode, c.blockSize, c.recordSize, c.keyArea,
                                       {{{seg(common::kKeyAreaField, 0, 1)}}});
        l.compress = c.compress;
        l.maxRecords = 77;
        l.identity = 0x01020304;
        l.fillPercent = 60;
        l.separator = ClassicLayout::Separator::Byte;
        l.separatorByte = '|';
        l.tjwMagic = c.blockMode;
        ClassicFileImage image;
        std::string why;
        ASSERT_EQ(classicFileImage(l, image, &why), 0) << why;

        EXPECT_TRUE(hasMagic(image.data()));
        const Header h = decodeHeader(image.data());
        EXPECT_EQ(h.recordSize, c.recordSize);
        EXPECT_EQ(h.keyAreaSize, c.keyArea);
        EXPECT_EQ(h.blockSize(), static_cast<uint32_t>(c.blockSize));
        EXPECT_EQ(h.blockMode(), c.blockMode);
        EXPECT_EQ(h.compressed(), c.compress);
        EXPECT_EQ(h.slotSize(), c.slotSize);
        EXPECT_EQ(h.maxRecords, 77u);
        EXPECT_EQ(h.recordCount, 0u);
        EXPECT_EQ(h.eof, kFirstBlock);
        EXPECT_EQ(h.identity, 0x01020304u);
        EXPECT_EQ(h.fillPercent, 60);
        EXPECT_EQ(h.separator(), '|');
        EXPECT_TRUE(counterCheckHolds(image.data()));
    }
}

TEST(ClassicHeader, MagicsAndBlockCodes) {
    Bytes h(kHeaderSize, 0);
    EXPECT_FALSE(hasMagic(h.data()));
    putMagic(h.data(), false);
    EXPECT_TRUE(std::equal(h.begin(), h.begin() + 8, kMagic));
    EXPECT_TRUE(hasMagic(h.data()));
    putMagic(h.data(), true);
    EXPECT_TRUE(std::equal(h.begin(), h.begin() + 8, kOldMagic));
    EXPECT_TRUE(hasMagic(h.data()));
    h[7] = '}';
    EXPECT_FALSE(hasMagic(h.data()));

    h[kOffBlockCode] = 0x7F;
    EXPECT_EQ(decodeHeader(h.data()).blockSize(), 128u * 1024);
    h[kOffBlockCode] = 0x80;  // signed: no block size at all
    EXPECT_EQ(decodeHeader(h.data()).blockCode, -128);
    EXPECT_EQ(decodeHeader(h.data()).blockSize(), 0u);
}

TEST(ClassicHeader, CounterCheckFollowsTheCounter) {
    Bytes h(kHeaderSize, 0);
    putCounter(h.data(), 0x44332211);
    EXPECT_FALSE(counterCheckHolds(h.data()));
    putCounterCheck(h.data());
    EXPECT_EQ(h[kOffCheck], 0x11 ^ 0x33);
    EXPECT_EQ(h[kOffCheck + 1], 0x22 ^ 0x44);
    EXPECT_TRUE(counterCheckHolds(h.data()));
    // Without flag A bit 6 the check bytes are cleared; with it they follow the counter.
    putCounterChecked(h.data(), 5);
    EXPECT_EQ(h[kOffCheck], 0);
    EXPECT_EQ(h[kOffCheck + 1], 0);
    h[kOffFlagsA] = kCounterCheck;
    putCounterChecked(h.data(), 0x0102);
    EXPECT_TRUE(counterCheckHolds(h.data()));
    EXPECT_EQ(getCounter(h.data()), 0x0102u);
}

TEST(ClassicHeader, FieldModeFromFlagsA) {
    struct Case {
        uint8_t flagsA;
        bool padSignificant;
        bool lengthPrefixed;
        uint8_t separator;
    };
    const std::vector<Case> cases = {
        {0x00, false, false, 0x8A}, {0x08, false, false, 0x7C}, {0x10, false, true, 0x8A},
        {0x18, false, true, 0x7C},  // length prefixes win; the separator is kept but unused
        {0x04, true, false, 0x8A},
    };
    for (const Case& c : cases) {
        Bytes header = classicHeader(8, 0, c.flagsA, 0x7C);
        const Bytes entry = {0x00, 1, 0, 4, 0xFF, 0, 0, 0};
        std::copy(entry.begin(), entry.end(), header.begin() + kOffDescriptors);
        KeyLayout layout;
        ASSERT_EQ(decodeHeaderKeys(header, {}, layout), MDK_OK) << int{c.flagsA};
        EXPECT_EQ(layout.padSignificant, c.padSignificant) << int{c.flagsA};
        EXPECT_EQ(layout.lengthPrefixedFields, c.lengthPrefixed) << int{c.flagsA};
        EXPECT_EQ(layout.separator, c.separator) << int{c.flagsA};
    }
}

TEST(ClassicHeader, KeysFromHeaderAndContinuation) {
    // 32 entries in the header: key 0 with 16 segment + option pairs fills them; the
    // continuation holds key 1 and the terminator.
    Bytes header = classicHeader(20, 3, kDescContinued | kSeparatorGiven, 0x7C);
    for (int i = 0; i < 16; ++i) {
        const size_t at = kOffDescriptors + 8 * static_cast<size_t>(i);
        const Bytes pair = {0x00, static_cast<uint8_t>(i + 1), 0, 2, 0xFE, 0x02, 0, 0};
        std::copy(pair.begin(), pair.end(), header.begin() + static_cast<std::ptrdiff_t>(at));
    }
    Bytes continuation(kHeaderSize, 0);
    const Bytes more = {0x01, 0xFF, 0, 5, 0xFF, 0, 0, 0};
    std::copy(more.begin(), more.end(), continuation.begin());

    KeyLayout layout;
    ASSERT_EQ(decodeHeaderKeys(header, continuation, layout), MDK_OK);
    ASSERT_EQ(layout.keyCount(), 2u);
    EXPECT_EQ(layout.keys[0].segmentCount, 16);
    EXPECT_EQ(layout.keys[0].length, 32);
    EXPECT_EQ(layout.keys[1].length, 5 + 4);
    EXPECT_EQ(layout.separator, 0x7C);
    EXPECT_EQ(layout.keyAreaSize, 20);

    EXPECT_EQ(decodeHeaderKeys(header, {}, layout), MDK_E_LENGTH);  // continuation missing
    header[kOffFlagsA] = kSeparatorGiven;  // without bit 1 the continuation is not read
    ASSERT_EQ(decodeHeaderKeys(header, continuation, layout), MDK_OK);
    EXPECT_EQ(layout.keyCount(), 1u);
    EXPECT_EQ(decodeHeaderKeys(Bytes(kHeaderSize - 1, 0), {}, layout), MDK_E_LENGTH);
}

TEST(ClassicHeader, BlockSizeLimitsTheKeyLength) {
    // Code 0: 1024-byte blocks hold two entries of up to 504 bytes, so 254 fits; a negative
    // code is no block size at all.
    Bytes header = classicHeader(10, 0, 0, 0);
    const Bytes seg = {0x00, 1, 0, 127, 0x00, 2, 0, 127, 0xFF, 0, 0, 0};
    std::copy(seg.begin(), seg.end(), header.begin() + kOffDescriptors);
    KeyLayout layout;
    EXPECT_EQ(decodeHeaderKeys(header, {}, layout), MDK_OK);
    header[kOffBlockCode] = 0x80;
    EXPECT_EQ(decodeHeaderKeys(header, {}, layout), MDK_E_LENGTH);
}

}  // namespace
}  // namespace mdnio::keyed
