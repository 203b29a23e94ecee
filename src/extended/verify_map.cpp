// Extended verifier, the map: both copies of every group's map block, the places the current
// copies name (a permutation of the file's places, none a map copy's, none past the highest
// block), each number in use against its block, and what is in use but reached from nowhere.
#include "extended/verify_context.h"

#include <algorithm>

#include "common/datablock.h"

namespace mdnio::extended::verify {

namespace {

std::string copyName(uint32_t group, bool second, uint32_t place) {
    return "map group " + std::to_string(group) + " copy " + (second ? "2" : "1") + " (place " +
           std::to_string(place) + ")";
}

std::string numberName(uint32_t logical) {
    return "number " + std::to_string(logical);
}

bool knownUsage(uint8_t usage) {
    return isDataUsage(usage) || usage == kUsageDictionary || usage == kUsageKeyDescriptor ||
           usage == kUsageKey;
}

// One past the last entry of `group` whose number lies within the block limit.
unsigned entriesOf(const Geometry& g, uint32_t group) {
    const uint64_t first = uint64_t{group} * g.entriesPerMap + 1;
    if (first > g.blockLimit) return 0;
    return static_cast<unsigned>(std::min<uint64_t>(g.entriesPerMap, g.blockLimit - first + 1));
}

}  // namespace

// Reads both copies of every group; the current one becomes the group's map for translation.
void Verifier::loadMaps() {
    maps_.assign(region_.groupCount(), Bytes{});
    for (uint32_t group = 0; group < region_.groupCount(); ++group) {
        const bool current = (region_.directory[group] & kDirSecondCopy) != 0;
        for (bool second : {false, true}) {
            const uint32_t place = geo_.mapCopy(group, second);
            std::string why;
            const Bytes* map = readPlace(place, why);
            if (!map) {
                problem(copyName(group, second, place) + ": " + why);
                continue;
            }
            checkMapCopy(group, second, *map);
            if (second == current && blockType(*map) == kTypeMap) maps_[group] = *map;
        }
    }
}

void Verifier::checkMapCopy(uint32_t group, bool second, const Bytes& map) {
    const uint32_t place = geo_.mapCopy(group, second);
    const std::string where = copyName(group, second, place);
    if (blockType(map) != kTypeMap) {
        problem(where + ": block type " + hex(blockType(map)) + " is not a map block (0xFC)");
        return;
    }
    if (blockNumber(map) != place) {
        problem(where + ": number " + std::to_string(blockNumber(map)) +
                " in its head differs from its place");
    }
    for (bool copy : {false, true}) {
        const MapEntry e = readMapEntry(map, copy ? 1 : 0);
        const uint32_t expected = geo_.mapCopy(group, copy);
        if (e.usage != kUsageMap || (e.physical != 0 && e.physical != expected)) {
            problem(where + ": entry " + (copy ? "1" : "0") + " (usage " + hex(e.usage) +
                    ", place " + std::to_string(e.physical) + ") does not name the map copy at " +
                    std::to_string(expected));
        }
    }
}

// Every entry of every current map copy: its place, and for a number in use its block.
void Verifier::checkEntries() {
    std::unordered_map<uint32_t, uint32_t> owners;  // place -> the number that names it
    for (uint32_t group = 0; group < maps_.size(); ++group) {
        for (bool second : {false, true})
            owners.emplace(geo_.mapCopy(group, second), geo_.mapCopy(group, second));
        if (maps_[group].empty()) continue;
        const unsigned end = entriesOf(geo_, group);
        for (unsigned i = kFirstNonMapEntry; i < end; ++i) {
            const uint32_t x = geo_.numberAt(group, i);
            const MapEntry e = readMapEntry(maps_[group], i);
            const uint32_t place = e.physical != 0 ? e.physical : x;
            const bool judged = e.usage != kUsageFree || e.physical != 0;
            if (judged && geo_.isMapPlace(place)) {
                problem(numberName(x) + ": its map entry names place " + std::to_string(place) +
                        ", a map copy's");
                continue;
            }
            if (judged && place > region_.highestBlock) {
                problem(numberName(x) + ": its map entry names place " + std::to_string(place) +
                        ", beyond the highest block " + std::to_string(region_.highestBlock));
                continue;
            }
            if (place <= region_.highestBlock) {
                const auto [at, fresh] = owners.emplace(place, x);
                if (!fresh) {
                    problem("map: numbers " + std::to_string(at->second) + " and " +
                            std::to_string(x) + " both name place " + std::to_string(place));
                }
            }
            if (e.usage != kUsageFree) {
                used_[x] = e.usage;
                checkUsage(x, {e.usage, place});
            }
        }
    }
}

// A number in use: its usage byte against its block's type, number and fill class.  `entry`
// carries the place the number's block lies at.
void Verifier::checkUsage(uint32_t logical, MapEntry entry) {
    const std::string where =
        numberName(logical) + " (place " + std::to_string(entry.physical) + ")";
    if (entry.usage == kUsageMap) {
        problem(where + ": usage 0xFC (a map copy) outside entries 0 and 1");
        return;
    }
    if (!knownUsage(entry.usage)) {
        problem(where + ": unknown usage byte " + hex(entry.usage));
        return;
    }
    std::string why;
    const Bytes* read = readPlace(entry.physical, why);
    if (!read) {
        problem(where + ": " + why);
        return;
    }
    const Bytes block = *read;
    const uint8_t type = blockType(block);
    if (isDataUsage(entry.usage) ? type != kTypeData : type != entry.usage) {
        problem(where + ": usage " + hex(entry.usage) + " but block type " + hex(type));
        return;
    }
    numberOk(block, logical, where);
    if (type != kTypeData || (enciphered_ && !options_.decipher)) return;
    checkDataBlock(logical, block);
    const uint8_t earned = usageOfBlock(block);
    if (earned != entry.usage) {
        problem(where + ": usage " + hex(entry.usage) + " but its " +
                std::to_string(common::freeBytes(block)) + " free bytes and " +
                std::to_string(blockCount(block)) + " slots give " + hex(earned));
    }
}

// The slots of a data block, and which of them hold first parts and which overflow parts.
void Verifier::checkDataBlock(uint32_t logical, const Bytes& block) {
    common::RecordShape shape;
    shape.kind = common::RecordShape::Kind::Data;
    shape.keyArea = static_cast<uint16_t>(limits_.keyArea);
    shape.trailer = kSerialSize;
    for (unsigned slot :
         common::verifying::checkSlottedBlock(block, logical, shape, 0, problems_)) {
        const size_t at = kBlockHead + common::slotPosition(block, slot);
        const uint32_t address = makeAddress(logical, slot);
        if (block[at] & kOverflowPart) {
            liveParts_.insert(address);
        } else {
            liveRecords_.insert(address);
        }
    }
}

// A number in use must be reached from the header (chains, key roots) or from what they reach;
// a number reached must be in use.
void Verifier::checkReach() {
    for (const auto& [logical, usage] : used_) {
        if (!reached_.count(logical)) {
            problem(numberName(logical) + ": in use (usage " + hex(usage) +
                    ") but nothing reaches it");
        }
    }
    std::vector<uint32_t> reached(reached_.begin(), reached_.end());
    std::sort(reached.begin(), reached.end());
    for (uint32_t logical : reached) {
        EntryPlace at;
        const bool mapped =
            entryPlace(geo_, region_.groupCount(), logical, at) == 0 && !maps_[at.group].empty();
        if (mapped && !used_.count(logical)) {
            problem(numberName(logical) + ": reached from the file but its map entry says free");
        }
    }
}

}  // namespace mdnio::extended::verify
