#include "common/keyvalue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "mdnio.h"

namespace mdnio::common {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

uint8_t inv(char c) {
    return static_cast<uint8_t>(~static_cast<uint8_t>(c));
}

constexpr uint16_t kK = 8;  // key area size of every record in these tests

// A record buffer: key area length byte, key area of kK bytes, BE16 data length, data.
Bytes record(const std::string& key, const Bytes& data, int statedLength = -1) {
    Bytes r(1 + kK + 2 + data.size(), 0);
    r[0] = static_cast<uint8_t>(key.size());
    std::copy(key.begin(), key.end(), r.begin() + 1);
    const int stated = statedLength < 0 ? static_cast<int>(data.size()) : statedLength;
    r[1 + kK] = static_cast<uint8_t>(stated >> 8);
    r[2 + kK] = static_cast<uint8_t>(stated);
    std::copy(data.begin(), data.end(), r.begin() + 1 + kK + 2);
    return r;
}

Segment seg(uint16_t field, uint16_t offset, uint8_t length, uint16_t options = 0,
            bool descending = false, uint8_t nullByte = 0) {
    return Segment{field, offset, length, descending, options, nullByte};
}

struct LayoutPlan {
    std::vector<std::vector<Segment>> keys;
    bool sequenceKey0 = false;
    bool pad = false;
    bool prefixed = false;
    uint8_t separator = '|';
};

KeyLayout makeLayout(const LayoutPlan& plan) {
    KeyLayout layout;
    layout.keyAreaSize = kK;
    layout.padSignificant = plan.pad;
    layout.lengthPrefixedFields = plan.prefixed;
    layout.separator = plan.separator;
    for (size_t k = 0; k < plan.keys.size(); ++k) {
        KeyDesc key;
        key.firstSegment = static_cast<uint16_t>(layout.segments.size());
        key.segmentCount = static_cast<uint8_t>(plan.keys[k].size());
        if (k > 0) {
            key.suffix = KeySuffix::Address;
        } else if (plan.sequenceKey0) {
            key.suffix = KeySuffix::Sequence;
            key.flags = kKeySequenceSuffixed;
        }
        layout.keys.push_back(key);
        layout.segments.insert(layout.segments.end(), plan.keys[k].begin(), plan.keys[k].end());
    }
    EXPECT_EQ(finishKeyLayout(layout, 1024), MDK_OK);
    return layout;
}

Bytes build(const KeyLayout& layout, size_t key, const Bytes& rec, uint32_t address = 0x01020304,
            bool appendSequence = false, uint32_t counter = 0) {
    Bytes out(layout.keys[key].valueSize(), 0xEE);
    EXPECT_EQ(buildKeyValue(layout, key, rec, address, appendSequence, counter, out), MDK_OK);
    return out;
}

struct BuildCase {
    const char* name;
    LayoutPlan plan;
    size_t key;
    Bytes rec;
    bool appendSequence;
    uint32_t counter;
    Bytes expected;
};

void runBuildCases(const std::vector<BuildCase>& cases) {
    for (const BuildCase& c : cases) {
        const KeyLayout layout = makeLayout(c.plan);
        EXPECT_EQ(build(layout, c.key, c.rec, 0x01020304, c.appendSequence, c.counter), c.expected)
            << c.name;
    }
}

TEST(BuildKeyValue, FieldsAndPadding) {
    const Bytes abcxy = text("abc|xy");
    runBuildCases({
        {"plain field",
         {{{seg(1, 0, 5)}}},
         0,
         record("", abcxy),
         false,
         0,
         {3, 'a', 'b', 'c', 0, 0}},
        {"field shorter than the offset gives padding only",
         {{{seg(1, 5, 3), seg(2, 0, 2)}}},
         0,
         record("", abcxy),
         false,
         0,
         {5, 0, 0, 0, 'x', 'y'}},
        {"descending pads with 0xFF",
         {{{seg(1, 0, 5, 0, true)}}},
         0,
         record("", text("ab")),
         false,
         0,
         {2, inv('a'), inv('b'), 0xFF, 0xFF, 0xFF}},
        {"descending missing part",
         {{{seg(1, 5, 3, 0, true), seg(2, 0, 2)}}},
         0,
         record("", abcxy),
         false,
         0,
         {5, 0xFF, 0xFF, 0xFF, 'x', 'y'}},
        {"two segments, last one short",
         {{{seg(2, 0, 3), seg(1, 0, 2, 0, true)}}},
         0,
         record("", text("a|xyz")),
         false,
         0,
         {4, 'x', 'y', 'z', inv('a'), 0xFF}},
        {"key area field from an offset",
         {{{seg(kKeyAreaField, 1, 3)}}},
         0,
         record("KEYS", abcxy),
         false,
         0,
         {3, 'E', 'Y', 'S'}},
        {"key area limited by its length byte",
         {{{seg(kKeyAreaField, 0, 4)}}},
         0,
         record("K", abcxy),
         false,
         0,
         {1, 'K', 0, 0, 0}},
        {"field 0 is the whole data",
         {{{seg(0, 2, 5)}}},
         0,
         record("", abcxy),
         false,
         0,
         {4, 'c', '|', 'x', 'y', 0}},
        {"data limited by the buffer",
         {{{seg(1, 0, 5)}}},
         0,
         record("", text("abc"), 100),
         false,
         0,
         {3, 'a', 'b', 'c', 0, 0}},
        {"default separator 0x8A",
         {{{seg(2, 0, 2)}}, false, false, false, kDefaultSeparator},
         0,
         record("", {'a', 'b', 0x8A, 'x', 'y'}),
         false,
         0,
         {2, 'x', 'y'}},
        {"length-prefixed fields",
         {{{seg(3, 1, 4)}}, false, false, true},
         0,
         record("", {3, 'a', 'b', 'c', 241, 2, 'd', 'e', 242, 0, 5, 'f', 'g', 'h', 'i', 'j'}),
         false,
         0,
         {4, 'g', 'h', 'i', 'j'}},
        {"0x9x prefix",
         {{{seg(2, 0, 3)}}, false, false, true},
         0,
         record("", {0x91, 'p', 'q', 0x02, 'r', 's'}),
         false,
         0,
         {2, 'r', 's', 0}},
    });
}

TEST(BuildKeyValue, Options) {
    const LayoutPlan nullKey = {{{seg(1, 0, 2)}, {seg(2, 0, 4, kOptNullSegment, false, ' ')}}};
    runBuildCases({
        {"null segment over blanks: no entry", nullKey, 1, record("", text("ab|    ")), false, 0,
         Bytes(9, 0)},
        {"null segment over a missing field: no entry", nullKey, 1, record("", text("ab")), false,
         0, Bytes(9, 0)},
        {"null segment not null",
         nullKey,
         1,
         record("", text("ab|  x ")),
         false,
         0,
         {8, ' ', ' ', 'x', ' ', 1, 2, 3, 4}},
        {"upper case of abc",
         {{{seg(1, 0, 4, kOptUpper)}}},
         0,
         record("", text("abc")),
         false,
         0,
         {3, 'A', 'B', 'C', 0}},
        {"upper case of ABC",
         {{{seg(1, 0, 4, kOptUpper)}}},
         0,
         record("", text("ABC")),
         false,
         0,
         {3, 'A', 'B', 'C', 0}},
        {"lower case",
         {{{seg(1, 0, 3, kOptLower)}}},
         0,
         record("", text("AbC")),
         false,
         0,
         {3, 'a', 'b', 'c'}},
        {"upper wins over lower",
         {{{seg(1, 0, 3, kOptUpper | kOptLower)}}},
         0,
         record("", text("aBc")),
         false,
         0,
         {3, 'A', 'B', 'C'}},
        {"accent folding",
         {{{seg(1, 0, 4, kOptFoldAccents)}}},
         0,
         record("", {0xC9, 'l', 0xE0, 'n'}),
         false,
         0,
         {4, 'E', 'l', 'a', 'n'}},
        {"folding then upper case",
         {{{seg(1, 0, 4, kOptFoldAccents | kOptUpper)}}},
         0,
         record("", {0xE9, 'l', 0xE0, 'n'}),
         false,
         0,
         {4, 'E', 'L', 'A', 'N'}},
        {"upper case without folding keeps the accent",
         {{{seg(1, 0, 2, kOptUpper)}}},
         0,
         record("", {0xE9, 0xFF}),
         false,
         0,
         {2, 0xC9, 0x9F}},
        {"reverse",
         {{{seg(1, 0, 5, kOptReverse)}}},
         0,
         record("", text("abc")),
         false,
         0,
         {3, 'c', 'b', 'a', 0, 0}},
        {"reverse by 0x0200",
         {{{seg(1, 0, 3, kOptReverseAuto)}}},
         0,
         record("", text("abc")),
         false,
         0,
         {3, 'c', 'b', 'a'}},
        {"reverse descending",
         {{{seg(1, 0, 5, kOptReverse, true)}}},
         0,
         record("", text("abc")),
         false,
         0,
         {3, inv('c'), inv('b'), inv('a'), 0xFF, 0xFF}},
        {"flip sign",
         {{{seg(1, 0, 2, kOptFlipSign)}}},
         0,
         record("", {0x01, 0x02}),
         false,
         0,
         {2, 0x81, 0x02}},
        {"flip after reverse",
         {{{seg(1, 0, 2, kOptFlipSign | kOptReverse)}}},
         0,
         record("", {0x01, 0x02}),
         false,
         0,
         {2, 0x82, 0x01}},
        {"flip descending",
         {{{seg(1, 0, 2, kOptFlipSign, true)}}},
         0,
         record("", {0x80, 0x00}),
         false,
         0,
         {2, 0xFF, 0xFF}},
        {"stop at zero",
         {{{seg(1, 0, 5, kOptStopAtZero)}}},
         0,
         record("", {'a', 'b', 0, 'c', 'd'}),
         false,
         0,
         {5, 'a', 'b', 0, 0, 0}},
        {"stop at zero descending",
         {{{seg(1, 0, 5, kOptStopAtZero, true)}}},
         0,
         record("", {'a', 'b', 0, 'c', 'd'}),
         false,
         0,
         {5, inv('a'), inv('b'), 0xFF, 0xFF, 0xFF}},
        {"null counting on a single-segment key",
         {{{seg(1, 0, 2)}, {seg(2, 0, 3, kOptNullCounting, false, '0')}}},
         1,
         record("", text("ab|000")),
         false,
         0,
         Bytes(8, 0)},
        {"null counting on a two-segment key has no effect",
         {{{seg(1, 0, 2)}, {seg(2, 0, 3, kOptNullCounting, false, '0'), seg(1, 0, 2)}}},
         1,
         record("", text("ab|000")),
         false,
         0,
         {9, '0', '0', '0', 'a', 'b', 1, 2, 3, 4}},
        {"null counting, not null",
         {{{seg(1, 0, 2)}, {seg(2, 0, 3, kOptNullCounting, false, '0')}}},
         1,
         record("", text("ab|010")),
         false,
         0,
         {7, '0', '1', '0', 1, 2, 3, 4}},
    });
}

TEST(BuildKeyValue, SuffixPlacement) {
    const Bytes abxy = text("ab|xy");
    const LayoutPlan alternate = {{{seg(1, 0, 2)}, {seg(2, 0, 5)}}};
    LayoutPlan alternatePad = alternate;
    alternatePad.pad = true;
    const LayoutPlan alternateDesc = {{{seg(1, 0, 2)}, {seg(2, 0, 5, 0, true)}}};
    LayoutPlan alternateDescPad = alternateDesc;
    alternateDescPad.pad = true;
    const LayoutPlan sequence = {{{seg(1, 0, 5)}}, true};
    LayoutPlan sequencePad = sequence;
    sequencePad.pad = true;
    const LayoutPlan sequenceDesc = {{{seg(1, 0, 5, 0, true)}}, true};
    LayoutPlan twoSegmentsPad = {{{seg(1, 0, 3), seg(2, 0, 3)}}};
    twoSegmentsPad.pad = true;
    runBuildCases({
        {"address right after the significant bytes",
         alternate,
         1,
         record("", abxy),
         false,
         0,
         {6, 'x', 'y', 1, 2, 3, 4, 0, 0, 0}},
        {"padding before the address with flag A bit 2",
         alternatePad,
         1,
         record("", abxy),
         false,
         0,
         {9, 'x', 'y', 0, 0, 0, 1, 2, 3, 4}},
        {"descending: padding after the address",
         alternateDesc,
         1,
         record("", abxy),
         false,
         0,
         {6, inv('x'), inv('y'), 1, 2, 3, 4, 0xFF, 0xFF, 0xFF}},
        {"descending with flag A bit 2",
         alternateDescPad,
         1,
         record("", abxy),
         false,
         0,
         {9, inv('x'), inv('y'), 0xFF, 0xFF, 0xFF, 1, 2, 3, 4}},
        {"sequence number appended",
         sequence,
         0,
         record("", abxy),
         true,
         0x41,
         {6, 'a', 'b', 0, 0, 0, 0x42, 0, 0, 0}},
        {"sequence number before the padding even with flag A bit 2",
         sequencePad,
         0,
         record("", abxy),
         true,
         0x41,
         {9, 'a', 'b', 0, 0, 0, 0x42, 0, 0, 0}},
        {"sequence number, descending",
         sequenceDesc,
         0,
         record("", abxy),
         true,
         0x01FF,
         {6, inv('a'), inv('b'), 0, 0, 2, 0, 0xFF, 0xFF, 0xFF}},
        {"sequence number not appended",
         sequence,
         0,
         record("", abxy),
         false,
         0x41,
         {2, 'a', 'b', 0, 0, 0, 0, 0, 0, 0}},
        {"counter wraps",
         sequence,
         0,
         record("", abxy),
         true,
         0xFFFFFFFF,
         {6, 'a', 'b', 0, 0, 0, 0, 0, 0, 0}},
        {"flag A bit 2 counts every segment's padding",
         twoSegmentsPad,
         0,
         record("", text("a|x")),
         false,
         0,
         {6, 'a', 0, 0, 'x', 0, 0}},
    });
}

TEST(BuildKeyValue, RefusesUnknownKeyAndShortOutput) {
    const KeyLayout layout = makeLayout({{{seg(1, 0, 4)}}});
    const Bytes rec = record("", text("abcd"));
    Bytes out(5, 0);
    EXPECT_EQ(buildKeyValue(layout, 1, rec, 0, false, 0, out), MDK_E_KEYNUM);
    Bytes shortOut(4, 0);
    EXPECT_EQ(buildKeyValue(layout, 0, rec, 0, false, 0, shortOut), MDK_E_LENGTH);
    KeyLayout broken = layout;
    broken.keys[0].length = 3;  // segments no longer fit
    EXPECT_EQ(buildKeyValue(broken, 0, rec, 0, false, 0, out), MDK_E_LENGTH);
    // Records shorter than their own header give an empty source, not a crash.
    EXPECT_EQ(buildKeyValue(layout, 0, Bytes{4, 'a'}, 0, false, 0, out), MDK_OK);
    EXPECT_EQ(out, Bytes(5, 0));
}

struct SearchCase {
    const char* name;
    LayoutPlan plan;
    size_t key;
    Bytes given;
    int code;
    Bytes expected;
};

TEST(BuildSearchValue, LengthsAndShaping) {
    LayoutPlan padded = {{{seg(1, 0, 5)}, {seg(2, 0, 5)}}};
    padded.pad = true;
    const std::vector<SearchCase> cases = {
        {"full length", {{{seg(1, 0, 5)}}}, 0, text("abcde"), MDK_OK, {5, 'a', 'b', 'c', 'd', 'e'}},
        {"longer than L", {{{seg(1, 0, 5)}}}, 0, text("abcdef"), MDK_E_LENGTH, {}},
        {"alternate key up to L - 4",
         {{{seg(1, 0, 5)}, {seg(2, 0, 5)}}},
         1,
         text("abcde"),
         MDK_OK,
         {5, 'a', 'b', 'c', 'd', 'e', 0, 0, 0, 0}},
        {"alternate key above L - 4",
         {{{seg(1, 0, 5)}, {seg(2, 0, 5)}}},
         1,
         text("abcdef"),
         MDK_E_LENGTH,
         {}},
        {"sequence key above L - 4", {{{seg(1, 0, 5)}}, true}, 0, text("abcdef"), MDK_E_LENGTH, {}},
        {"unknown key", {{{seg(1, 0, 5)}}}, 1, text("a"), MDK_E_KEYNUM, {}},
        {"flag A bit 2: length byte is L", padded, 0, text("ab"), MDK_OK, {5, 'a', 'b', 0, 0, 0}},
        {"flag A bit 2 on an alternate key",
         padded,
         1,
         text("ab"),
         MDK_OK,
         {9, 'a', 'b', 0, 0, 0, 0, 0, 0, 0}},
        {"descending second segment, given bytes only",
         {{{seg(1, 0, 3, kOptUpper), seg(2, 0, 4, 0, true)}}},
         0,
         text("abcxy"),
         MDK_OK,
         {5, 'A', 'B', 'C', inv('x'), inv('y'), 0, 0}},
        {"reverse of the given part",
         {{{seg(1, 0, 5, kOptReverse)}}},
         0,
         text("abc"),
         MDK_OK,
         {3, 'c', 'b', 'a', 0, 0}},
        {"stop at zero",
         {{{seg(1, 0, 4, kOptStopAtZero)}}},
         0,
         {'a', 0, 'b', 'c'},
         MDK_OK,
         {4, 'a', 0, 0, 0}},
        // Caller bytes are flipped before they are folded and cased.
        {"flip, fold and lower",
         {{{seg(1, 0, 2, kOptFlipSign | kOptFoldAccents | kOptLower)}}},
         0,
         {0x49, 0xC9},
         MDK_OK,
         {2, 'e', 'e'}},
        {"empty search", {{{seg(1, 0, 3, 0, true)}}}, 0, {}, MDK_OK, {0, 0, 0, 0}},
    };
    for (const SearchCase& c : cases) {
        const KeyLayout layout = makeLayout(c.plan);
        Bytes out(layout.keys[std::min(c.key, layout.keyCount() - 1)].valueSize(), 0xEE);
        EXPECT_EQ(buildSearchValue(layout, c.key, c.given, out), c.code) << c.name;
        if (c.code == MDK_OK) {
            EXPECT_EQ(out, c.expected) << c.name;
        }
    }
    const KeyLayout layout = makeLayout({{{seg(1, 0, 5)}}});
    Bytes tooShort(5, 0);
    EXPECT_EQ(buildSearchValue(layout, 0, text("ab"), tooShort), MDK_E_LENGTH);
}

// A caller who gives every byte of every segment gets the value built from a record that holds
// the same bytes: the two shaping paths must agree.
TEST(BuildSearchValue, AgreesWithBuiltValuesForFullSegments) {
    const std::vector<uint16_t> options = {
        0,
        kOptUpper,
        kOptLower,
        kOptFoldAccents,
        kOptFoldAccents | kOptUpper,
        kOptReverse,
        kOptReverseAuto | kOptLower,
        kOptFlipSign,
        kOptFlipSign | kOptReverse,
        kOptStopAtZero,
        kOptStopAtZero | kOptReverse | kOptFlipSign,
        kOptStopAtZero | kOptReverse | kOptUpper,
        // Flip together with a case or folding option is left out: record bytes are cased
        // before the flip, caller bytes after it.
    };
    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> byte(0, 255);
    for (uint16_t a : options) {
        for (uint16_t b : options) {
            for (int descending = 0; descending < 4; ++descending) {
                const KeyLayout layout = makeLayout(
                    {{{seg(1, 0, 3, a, descending & 1), seg(2, 0, 4, b, descending & 2)}}});
                for (int round = 0; round < 20; ++round) {
                    Bytes f1(3), f2(4);
                    for (uint8_t& v : f1)
                        v = static_cast<uint8_t>(byte(rng));
                    for (uint8_t& v : f2)
                        v = static_cast<uint8_t>(byte(rng));
                    for (uint8_t& v : f1)
                        v = v == '|' ? 'x' : v;
                    for (uint8_t& v : f2)
                        v = v == '|' ? 'x' : v;
                    Bytes data = f1;
                    data.push_back('|');
                    data.insert(data.end(), f2.begin(), f2.end());
                    Bytes given = f1;
                    given.insert(given.end(), f2.begin(), f2.end());

                    const Bytes built = build(layout, 0, record("", data));
                    Bytes searched(8, 0xEE);
                    ASSERT_EQ(buildSearchValue(layout, 0, given, searched), MDK_OK);
                    EXPECT_EQ(searched, built)
                        << "options " << a << "/" << b << " desc " << descending;
                }
            }
        }
    }
}

TEST(CompareValues, OrdersByBytesThenLength) {
    struct Case {
        Bytes a, b;
        int sign;
    };
    const std::vector<Case> cases = {
        {{3, 'a', 'b', 'c'}, {3, 'a', 'b', 'd'}, -1},
        {{3, 'a', 'b', 'd'}, {3, 'a', 'b', 'c'}, 1},
        {{3, 'a', 'b', 'c'}, {3, 'a', 'b', 'c'}, 0},
        {{2, 'a', 'b', 0}, {3, 'a', 'b', 0}, -1},  // equal bytes: byte 0 decides
        {{3, 'a', 'b', 0}, {2, 'a', 'b', 0}, 1},
        {{1, 0x80, 0, 0}, {3, 0x7F, 0xFF, 0xFF}, 1},           // unsigned bytes
        {{0xFF, 0xFF, 0xFF, 0xFF}, {3, 0xFF, 0xFF, 0xFF}, 1},  // end marker above all
        {{0xFF, 0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF, 0xFF}, 0},
        {{0, 0, 0, 0}, {0, 0, 0, 0}, 0},
    };
    for (const Case& c : cases) {
        const int r = compareValues(c.a, c.b);
        EXPECT_EQ((r > 0) - (r < 0), c.sign);
        const int back = compareValues(c.b, c.a);
        EXPECT_EQ((back > 0) - (back < 0), -c.sign);
    }
}

// Long values are compared a word at a time: the order must still be that of the bytes, for a
// difference at any place within or after the words.
TEST(CompareValues, LongValuesOrderAsTheirBytes) {
    auto reference = [](const Bytes& a, const Bytes& b) {
        size_t n = std::min(a.size(), b.size());
        int bytes = std::memcmp(a.data() + 1, b.data() + 1, n - 1);
        if (bytes != 0) return bytes < 0 ? -1 : 1;
        return a[0] < b[0] ? -1 : (a[0] > b[0] ? 1 : 0);
    };
    uint32_t seed = 12345;
    auto next = [&] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 16;
    };
    for (int round = 0; round < 4000; round++) {
        size_t size = 1 + next() % 40;
        Bytes a(size), b;
        for (uint8_t& x : a)
            x = static_cast<uint8_t>(next());
        b = a;
        // Change one byte (or none) of b, often by a little: above and below 0x80 alike.
        if (next() % 8 != 0) {
            size_t at = next() % size;
            b[at] = static_cast<uint8_t>(b[at] + (next() % 2 ? 1 : 0x81));
        }
        SCOPED_TRACE(round);
        EXPECT_EQ(compareValues(a, b), reference(a, b));
        EXPECT_EQ(compareValues(b, a), reference(b, a));
    }
}

TEST(CompareValues, DescendingShortValueSortsAfterLongerOnes) {
    const KeyLayout layout = makeLayout({{{seg(1, 0, 5, 0, true)}}});
    const Bytes shortValue = build(layout, 0, record("", text("ab")));
    const Bytes longValue = build(layout, 0, record("", text("abc")));
    EXPECT_GT(compareValues(shortValue, longValue), 0);
    const KeyLayout ascending = makeLayout({{{seg(1, 0, 5)}}});
    EXPECT_LT(compareValues(build(ascending, 0, record("", text("ab"))),
                            build(ascending, 0, record("", text("abc")))),
              0);
}

TEST(ValueHelpers, EmptyEndMarkerSuffixMatchAndLength) {
    EXPECT_TRUE(isEmptyValue(Bytes{0, 0, 0}));
    EXPECT_FALSE(isEmptyValue(Bytes{0, 0, 1}));
    EXPECT_FALSE(isEmptyValue(Bytes{1, 0, 0}));
    Bytes marker(6, 0);
    makeEndMarker(marker);
    EXPECT_EQ(marker, Bytes(6, 0xFF));
    EXPECT_TRUE(isEndMarker(marker));
    EXPECT_FALSE(isEndMarker(Bytes{5, 0xFF}));

    const Bytes search = {2, 'a', 'b', 0, 0, 0, 0};
    struct Case {
        Bytes found;
        bool match;
    };
    const std::vector<Case> cases = {
        {{6, 'a', 'b', 0, 0, 0, 9}, true},
        {{6, 'a', 'c', 0, 0, 0, 9}, false},
        {{5, 'a', 'b', 0, 0, 9, 0}, false},
        {{2, 'a', 'b', 0, 0, 0, 0}, false},
        {{6}, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(matchesIgnoringSuffix(c.found, search, 2), c.match);

    // Lengths a value of L = 4 may carry: 0 to 4, and the end marker's 0xFF.
    for (unsigned length : {0u, 4u, 0xFFu})
        EXPECT_TRUE(valueLengthValid(Bytes{static_cast<uint8_t>(length), 1, 2, 3, 4})) << length;
    for (unsigned length : {5u, 0xF0u, 0xFEu})
        EXPECT_FALSE(valueLengthValid(Bytes{static_cast<uint8_t>(length), 1, 2, 3, 4})) << length;
    EXPECT_FALSE(valueLengthValid(Bytes{}));
}

}  // namespace
}  // namespace mdnio::common
