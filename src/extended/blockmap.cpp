#include "extended/blockmap.h"

#include <algorithm>

namespace mdnio::extended {

namespace {

// The place an entry names: its physical part, or the number itself while that is 0.
uint32_t placeOf(MapEntry entry, uint32_t logical) {
    return entry.physical != 0 ? entry.physical : logical;
}

// A place a block other than a map may lie at.
bool blockPlaceValid(const Geometry& g, uint32_t physical) {
    return physical >= 1 && physical <= g.blockLimit && !g.isMapPlace(physical);
}

// One past the last entry of `group` whose number lies within the block limit.
unsigned entryEnd(const Geometry& g, uint32_t group) {
    const uint64_t first = uint64_t{group} * g.entriesPerMap + 1;
    if (first > g.blockLimit) return 0;
    return static_cast<unsigned>(std::min<uint64_t>(g.entriesPerMap, g.blockLimit - first + 1));
}

void markChanged(std::span<uint8_t> directory, uint32_t group) {
    if (group < directory.size()) directory[group] |= kDirChanged;
}

}  // namespace

int entryPlace(const Geometry& g, uint16_t groupCount, uint32_t logical, EntryPlace& out) {
    if (logical < 1 || logical > g.blockLimit) return MDK_E_BADADDR;
    const uint32_t group = g.groupOf(logical);
    const unsigned index = g.entryOf(logical);
    if (group >= groupCount || group >= g.maxGroups || index < kFirstNonMapEntry)
        return MDK_E_BADADDR;
    out = {group, index};
    return 0;
}

uint32_t currentMapCopy(const Geometry& g, uint32_t group, uint8_t directoryByte) {
    return g.mapCopy(group, (directoryByte & kDirSecondCopy) != 0);
}

uint32_t otherMapCopy(const Geometry& g, uint32_t group, uint8_t directoryByte) {
    return g.mapCopy(group, (directoryByte & kDirSecondCopy) == 0);
}

int checkMapBlock(const Geometry& g, std::span<const uint8_t> map) {
    if (map.size() != g.blockSize || blockType(map) != kTypeMap) return MDK_E_BUFFER;
    return 0;
}

int locate(const Geometry& g, std::span<const uint8_t> map, const EntryPlace& place,
           uint32_t logical, Location& out) {
    const MapEntry entry = readMapEntry(map, place.index);
    const uint32_t physical = placeOf(entry, logical);
    if (!blockPlaceValid(g, physical)) return MDK_E_BUFFER;
    out = {physical, entry.physical == 0};
    return 0;
}

bool makeExplicit(std::span<uint8_t> map, std::span<uint8_t> directory, const EntryPlace& place,
                  uint32_t logical) {
    MapEntry entry = readMapEntry(map, place.index);
    if (entry.physical != 0) return false;
    entry.physical = logical;
    writeMapEntry(map, place.index, entry);
    markChanged(directory, place.group);
    return true;
}

void claimEntry(std::span<uint8_t> map, std::span<uint8_t> directory, const EntryPlace& place,
                uint32_t logical, uint8_t usage) {
    const MapEntry entry = readMapEntry(map, place.index);
    writeMapEntry(map, place.index, {usage, placeOf(entry, logical)});
    markChanged(directory, place.group);
}

// ---- usage bytes and fill classes ---------------------------------------------------------------

constexpr unsigned kMaxFillClass = 15;
constexpr unsigned kFullSlots = 254;

unsigned fillClass(size_t freeBytes, uint32_t blockSize) {
    const size_t usable = blockSize - kBlockHead;
    return static_cast<unsigned>(std::min<size_t>(kMaxFillClass, freeBytes * 16 / usable));
}

unsigned neededClass(size_t size, uint32_t blockSize) {
    const size_t usable = blockSize - kBlockHead;
    return static_cast<unsigned>(std::min<size_t>(kMaxFillClass + 1, (size + 2) * 16 / usable));
}

uint8_t dataUsage(size_t freeBytes, unsigned slots, uint32_t blockSize) {
    if (slots >= kFullSlots) return kUsageData;
    return static_cast<uint8_t>(kUsageData | fillClass(freeBytes, blockSize));
}

uint8_t usageOfBlock(std::span<const uint8_t> block) {
    if (block.size() <= kBlockHead + 2) return kUsageFree;
    switch (blockType(block)) {
        case kTypeData:
            return dataUsage(common::getBe16(block.data() + kBlockHead), blockCount(block),
                             static_cast<uint32_t>(block.size()));
        case kTypeDictionary:
        case kTypeKeyDescriptor:
        case kTypeKey:
            return blockType(block);
        default:
            return kUsageFree;
    }
}

// ---- copy-on-write ------------------------------------------------------------------------------

int exchange(const Geometry& g, std::span<uint8_t> directory, std::span<uint8_t> mapL,
             const EntryPlace& placeL, uint32_t logicalL, std::span<uint8_t> mapN,
             const EntryPlace& placeN, uint32_t logicalN, uint8_t usage, uint32_t& writeAt) {
    if (logicalL == logicalN) return MDK_E_BUFFER;
    // Both entries are read before either is written: they may share one map block.
    Location oldL, placeForL;
    if (int code = locate(g, mapL, placeL, logicalL, oldL)) return code;
    if (int code = locate(g, mapN, placeN, logicalN, placeForL)) return code;
    writeMapEntry(mapN, placeN.index, {kUsageFree, oldL.physical});
    writeMapEntry(mapL, placeL.index, {usage, placeForL.physical});
    markChanged(directory, placeL.group);
    markChanged(directory, placeN.group);
    writeAt = placeForL.physical;
    return 0;
}

void releaseEntry(std::span<uint8_t> map, std::span<uint8_t> directory, const EntryPlace& place,
                  uint32_t logical) {
    claimEntry(map, directory, place, logical, kUsageFree);
}

// ---- free numbers -------------------------------------------------------------------------------

bool reusable(const Geometry& g, std::span<const uint8_t> current,
              std::span<const uint8_t> committed, uint32_t group, unsigned index) {
    const MapEntry now = readMapEntry(current, index);
    if (now.usage != kUsageFree) return false;
    if (committed.empty()) return true;
    const MapEntry then = readMapEntry(committed, index);
    const uint32_t logical = g.numberAt(group, index);
    return then.usage == kUsageFree && placeOf(then, logical) == placeOf(now, logical);
}

unsigned findFreeEntry(const Geometry& g, std::span<const uint8_t> current,
                       std::span<const uint8_t> committed, uint32_t group, unsigned fromIndex) {
    const unsigned end = entryEnd(g, group);
    for (unsigned i = std::max(fromIndex, kFirstNonMapEntry); i < end; ++i)
        if (reusable(g, current, committed, group, i)) return i;
    return g.entriesPerMap;
}

void Cursor::rewindTo(uint32_t g, unsigned i) {
    if (g < group || (g == group && i < index)) {
        group = g;
        index = i;
    }
}

FreeNumber findFreeNumber(const Geometry& g, std::span<uint8_t> directory, Cursor& cursor,
                          const GroupFetch& fetch) {
    FreeNumber result;
    for (uint32_t group = cursor.group; group < directory.size(); ++group) {
        const unsigned from = group == cursor.group ? cursor.index : 0;
        if (!(directory[group] & kDirMayHaveFree)) continue;
        const GroupMaps maps = fetch(group);
        const unsigned index = findFreeEntry(g, maps.current, maps.committed, group, from);
        if (index < g.entriesPerMap) {
            cursor = {group, index + 1};
            result.number = g.numberAt(group, index);
            result.place = {group, index};
            return result;
        }
        directory[group] &= static_cast<uint8_t>(~kDirMayHaveFree);
        result.directoryChanged = true;
    }
    cursor = {static_cast<uint32_t>(directory.size()), 0};
    return result;
}

// ---- growing the map ----------------------------------------------------------------------------

int planGroupAppend(const Geometry& g, uint32_t highestBlock, uint16_t groupCount,
                    GroupAppend& out) {
    if (highestBlock < 1) return MDK_E_BUFFER;
    const uint32_t group = g.groupOf(highestBlock) + 1;
    if (group != groupCount) return MDK_E_BUFFER;
    if (group >= g.maxGroups) return MDK_E_FULL;
    if (uint64_t{group} * g.entriesPerMap + g.entriesPerMap > g.blockLimit) return MDK_E_FULL;
    out.group = group;
    out.firstCopy = g.mapCopy(group, false);
    out.secondCopy = g.mapCopy(group, true);
    out.highestBlock = out.secondCopy;
    return 0;
}

void initMapBlock(const Geometry& g, std::span<uint8_t> block, uint32_t group, uint32_t copy) {
    std::fill(block.begin(), block.end(), uint8_t{0});
    putBlockHead(block, kTypeMap, copy, 0);
    writeMapEntry(block, 0, {kUsageMap, g.mapCopy(group, false)});
    writeMapEntry(block, 1, {kUsageMap, g.mapCopy(group, true)});
}

// ---- the map commit -----------------------------------------------------------------------------

MapCommit planMapCommit(const Geometry& g, std::span<const uint8_t> map, uint32_t group,
                        uint8_t directoryByte) {
    bool anyFree = false;
    unsigned best = 0;
    const unsigned end = entryEnd(g, group);
    for (unsigned i = kFirstNonMapEntry; i < end; ++i) {
        const uint8_t usage = readMapEntry(map, i).usage;
        if (usage == kUsageFree) anyFree = true;
        if (usage > kUsageData && usage <= kUsageDataLast) best = std::max(best, usage & 0x0Fu);
    }
    MapCommit c;
    c.writeAt = otherMapCopy(g, group, directoryByte);
    const uint8_t kept =
        directoryByte &
        static_cast<uint8_t>(~(kDirSecondCopy | kDirMayHaveFree | kDirChanged | kDirFillMask));
    c.directoryByte =
        static_cast<uint8_t>(kept | ((directoryByte ^ kDirSecondCopy) & kDirSecondCopy) |
                             (anyFree ? kDirMayHaveFree : 0) | best);
    return c;
}

void retargetMapBlock(std::span<uint8_t> map, uint32_t physical) {
    common::putBe32(map.data() + 1, physical);
}

}  // namespace mdnio::extended
