#include "common/field.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace mdnio::common {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

std::string fieldText(const Bytes& data, const FieldRef& f) {
    const std::span<const uint8_t> bytes = f.in(data);
    return std::string(bytes.begin(), bytes.end());
}

TEST(SeparatedField, FindsFieldN) {
    const Bytes data = text("ab|cde||f");
    struct Case {
        unsigned n;
        bool found;
        size_t offset;
        std::string bytes;
    };
    const std::vector<Case> cases = {
        {0, false, 0, ""}, {1, true, 0, "ab"}, {2, true, 3, "cde"}, {3, true, 7, ""},
        {4, true, 8, "f"}, {5, false, 0, ""},  {200, false, 0, ""},
    };
    for (const Case& c : cases) {
        const FieldRef f = findSeparatedField(data, c.n, '|');
        EXPECT_EQ(f.found, c.found) << c.n;
        if (!c.found) continue;
        EXPECT_EQ(f.offset, c.offset) << c.n;
        EXPECT_EQ(fieldText(data, f), c.bytes) << c.n;
    }
}

TEST(SeparatedField, TrailingSeparatorAndEmptyData) {
    const Bytes trailing = text("ab|");
    const FieldRef second = findSeparatedField(trailing, 2, '|');
    EXPECT_TRUE(second.found);
    EXPECT_EQ(second.offset, 3u);
    EXPECT_EQ(second.length, 0u);
    EXPECT_FALSE(findSeparatedField(trailing, 3, '|').found);

    const Bytes empty;
    const FieldRef first = findSeparatedField(empty, 1, '|');
    EXPECT_TRUE(first.found);
    EXPECT_EQ(first.length, 0u);
    EXPECT_FALSE(findSeparatedField(empty, 2, '|').found);
}

// Field n by counting separators byte by byte, as the definition reads.
FieldRef countedField(const Bytes& data, unsigned n, uint8_t separator) {
    if (n == 0) return {};
    size_t start = 0;
    unsigned field = 1;
    for (size_t i = 0; i < data.size(); i++) {
        if (data[i] != separator) continue;
        if (field == n) return FieldRef{true, start, i - start};
        field++;
        start = i + 1;
    }
    if (field < n) return {};
    return FieldRef{true, start, data.size() - start};
}

// Records of every length around the eight-byte steps of the search, with separators several to
// a word, at word edges and side by side, and bytes next to the separator's value (0x89, 0x8B)
// and with the high bit set that a word-wide comparison could take for it.
TEST(SeparatedField, AgreesWithCountingByteByByte) {
    const uint8_t sep = 0x8A;
    uint32_t state = 12345;
    for (size_t size = 0; size <= 48; size++) {
        for (int pattern = 0; pattern < 40; pattern++) {
            Bytes data(size);
            for (size_t i = 0; i < size; i++) {
                state = state * 1103515245u + 12345u;
                const uint32_t r = (state >> 16) % 10;
                data[i] = r < static_cast<uint32_t>(pattern % 5)
                              ? sep
                              : static_cast<uint8_t>(r < 6 ? 0x89 + r % 3 * 2 : 0x41 + r);
            }
            for (unsigned n = 0; n <= 12; n++) {
                const FieldRef want = countedField(data, n, sep);
                const FieldRef got = findSeparatedField(data, n, sep);
                ASSERT_EQ(got.found, want.found) << size << " " << pattern << " " << n;
                if (!want.found) continue;
                ASSERT_EQ(got.offset, want.offset) << size << " " << pattern << " " << n;
                ASSERT_EQ(got.length, want.length) << size << " " << pattern << " " << n;
            }
        }
    }
}

TEST(FieldPrefix, DecodesEveryForm) {
    struct Case {
        Bytes data;
        bool valid;
        size_t size;
        size_t length;
    };
    const std::vector<Case> cases = {
        {{0x00}, true, 1, 0},       {{0x05}, true, 1, 5}, {{0x7F}, true, 1, 127},
        {{241, 200}, true, 2, 200}, {{241}, false, 0, 0}, {{242, 0x01, 0x2C}, true, 3, 300},
        {{242, 0x01}, false, 0, 0}, {{0x90}, true, 1, 1},  // 0x9x: (p AND 7) + 1
        {{0x93}, true, 1, 4},       {{0x97}, true, 1, 8}, {{0x98}, true, 1, 1},
        {{0x85}, true, 1, 5},  // other: p AND 7
        {{0xA3}, true, 1, 3},       {{0xF0}, true, 1, 0}, {{0xFF}, true, 1, 7},
        {{}, false, 0, 0},
    };
    for (const Case& c : cases) {
        const FieldPrefix p = decodeFieldPrefix(c.data, 0);
        const int first = c.data.empty() ? -1 : c.data[0];
        EXPECT_EQ(p.valid, c.valid) << first;
        EXPECT_EQ(p.size, c.size) << first;
        EXPECT_EQ(p.length, c.length) << first;
    }
}

TEST(PrefixedField, SkipsFieldsOfEveryPrefixForm) {
    Bytes data = {3, 'a', 'b',  'c', 241, 2,    'd', 'e', 242, 0,
                  1, 'f', 0x91, 'g', 'h', 0x82, 'i', 'j', 0};
    struct Case {
        unsigned n;
        bool found;
        std::string bytes;
    };
    const std::vector<Case> cases = {
        {0, false, ""},  {1, true, "abc"}, {2, true, "de"}, {3, true, "f"},
        {4, true, "gh"}, {5, true, "ij"},  {6, true, ""},   {7, false, ""},
    };
    for (const Case& c : cases) {
        const FieldRef f = findPrefixedField(data, c.n);
        EXPECT_EQ(f.found, c.found) << c.n;
        EXPECT_EQ(fieldText(data, f), c.bytes) << c.n;
    }
}

TEST(PrefixedField, CutsAFieldAtTheEndOfTheData) {
    const Bytes data = {2, 'a', 'b', 10, 'c', 'd'};
    const FieldRef second = findPrefixedField(data, 2);
    EXPECT_TRUE(second.found);
    EXPECT_EQ(fieldText(data, second), "cd");
    EXPECT_FALSE(findPrefixedField(data, 3).found);
    const Bytes cutPrefix = {1, 'a', 242, 0};
    EXPECT_FALSE(findPrefixedField(cutPrefix, 2).found);
}

}  // namespace
}  // namespace mdnio::common
