// The block map over map blocks laid out by hand: translation through the current copy, the
// copy-on-write exchange, free numbers, new groups and the map commit.
#include "extended/blockmap.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <vector>

#include "extended/testing.h"

using namespace mdnio;
using namespace mdnio::extended;
using namespace mdnio::extended::test;

namespace {

// Where logical number x lies, read through the image's directory and current copies.
int translate(FileImage& f, uint32_t logical, Location& out) {
    EntryPlace place;
    if (int code = entryPlace(f.geo, f.region.groupCount(), logical, place)) return code;
    const std::span<uint8_t> map =
        f.place(currentMapCopy(f.geo, place.group, f.region.directory[place.group]));
    if (int code = checkMapBlock(f.geo, map)) return code;
    return locate(f.geo, map, place, logical, out);
}

uint32_t physicalOf(FileImage& f, uint32_t logical) {
    Location at;
    EXPECT_EQ(translate(f, logical, at), 0) << logical;
    return at.physical;
}

// Every live number's place, resolved: the permutation the map holds.
std::map<uint32_t, uint32_t> placesOf(FileImage& f) {
    std::map<uint32_t, uint32_t> places;
    for (uint32_t group = 0; group < f.region.groupCount(); ++group)
        for (unsigned i = kFirstNonMapEntry; i < f.geo.entriesPerMap; ++i) {
            const uint32_t x = f.geo.numberAt(group, i);
            places[x] = physicalOf(f, x);
        }
    return places;
}

TEST(BlockMap, UnassignedEntriesReadAsTheNumberItself) {
    FileImage f;
    Location at;
    ASSERT_EQ(translate(f, 5, at), 0);
    EXPECT_EQ(at.physical, 5u);
    EXPECT_TRUE(at.implicit);
    f.setEntry(6, kUsageKey, 40);
    ASSERT_EQ(translate(f, 6, at), 0);
    EXPECT_EQ(at.physical, 40u);
    EXPECT_FALSE(at.implicit);
}

TEST(BlockMap, MakingAnEntryExplicitKeepsALiveBlocksUsage) {
    FileImage f;
    f.setEntry(5, kUsageKey, 0);
    f.setEntry(6, 0x87, 0);
    for (uint32_t x : {5u, 6u, 7u}) {
        const MapEntry before = f.entry(x);
        EntryPlace place;
        ASSERT_EQ(entryPlace(f.geo, 1, x, place), 0);
        f.region.directory[0] = kDirMayHaveFree;
        EXPECT_TRUE(makeExplicit(f.currentMap(0), f.region.directory, place, x));
        EXPECT_EQ(f.entry(x), (MapEntry{before.usage, x})) << x;
        EXPECT_EQ(f.region.directory[0], kDirMayHaveFree | kDirChanged);
        EXPECT_FALSE(makeExplicit(f.currentMap(0), f.region.directory, place, x));
    }
    // The key block at 5 and the data block at 6 are not free numbers afterwards.
    EXPECT_FALSE(reusable(f.geo, f.currentMap(0), {}, 0, f.geo.entryOf(5)));
    EXPECT_FALSE(reusable(f.geo, f.currentMap(0), {}, 0, f.geo.entryOf(6)));
    EXPECT_TRUE(reusable(f.geo, f.currentMap(0), {}, 0, f.geo.entryOf(7)));
}

TEST(BlockMap, CurrentCopiesAlternateBetweenThePlaces) {
    // Group 0 current at its first copy, group 1 at its second, group 2 at its first; the other
    // copies hold stale entries that must not be read.
    ImageSpec spec;
    spec.groups = 3;
    FileImage f(spec);
    const Geometry& g = f.geo;
    f.region.directory = {kDirMayHaveFree, kDirSecondCopy, 0};
    const uint32_t x0 = g.numberAt(0, 10), x1 = g.numberAt(1, 10), x2 = g.numberAt(2, 10);
    f.setEntry(x0, kUsageKey, g.numberAt(2, 20));
    f.setEntry(x1, kUsageKey, g.numberAt(2, 21));
    f.setEntry(x2, kUsageKey, g.numberAt(0, 22));
    writeMapEntry(f.mapCopy(0, true), 10, {kUsageKey, 999});
    writeMapEntry(f.mapCopy(1, false), 10, {kUsageKey, 998});
    writeMapEntry(f.mapCopy(2, true), 10, {kUsageKey, 997});
    EXPECT_EQ(currentMapCopy(g, 1, kDirSecondCopy), g.numberAt(1, 1));
    EXPECT_EQ(otherMapCopy(g, 1, kDirSecondCopy), g.numberAt(1, 0));

    EXPECT_EQ(physicalOf(f, x0), g.numberAt(2, 20));
    EXPECT_EQ(physicalOf(f, x1), g.numberAt(2, 21));
    EXPECT_EQ(physicalOf(f, x2), g.numberAt(0, 22));
    // Flipping group 1's bit reads the other copy.
    f.region.directory[1] = 0;
    EXPECT_EQ(physicalOf(f, x1), 998u);
}

TEST(BlockMap, NumbersTheMapCannotHold) {
    ImageSpec spec;
    spec.groups = 2;
    FileImage f(spec);
    const Geometry& g = f.geo;
    f.setEntry(g.numberAt(0, 5), kUsageKey, g.mapCopy(1, true));  // would overwrite a map
    f.setEntry(g.numberAt(0, 6), kUsageKey, g.blockLimit + 1);
    f.setEntry(g.numberAt(0, 7), kUsageKey,
               g.blockLimit - 1);  // the limit itself is a map place here
    struct Case {
        uint32_t logical;
        int code;
    };
    const std::vector<Case> cases = {
        {0, MDK_E_BADADDR},
        {1, MDK_E_BADADDR},  // group 0's first map copy
        {2, MDK_E_BADADDR},
        {3, 0},
        {g.numberAt(1, 1), MDK_E_BADADDR},
        {g.numberAt(1, 2), 0},
        {g.numberAt(2, 2), MDK_E_BADADDR},  // beyond the directory
        {g.numberAt(0, 5), MDK_E_BUFFER},
        {g.numberAt(0, 6), MDK_E_BUFFER},
        {g.numberAt(0, 7), 0},
        {g.blockLimit + 1, MDK_E_BADADDR},
    };
    for (const Case& c : cases) {
        Location at;
        EXPECT_EQ(translate(f, c.logical, at), c.code) << c.logical;
    }
    // A map copy whose type is not 0xFC.
    f.currentMap(0)[0] = kTypeKey;
    Location at;
    EXPECT_EQ(translate(f, 3, at), MDK_E_BUFFER);
}

TEST(BlockMap, ExchangeMovesABlockAndKeepsThePermutation) {
    ImageSpec spec;
    spec.groups = 2;
    FileImage f(spec);
    const Geometry& g = f.geo;
    const uint32_t L = g.numberAt(0, 4), N = g.numberAt(1, 7), M = g.numberAt(0, 9);
    f.setEntry(L, kUsageKey, g.numberAt(1, 3));   // L lives at another number's place ...
    f.setEntry(g.numberAt(1, 3), kUsageFree, L);  // ... which lives at L's
    f.setEntry(M, kUsageKey, 0);
    const std::map<uint32_t, uint32_t> before = placesOf(f);

    struct Move {
        uint32_t logical, free;
    };
    for (const Move& m : {Move{L, N}, Move{M, g.numberAt(0, 12)}, Move{L, g.numberAt(0, 13)}}) {
        const uint32_t oldPlace = physicalOf(f, m.logical);
        const uint32_t freePlace = physicalOf(f, m.free);
        EntryPlace pl, pn;
        ASSERT_EQ(entryPlace(g, 2, m.logical, pl), 0);
        ASSERT_EQ(entryPlace(g, 2, m.free, pn), 0);
        f.region.directory = {0, 0};
        uint32_t writeAt = 0;
        ASSERT_EQ(exchange(g, f.region.directory, f.currentMap(pl.group), pl, m.logical,
                           f.currentMap(pn.group), pn, m.free, 0x8A, writeAt),
                  0);
        EXPECT_EQ(writeAt, freePlace);
        EXPECT_NE(writeAt, oldPlace) << "a changed block never overwrites the place it came from";
        EXPECT_EQ(f.entry(m.logical), (MapEntry{0x8A, freePlace}));
        EXPECT_EQ(f.entry(m.free), (MapEntry{kUsageFree, oldPlace}));
        EXPECT_TRUE(f.region.directory[pl.group] & kDirChanged);
        EXPECT_TRUE(f.region.directory[pn.group] & kDirChanged);
    }
    // The same places, each held by exactly one number.
    const std::map<uint32_t, uint32_t> after = placesOf(f);
    std::multiset<uint32_t> placesBefore, placesAfter;
    for (const auto& [x, p] : before)
        placesBefore.insert(p);
    for (const auto& [x, p] : after)
        placesAfter.insert(p);
    EXPECT_EQ(placesBefore, placesAfter);
    EXPECT_EQ(std::set<uint32_t>(placesAfter.begin(), placesAfter.end()).size(), after.size());

    // A number cannot take its own place, and a map place is never exchanged.
    EntryPlace pl;
    entryPlace(g, 2, L, pl);
    uint32_t writeAt = 0;
    const MapEntry kept = f.entry(L);
    EXPECT_EQ(exchange(g, f.region.directory, f.currentMap(0), pl, L, f.currentMap(0), pl, L, 0x80,
                       writeAt),
              MDK_E_BUFFER);
    f.setEntry(N, kUsageFree, g.mapCopy(0, false));
    EntryPlace pn;
    entryPlace(g, 2, N, pn);
    EXPECT_EQ(exchange(g, f.region.directory, f.currentMap(0), pl, L, f.currentMap(1), pn, N, 0x80,
                       writeAt),
              MDK_E_BUFFER);
    EXPECT_EQ(f.entry(L), kept);
}

TEST(BlockMap, FillClassesAtTheirBoundaries) {
    const uint32_t bs = 4096;  // 4090 usable bytes: a class every 255.625 bytes
    struct Case {
        size_t freeBytes;
        unsigned cls;
    };
    const std::vector<Case> cases = {
        {0, 0},
        {255, 0},
        {256, 1},
        {511, 1},
        {512, 2},
        {3834, 14},
        {3835, 15},
        {4088, 15},
        {4090, 15},  // a corrupt count never reaches past the
                     // nibble
        {60000, 15},
    };
    for (const Case& c : cases)
        EXPECT_EQ(fillClass(c.freeBytes, bs), c.cls) << c.freeBytes;

    EXPECT_EQ(dataUsage(4088, 0, bs), 0x8F);
    EXPECT_EQ(dataUsage(4088, 253, bs), 0x8F);
    EXPECT_EQ(dataUsage(4088, 254, bs), 0x80);  // no slot to spare: reads as full
    EXPECT_EQ(dataUsage(100, 3, bs), 0x80);

    EXPECT_EQ(neededClass(253, bs), 0u);  // (253 + 2) * 16 < 4090
    EXPECT_EQ(neededClass(254, bs), 1u);
    EXPECT_EQ(neededClass(3576, bs), 13u);
    EXPECT_EQ(neededClass(3577, bs), 14u);

    std::vector<uint8_t> block(bs, 0);
    common::initSlottedBlock(block, kTypeData, 9);
    EXPECT_EQ(usageOfBlock(block), 0x8F);
    block[0] = kTypeKey;
    EXPECT_EQ(usageOfBlock(block), kUsageKey);
    block[0] = kTypeReleased;
    EXPECT_EQ(usageOfBlock(block), kUsageFree);
}

TEST(BlockMap, FreeNumbersSkipPlacesTheCommittedMapStillUses) {
    ImageSpec spec;
    spec.groups = 2;
    FileImage f(spec);
    const Geometry& g = f.geo;
    for (unsigned i = 2; i < g.entriesPerMap; ++i)
        f.setEntry(g.numberAt(0, i), kUsageKey, 0);
    f.setEntry(g.numberAt(0, 50), kUsageFree, 0);
    f.setEntry(g.numberAt(0, 70), kUsageFree, 0);
    const std::vector<uint8_t> committed(f.currentMap(0).begin(), f.currentMap(0).end());

    // The number at entry 50 takes a moved block's old place: no longer free to hand out.
    const uint32_t L = g.numberAt(0, 10), N = g.numberAt(0, 50);
    EntryPlace pl{0, 10}, pn{0, 50};
    uint32_t writeAt = 0;
    ASSERT_EQ(exchange(g, f.region.directory, f.currentMap(0), pl, L, f.currentMap(0), pn, N,
                       kUsageKey, writeAt),
              0);
    // A released number keeps its committed place.
    EntryPlace released{0, 60};
    releaseEntry(f.currentMap(0), f.region.directory, released, g.numberAt(0, 60));
    // A number that was free at the commit and is untouched, though made explicit since.
    f.setEntry(g.numberAt(0, 70), kUsageFree, g.numberAt(0, 70));

    EXPECT_FALSE(reusable(g, f.currentMap(0), committed, 0, 50));
    EXPECT_FALSE(reusable(g, f.currentMap(0), committed, 0, 60));
    EXPECT_TRUE(reusable(g, f.currentMap(0), committed, 0, 70));
    EXPECT_EQ(findFreeEntry(g, f.currentMap(0), committed, 0, 0), 70u);
    // Without changes since the commit the current map stands for it.
    EXPECT_EQ(findFreeEntry(g, f.currentMap(0), {}, 0, 0), 50u);
}

TEST(BlockMap, FreeNumberSearchFollowsTheDirectoryHints) {
    ImageSpec spec;
    spec.groups = 3;
    FileImage f(spec);
    const Geometry& g = f.geo;
    for (uint32_t group = 0; group < 3; ++group)
        for (unsigned i = 2; i < g.entriesPerMap; ++i)
            f.setEntry(g.numberAt(group, i), kUsageKey, 0);
    f.setEntry(g.numberAt(1, 30), kUsageFree, 0);  // free, but group 1 says it has none
    f.setEntry(g.numberAt(2, 40), kUsageFree, 0);
    f.setEntry(g.numberAt(2, 41), kUsageFree, 0);
    f.region.directory = {kDirMayHaveFree, 0, kDirMayHaveFree};

    std::vector<uint32_t> fetched;
    GroupFetch fetch = [&](uint32_t group) {
        fetched.push_back(group);
        return GroupMaps{f.currentMap(group), {}};
    };
    Cursor cursor;
    FreeNumber n = findFreeNumber(g, f.region.directory, cursor, fetch);
    EXPECT_EQ(n.number, g.numberAt(2, 40));
    EXPECT_EQ(fetched, (std::vector<uint32_t>{0, 2})) << "group 1 is passed over unread";
    EXPECT_TRUE(n.directoryChanged);
    EXPECT_EQ(f.region.directory[0], 0) << "group 0 searched in vain";
    EXPECT_EQ(f.region.directory[2], kDirMayHaveFree);

    // The search resumes after the number it handed out.
    n = findFreeNumber(g, f.region.directory, cursor, fetch);
    EXPECT_EQ(n.number, g.numberAt(2, 41));
    n = findFreeNumber(g, f.region.directory, cursor, fetch);
    EXPECT_EQ(n.number, 0u) << "every group exhausted: a group must be appended";
    EXPECT_EQ(cursor.group, 3u);

    // A number released behind the cursor is found again once the cursor is rewound to it.
    f.setEntry(g.numberAt(2, 40), kUsageFree, 0);
    f.region.directory[2] |= kDirMayHaveFree;
    cursor.rewindTo(2, 40);
    cursor.rewindTo(2, 45);  // a later change does not move it forward again
    n = findFreeNumber(g, f.region.directory, cursor, fetch);
    EXPECT_EQ(n.number, g.numberAt(2, 40));
}

TEST(BlockMap, NumbersBeyondTheBlockLimitAreNeverHandedOut) {
    // 256 KiB blocks in a file below 2 GB: group 0 has 65534 entries, the file 8191 blocks.
    ImageSpec spec;
    spec.blockCode = 255;
    FileImage f(spec);
    const Geometry& g = f.geo;
    ASSERT_EQ(g.blockLimit, 8191u);
    std::vector<uint8_t> map(g.blockSize);
    initMapBlock(g, map, 0, 1);
    for (unsigned i = 2; i < 8191; ++i)
        writeMapEntry(map, i, {kUsageKey, 0});
    EXPECT_EQ(findFreeEntry(g, map, {}, 0, 0), g.entriesPerMap);
    writeMapEntry(map, 8190, {kUsageFree, 0});
    EXPECT_EQ(findFreeEntry(g, map, {}, 0, 0), 8190u);  // number 8191, the last one
    EXPECT_TRUE(planMapCommit(g, map, 0, 0).directoryByte & kDirMayHaveFree);
    // The zero entries past the limit do not make the group look as if it had free numbers.
    writeMapEntry(map, 8190, {kUsageKey, 0});
    EXPECT_FALSE(planMapCommit(g, map, 0, 0).directoryByte & kDirMayHaveFree);
}

TEST(BlockMap, AppendingAGroup) {
    FileImage f;
    const Geometry& g = f.geo;
    GroupAppend a;
    // The highest block anywhere in group 0 gives group 1.
    for (uint32_t highest : {2u, 500u, g.entriesPerMap}) {
        ASSERT_EQ(planGroupAppend(g, highest, 1, a), 0) << highest;
        EXPECT_EQ(a.group, 1u);
        EXPECT_EQ(a.firstCopy, g.entriesPerMap + 1);
        EXPECT_EQ(a.secondCopy, g.entriesPerMap + 2);
        EXPECT_EQ(a.highestBlock, g.entriesPerMap + 2);
    }
    // A highest block outside the directory's last group contradicts the map.
    EXPECT_EQ(planGroupAppend(g, g.entriesPerMap + 1, 1, a), MDK_E_BUFFER);
    EXPECT_EQ(planGroupAppend(g, 500, 2, a), MDK_E_BUFFER);

    // The new copies point at themselves, and the first number handed out is entry 2.
    std::vector<uint8_t> block(g.blockSize, 0xEE);
    initMapBlock(g, block, 1, a.secondCopy);
    EXPECT_EQ(blockType(block), kTypeMap);
    EXPECT_EQ(blockNumber(block), a.secondCopy);
    EXPECT_EQ(blockCount(block), 0);
    EXPECT_EQ(readMapEntry(block, 0), (MapEntry{kUsageMap, a.firstCopy}));
    EXPECT_EQ(readMapEntry(block, 1), (MapEntry{kUsageMap, a.secondCopy}));
    for (size_t at = mapEntryOffset(2); at < block.size(); ++at)
        ASSERT_EQ(block[at], 0) << at;
    EXPECT_EQ(g.numberAt(1, findFreeEntry(g, block, {}, 1, 0)), g.entriesPerMap + 3);

    // The last group the block limit allows, and none after it.
    const uint32_t lastGroup = g.blockLimit / g.entriesPerMap - 1;
    EXPECT_EQ(planGroupAppend(g, g.numberAt(lastGroup - 1, 5), lastGroup, a), 0);
    EXPECT_EQ(planGroupAppend(g, g.numberAt(lastGroup, 5), lastGroup + 1, a), MDK_E_FULL);
}

TEST(BlockMap, MapCommitWritesTheOtherCopy) {
    FileImage f;
    const Geometry& g = f.geo;
    for (unsigned i = 2; i < g.entriesPerMap; ++i)
        f.setEntry(g.numberAt(0, i), kUsageKey, 0);
    f.setEntry(g.numberAt(0, 8), 0x83, 0);
    f.setEntry(g.numberAt(0, 9), 0x8B, 0);
    f.setEntry(g.numberAt(0, 10), 0x80, 0);

    struct Case {
        uint8_t before;
        uint32_t writeAt;
        uint8_t after;
    };
    const std::vector<Case> cases = {
        {kDirChanged | kDirMayHaveFree | 0x02, 2, kDirSecondCopy | 0x0B},
        {kDirSecondCopy | kDirChanged | 0x0F, 1, 0x0B},
        {kDirSecondCopy | kDirChanged | 0x10, 1, 0x10 | 0x0B},  // an unnamed bit is carried
    };
    for (const Case& c : cases) {
        const MapCommit commit = planMapCommit(g, f.currentMap(0), 0, c.before);
        EXPECT_EQ(commit.writeAt, c.writeAt);
        EXPECT_EQ(commit.directoryByte, c.after) << int{c.before};
    }
    // A free entry sets the hint again.
    f.setEntry(g.numberAt(0, 500), kUsageFree, 77);
    EXPECT_EQ(planMapCommit(g, f.currentMap(0), 0, 0).directoryByte,
              kDirSecondCopy | kDirMayHaveFree | 0x0B);

    std::vector<uint8_t> block(f.currentMap(0).begin(), f.currentMap(0).end());
    retargetMapBlock(block, 2);
    EXPECT_EQ(blockNumber(block), 2u);
    EXPECT_TRUE(std::equal(block.begin() + 5, block.end(), f.currentMap(0).begin() + 5));
}

}  // namespace
