#include "common/cp1252.h"

#include <gtest/gtest.h>

#include <vector>

namespace mdnio::common {
namespace {

struct Mapping {
    uint8_t from;
    uint8_t to;
};

int changedEntries(const ByteTable& t) {
    int n = 0;
    for (int i = 0; i < 256; ++i)
        n += t[i] != i;
    return n;
}

TEST(Cp1252, UpperCaseTable) {
    const std::vector<Mapping> cases = {
        {'a', 'A'},   {'m', 'M'},   {'z', 'Z'},   {'`', '`'},   {'{', '{'},
        {'A', 'A'},   {0x9A, 0x8A}, {0x9C, 0x8C}, {0x9E, 0x9E}, {0xE0, 0xC0},
        {0xE9, 0xC9}, {0xF6, 0xD6}, {0xF7, 0xF7}, {0xF8, 0xD8}, {0xFE, 0xDE},
        {0xFF, 0x9F}, {0xDF, 0xDF}, {0xC0, 0xC0}, {0x00, 0x00}, {0x8A, 0x8A},
    };
    for (const Mapping& m : cases)
        EXPECT_EQ(toUpper1252(m.from), m.to) << int{m.from};
    // 26 letters, 0x9A, 0x9C, 0xE0..0xFE less 0xF7, 0xFF.
    EXPECT_EQ(changedEntries(kUpperTable), 26 + 2 + 30 + 1);
}

TEST(Cp1252, LowerCaseTable) {
    const std::vector<Mapping> cases = {
        {'A', 'a'},   {'Z', 'z'},   {'@', '@'},   {'[', '['},   {'a', 'a'},   {0x8A, 0x9A},
        {0x8C, 0x9C}, {0x8E, 0x8E}, {0x9F, 0xFF}, {0xC0, 0xE0}, {0xC9, 0xE9}, {0xD6, 0xF6},
        {0xD7, 0xD7}, {0xD8, 0xF8}, {0xDE, 0xFE}, {0xDF, 0xDF}, {0xFF, 0xFF},
    };
    for (const Mapping& m : cases)
        EXPECT_EQ(toLower1252(m.from), m.to) << int{m.from};
    EXPECT_EQ(changedEntries(kLowerTable), 26 + 2 + 1 + 30);
}

TEST(Cp1252, LowerIsTheInverseOfUpper) {
    for (int b = 0; b < 256; ++b) {
        const auto v = static_cast<uint8_t>(b);
        if (toUpper1252(v) != v) {
            EXPECT_EQ(toLower1252(toUpper1252(v)), v) << b;
        }
        if (toLower1252(v) != v) {
            EXPECT_EQ(toUpper1252(toLower1252(v)), v) << b;
        }
    }
}

TEST(Cp1252, AccentFoldingTable) {
    const std::vector<Mapping> cases = {
        {0x8A, 'S'},
        {0x9A, 's'},
        {0x9F, 'Y'},
        {0xC0, 'A'},
        {0xC6, 'A'},
        {0xC7, 'C'},
        {0xC8, 'E'},
        {0xCB, 'E'},
        {0xCC, 'I'},
        {0xCF, 'I'},
        {0xD1, 'N'},
        {0xD2, 'O'},
        {0xD6, 'O'},
        {0xD9, 'U'},
        {0xDC, 'U'},
        {0xDD, 'Y'},
        {0xE0, 'a'},
        {0xE6, 'a'},
        {0xE7, 'c'},
        {0xE8, 'e'},
        {0xEB, 'e'},
        {0xEC, 'i'},
        {0xEF, 'i'},
        {0xF1, 'n'},
        {0xF2, 'o'},
        {0xF6, 'o'},
        {0xF9, 'u'},
        {0xFC, 'u'},
        {0xFD, 'y'},
        {0xFF, 'y'},
        // Listed as mapping to themselves.
        {0xD0, 0xD0},
        {0xD7, 0xD7},
        {0xD8, 0xD8},
        {0xDE, 0xDE},
        {0xDF, 0xDF},
        {0xF0, 0xF0},
        {0xF7, 0xF7},
        {0xF8, 0xF8},
        {0xFE, 0xFE},
        {0x8C, 0x8C},
        {'e', 'e'},
        {'E', 'E'},
    };
    for (const Mapping& m : cases)
        EXPECT_EQ(foldAccent1252(m.from), m.to) << int{m.from};
    EXPECT_EQ(changedEntries(kFoldTable), 58);
}

}  // namespace
}  // namespace mdnio::common
