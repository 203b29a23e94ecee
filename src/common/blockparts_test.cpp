#include "common/blockparts.h"

#include <gtest/gtest.h>

#include <vector>

namespace mdnio::common {
namespace {

TEST(BlockParts, PartSizeCutsTheBlockIntoAtMost64) {
    struct Case {
        size_t blockSize;
        unsigned shift;
    };
    const std::vector<Case> cases = {{64, 0},   {65, 1},   {100, 1},  {512, 3},
                                     {1024, 4}, {4096, 6}, {4097, 7}, {65536, 10}};
    for (const Case& c : cases) {
        EXPECT_EQ(partShift(c.blockSize), c.shift) << c.blockSize;
        EXPECT_LE((c.blockSize + (size_t{1} << c.shift) - 1) >> c.shift, 64u) << c.blockSize;
    }
}

TEST(BlockParts, AddMarksEveryPartTheBytesTouch) {
    struct Case {
        const char* name;
        size_t from, to;
        uint64_t bits;
    };
    // 4096-byte blocks: parts of 64 bytes.
    const std::vector<Case> cases = {
        {"nothing", 100, 100, 0},
        {"one byte", 5, 6, 0x1},
        {"last byte of a part", 63, 64, 0x1},
        {"first byte of the next", 64, 65, 0x2},
        {"across a boundary", 63, 65, 0x3},
        {"three parts", 100, 300, 0x1E},
        {"the last part", 4095, 4096, uint64_t{1} << 63},
        {"up to the end", 4000, 4096, uint64_t{3} << 62},
        {"the whole block", 0, 4096, kAllParts},
    };
    for (const Case& c : cases) {
        BlockParts parts(4096);
        parts.add(c.from, c.to);
        EXPECT_EQ(parts.bits(), c.bits) << c.name;
    }
    BlockParts parts(4096);
    parts.add(0, 1);
    parts.add(4095, 4096);
    EXPECT_EQ(parts.bits(), 0x1 | uint64_t{1} << 63);  // ranges add up
}

TEST(BlockParts, FirstUnmarkedDifference) {
    std::vector<uint8_t> a(1024, 0), b(1024, 0);  // parts of 16 bytes
    EXPECT_EQ(firstUnmarkedDifference(a, b, 0), kNoDifference);
    b[40] = 1;  // part 2
    EXPECT_EQ(firstUnmarkedDifference(a, b, 0), 32u);
    EXPECT_EQ(firstUnmarkedDifference(a, b, 0x4), kNoDifference);
    EXPECT_EQ(firstUnmarkedDifference(a, b, 0x2), 32u);
    b[1023] = 1;  // the last part
    EXPECT_EQ(firstUnmarkedDifference(a, b, 0x4), 1008u);
    EXPECT_EQ(firstUnmarkedDifference(a, b, 0x4 | uint64_t{1} << 63), kNoDifference);
}

}  // namespace
}  // namespace mdnio::common
