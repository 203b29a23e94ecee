// The description of an extended file: the header's fields, the 64-bit counts and key names.
#include <gtest/gtest.h>

#include <cstring>

#include "common/bytes.h"
#include "extended/extended.h"

using namespace mdnio;
using namespace mdnio::extended;

namespace {

constexpr uint8_t kSentinel = 0x5A;
constexpr int32_t kSentinelWord = 0x5A5A5A5A;

TEST(ExtendedDescribe, HeaderFieldsAndTheRecordCount) {
    uint8_t h[kFixedSize] = {};
    std::memcpy(h, "[Mdnky2]", 8);
    common::putBe32(h + 10, 1);
    common::putBe32(h + 14, 2);
    common::putBe32(h + 36, 0xA1B2C3D4u);
    common::putBe32(h + 40, 3);
    common::putBe32(h + 44, 4);
    h[48] = 3;
    h[49] = 0x81;
    h[50] = 0x16;
    h[51] = 0x08;
    common::putBe16(h + 55, 258);
    MdkFileInfo info;
    std::memset(&info, kSentinel, sizeof info);
    describeHeader(std::span<const uint8_t, kFixedSize>(h), 0x0000000500000006ull, info);
    EXPECT_EQ(info.capacityLow, 2);
    EXPECT_EQ(info.capacityHigh, 1);
    EXPECT_EQ(info.recordCountLow, 6);
    EXPECT_EQ(info.recordCountHigh, 5);
    EXPECT_EQ(info.value5Low, 4);
    EXPECT_EQ(info.value5High, 3);
    EXPECT_EQ(info.value7, static_cast<int32_t>(0xA1B2C3D4u));
    EXPECT_EQ(info.describeFlags, 1 | 16 | 64 | 128 | 0x200);
    EXPECT_EQ(info.formatCode, 3);
    EXPECT_EQ(info.blockSizeCode, 4);
    EXPECT_EQ(info.segmentCount, 258);
    EXPECT_EQ(info.flagsC, 8);
    // Left to the caller: what the engine knows beyond the header.
    EXPECT_EQ(info.maxDataLength, kSentinelWord);
    EXPECT_EQ(info.keyCount, kSentinelWord);
    EXPECT_EQ(info.separator, kSentinel);
}

// A name stands in bytes 2..25 of the descriptor when it begins with a printable character;
// otherwise the key is named by the number MDK_seek takes.
TEST(ExtendedDescribe, KeyNamesFromTheDescriptorOrTheirNumber) {
    struct Case {
        const char* bytes;  // payload bytes 2.. as given
        size_t length;
        const char* want;
    };
    const Case cases[] = {
        {"custno", 7, "custno"},
        {"abcdefghijklmnopqrstuvwx", 24, "abcdefghijklmnopqrstuvwx"},  // no terminator: 24
        {"", 1, "#3"},
        {"\x01name", 5, "#3"},
        {" lead", 6, "#3"},
    };
    for (const Case& c : cases) {
        KeyDescriptor d;
        std::memcpy(d.head.data() + 2, c.bytes, c.length);
        EXPECT_EQ(keyNameOf(d, 2), c.want) << c.bytes;
    }
}

}  // namespace
