#include "common/keyblock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "common/keyvalue.h"

namespace mdnio::common {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kL = 3;
constexpr size_t kEs = kL + 5;
constexpr size_t kB = 6 + 5 * kEs;  // room for exactly M = 5 entries

struct Entry {
    int32_t pointer;
    Bytes value;  // length byte + kL bytes
};

Bytes v(uint8_t len, uint8_t a, uint8_t b = 0, uint8_t c = 0) {
    return {len, a, b, c};
}
const Bytes kEnd = {0xFF, 0xFF, 0xFF, 0xFF};

Bytes blockOf(const std::vector<Entry>& entries, size_t blockSize = kB) {
    Bytes b(blockSize, 0);
    b[0] = kKeyBlockType;
    b[4] = 0x40;
    b[5] = static_cast<uint8_t>(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        const size_t at = 6 + i * kEs;
        const auto p = static_cast<uint32_t>(entries[i].pointer);
        b[at] = static_cast<uint8_t>(p >> 24);
        b[at + 1] = static_cast<uint8_t>(p >> 16);
        b[at + 2] = static_cast<uint8_t>(p >> 8);
        b[at + 3] = static_cast<uint8_t>(p);
        std::copy(entries[i].value.begin(), entries[i].value.end(),
                  b.begin() + static_cast<std::ptrdiff_t>(at + 4));
    }
    return b;
}

// Leaf entries a, c, e (record addresses 0x101..0x103) and the end marker.
std::vector<Entry> leaf() {
    return {{-0x101, v(1, 'a')}, {-0x102, v(1, 'c')}, {-0x103, v(1, 'e')}, {0, kEnd}};
}

TEST(KeyBlock, EntryAccess) {
    const Bytes b = blockOf(leaf());
    EXPECT_EQ(entryCount(b), 4);
    EXPECT_TRUE(entryCountValid(b, kEs));
    EXPECT_EQ(entryPointer(b, kEs, 0), -0x101);
    EXPECT_EQ(entryPointer(b, kEs, 3), 0);
    EXPECT_EQ(entryPointer(b, kEs, 5), 0);  // beyond the capacity
    EXPECT_TRUE(entryValue(b, kEs, 5).empty());
    const std::span<const uint8_t> value = entryValue(b, kEs, 1);
    EXPECT_EQ(Bytes(value.begin(), value.end()), v(1, 'c'));
    Bytes c = b;
    setEntryPointer(c, kEs, 2, 0x12345678);
    EXPECT_EQ(Bytes(c.begin() + 6 + 2 * kEs, c.begin() + 6 + 2 * kEs + 4),
              (Bytes{0x12, 0x34, 0x56, 0x78}));
    Bytes over = b;
    over[5] = 6;
    EXPECT_FALSE(entryCountValid(over, kEs));
}

// An entry is reachable exactly when its index is below the block's capacity.
TEST(KeyBlock, EntriesEndAtTheCapacity) {
    for (size_t blockSize : {size_t{6}, size_t{20}, size_t{512}, size_t{1024}, size_t{4096}}) {
        for (size_t entrySize : {size_t{5}, size_t{6}, size_t{7}, size_t{14}, size_t{260}}) {
            Bytes block(blockSize, 0);
            const unsigned capacity = entrySize > 5 ? keyBlockCapacity(blockSize, entrySize) : 0;
            for (unsigned index = 0; index < 300; index++) {
                EXPECT_EQ(entryValue(block, entrySize, index).empty(), index >= capacity)
                    << blockSize << "/" << entrySize << "/" << index;
            }
            // A stated count is valid up to the capacity and not one beyond.
            if (blockSize < 6) continue;
            for (unsigned count = 0; count < 256; count++) {
                block[5] = static_cast<uint8_t>(count);
                EXPECT_EQ(entryCountValid(block, entrySize), count <= capacity)
                    << blockSize << "/" << entrySize << "/" << count;
            }
        }
    }
}

TEST(KeyBlock, SearchFindsTheFirstEntryNotBelow) {
    struct Case {
        const char* name;
        std::vector<Entry> entries;
        Bytes value;
        unsigned index;
        bool equal;
    };
    const std::vector<Entry> one = {{-1, v(1, 'm')}};
    const std::vector<Entry> two = {{-1, v(1, 'c')}, {-2, v(1, 'm')}};
    const std::vector<Case> cases = {
        {"below all", leaf(), v(1, '0'), 0, false},
        {"equal first", leaf(), v(1, 'a'), 0, true},
        {"between", leaf(), v(1, 'b'), 1, false},
        {"equal middle", leaf(), v(1, 'c'), 1, true},
        {"equal last real", leaf(), v(1, 'e'), 2, true},
        {"above every real entry: the end marker", leaf(), v(1, 'z'), 3, false},
        {"same bytes, shorter length byte", leaf(), v(0, 'c'), 1, false},
        {"same bytes, longer length byte", leaf(), v(2, 'c'), 2, false},
        {"end marker itself", leaf(), kEnd, 3, true},
        {"one entry, below", one, v(1, 'a'), 0, false},
        {"one entry, above", one, v(1, 'z'), 1, false},
        {"two entries, above both", two, v(1, 'z'), 2, false},
        {"two entries, between", two, v(1, 'd'), 1, false},
        {"two entries, below", two, v(1, 'a'), 0, false},
        {"empty block", {}, v(1, 'a'), 0, false},
    };
    for (const Case& c : cases) {
        const KeySearch r = searchKeyBlock(blockOf(c.entries), kEs, c.value);
        EXPECT_EQ(r.index, c.index) << c.name;
        EXPECT_EQ(r.equal, c.equal) << c.name;
    }
    Bytes corrupt = blockOf(leaf());
    corrupt[5] = 200;  // more entries than fit: nothing is read
    EXPECT_EQ(searchKeyBlock(corrupt, kEs, v(1, 'c')).index, 0u);
}

TEST(KeyBlock, SearchAgreesWithLowerBound) {
    std::mt19937 rng(99);
    const size_t blockSize = 6 + 255 * kEs;
    for (int round = 0; round < 2000; ++round) {
        const size_t n = std::uniform_int_distribution<size_t>(1, 255)(rng);
        std::vector<Bytes> values;
        while (values.size() < n) {
            Bytes x = v(static_cast<uint8_t>(std::uniform_int_distribution<int>(0, 3)(rng)),
                        static_cast<uint8_t>(std::uniform_int_distribution<int>(0, 20)(rng)),
                        static_cast<uint8_t>(std::uniform_int_distribution<int>(0, 20)(rng)));
            if (std::find(values.begin(), values.end(), x) == values.end()) values.push_back(x);
        }
        auto less = [](const Bytes& a, const Bytes& b) { return compareValues(a, b) < 0; };
        std::sort(values.begin(), values.end(), less);
        std::vector<Entry> entries;
        for (const Bytes& x : values)
            entries.push_back({-1, x});
        const Bytes block = blockOf(entries, blockSize);
        for (int probe = 0; probe < 20; ++probe) {
            const Bytes x = v(static_cast<uint8_t>(std::uniform_int_distribution<int>(0, 3)(rng)),
                              static_cast<uint8_t>(std::uniform_int_distribution<int>(0, 21)(rng)),
                              static_cast<uint8_t>(std::uniform_int_distribution<int>(0, 21)(rng)));
            const auto it = std::lower_bound(values.begin(), values.end(), x, less);
            const KeySearch r = searchKeyBlock(block, kEs, x);
            ASSERT_EQ(r.index, static_cast<unsigned>(it - values.begin())) << round;
            ASSERT_EQ(r.equal, it != values.end() && *it == x) << round;
        }
    }
}

TEST(KeyBlock, InsertShiftsEntriesUp) {
    struct Case {
        const char* name;
        unsigned index;
        std::vector<Entry> expected;
    };
    const Entry added = {-0x1FF, v(1, 'b')};
    const std::vector<Case> cases = {
        {"at the start", 0, {added, leaf()[0], leaf()[1], leaf()[2], leaf()[3]}},
        {"in the middle", 1, {leaf()[0], added, leaf()[1], leaf()[2], leaf()[3]}},
        {"at the end", 4, {leaf()[0], leaf()[1], leaf()[2], leaf()[3], added}},
    };
    for (const Case& c : cases) {
        Bytes b = blockOf(leaf());
        ASSERT_TRUE(insertEntry(b, kEs, c.index, added.pointer, added.value)) << c.name;
        EXPECT_EQ(b, blockOf(c.expected)) << c.name;
    }
    Bytes b = blockOf(leaf());
    EXPECT_FALSE(insertEntry(b, kEs, 5, 1, v(1, 'x')));      // beyond the count
    EXPECT_FALSE(insertEntry(b, kEs, 0, 1, Bytes{1, 'x'}));  // wrong value size
    EXPECT_EQ(b, blockOf(leaf()));
    ASSERT_TRUE(insertEntry(b, kEs, 0, 1, v(1, '0')));
    const Bytes full = b;
    EXPECT_FALSE(insertEntry(b, kEs, 0, 1, v(1, '1')));  // M = 5 reached
    EXPECT_EQ(b, full);
}

TEST(KeyBlock, DeleteShiftsDownAndZeroesTheFreedEntry) {
    struct Case {
        const char* name;
        unsigned index;
        std::vector<Entry> expected;
    };
    const std::vector<Case> cases = {
        {"first", 0, {leaf()[1], leaf()[2], leaf()[3]}},
        {"middle", 2, {leaf()[0], leaf()[1], leaf()[3]}},
        {"last", 3, {leaf()[0], leaf()[1], leaf()[2]}},
    };
    for (const Case& c : cases) {
        Bytes b = blockOf(leaf());
        ASSERT_TRUE(deleteEntry(b, kEs, c.index)) << c.name;
        EXPECT_EQ(b, blockOf(c.expected)) << c.name;  // blockOf leaves the tail zero
    }
    Bytes b = blockOf(leaf());
    EXPECT_FALSE(deleteEntry(b, kEs, 4));
    EXPECT_EQ(b, blockOf(leaf()));
}

// An insert or delete names every part of the block it changed, so that writing back only those
// parts loses nothing, and leaves out the parts of the entries before the one it edits.
TEST(KeyBlock, EditsNameThePartsTheyChange) {
    constexpr size_t kBlock = 4096;  // parts of 64 bytes
    constexpr size_t kEntry = 15;
    std::mt19937 rng(5);
    Bytes b(kBlock, 0);
    b[0] = kKeyBlockType;
    const unsigned capacity = keyBlockCapacity(kBlock, kEntry);
    for (int step = 0; step < 3000; ++step) {
        const unsigned n = entryCount(b);
        const bool insert = n == 0 || (n < capacity && rng() % 3 != 0);
        const unsigned index = static_cast<unsigned>(rng() % (insert ? n + 1 : n));
        Bytes value(kEntry - 4);
        for (uint8_t& x : value)
            x = static_cast<uint8_t>(rng());
        const Bytes before = b;
        BlockParts parts(kBlock);
        if (insert) {
            ASSERT_TRUE(insertEntry(b, kEntry, index, static_cast<int32_t>(step), value, &parts));
        } else {
            ASSERT_TRUE(deleteEntry(b, kEntry, index, &parts));
        }
        ASSERT_EQ(firstUnmarkedDifference(before, b, parts.bits()), kNoDifference) << step;
        const size_t firstTouched = (6 + index * kEntry) / 64;
        for (size_t part = 1; part < firstTouched; ++part)
            ASSERT_FALSE((parts.bits() >> part) & 1) << step << " part " << part;
    }
}

TEST(KeyBlock, SplitPlan) {
    struct Case {
        unsigned capacity, index;
        unsigned moved;
        bool intoNew;
        unsigned insertIndex;
    };
    const std::vector<Case> cases = {
        // M = 5: q = 2, s in 2..3.
        {5, 0, 2, true, 0},
        {5, 1, 2, true, 1},
        {5, 2, 2, false, 0},
        {5, 3, 3, false, 0},
        {5, 4, 3, false, 1},
        {5, 5, 3, false, 2},
        // M = 255: q = 64, s in 64..191; ascending inserts at the end move M - q.
        {255, 255, 191, false, 64},
        {255, 100, 100, false, 0},
        {255, 10, 64, true, 10},
        // M = 2: q = 1.
        {2, 0, 1, true, 0},
        {2, 2, 1, false, 1},
    };
    for (const Case& c : cases) {
        const SplitPlan p = planSplit(c.capacity, c.index);
        EXPECT_EQ(p.moved, c.moved) << c.capacity << "/" << c.index;
        EXPECT_EQ(p.intoNewBlock, c.intoNew) << c.capacity << "/" << c.index;
        EXPECT_EQ(p.insertIndex, c.insertIndex) << c.capacity << "/" << c.index;
    }
}

TEST(KeyBlock, SplitAndMerge) {
    std::vector<Entry> five = leaf();
    five.insert(five.begin(), Entry{-0x100, v(1, '0')});
    Bytes old = blockOf(five);
    Bytes fresh = blockOf({});
    ASSERT_TRUE(splitEntries(old, fresh, kEs, 2));
    EXPECT_EQ(fresh, blockOf({five[0], five[1]}));
    EXPECT_EQ(old, blockOf({five[2], five[3], five[4]}));

    Bytes notEmpty = blockOf({five[0]});
    Bytes source = blockOf(five);
    EXPECT_FALSE(splitEntries(source, notEmpty, kEs, 2));
    Bytes empty = blockOf({});
    EXPECT_FALSE(splitEntries(source, empty, kEs, 6));
    EXPECT_EQ(source, blockOf(five));

    // Merging the two halves back gives the original block.
    ASSERT_TRUE(appendEntries(fresh, old, kEs));
    EXPECT_EQ(fresh, blockOf(five));
    EXPECT_EQ(old, blockOf({five[2], five[3], five[4]}));  // the source is left alone
    Bytes tooMany = blockOf({five[0], five[1], five[2]});
    EXPECT_FALSE(appendEntries(tooMany, old, kEs));
    EXPECT_EQ(tooMany, blockOf({five[0], five[1], five[2]}));
}

}  // namespace
}  // namespace mdnio::common
