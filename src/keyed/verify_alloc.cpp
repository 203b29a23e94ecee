// Classic verifier, allocation and maps: in block mode every block against its allocation map and
// the data blocks' slots; in slot mode the deleted-slot and free-block chains and the overlaps.
#include "keyed/verify_context.h"

namespace mdnio::keyed::verify {

void Verifier::checkDataBlock(const Bytes& block, uint32_t address) {
    common::RecordShape shape;
    shape.keyArea = static_cast<uint16_t>(h_.keyArea);
    for (unsigned s : checkSlottedBlock(block, address, shape, h_.slotSize, problems_)) {
        liveSlots_.insert(address + s);
    }
}

void Verifier::checkGroupHints() {
    checkGroupHint(get32(h_.raw.data(), kOffDeletedOrDataGroup), "data-block group hint (24)");
    const uint32_t free = get32(h_.raw.data(), kOffFreeOrAllocGroup);
    checkGroupHint(free, "free-block group hint (28)");
    // Unlike the data-block group, the free-block group is always one a free block was found
    // in: past the end of file, it would make the next allocation start a new segment.
    std::string why;
    if (free != 0 && !placeBlock(free, why)) {
        problem("header: free-block group hint (28) " + hex(free) + ": " + why);
    }
}

void Verifier::checkGroupHint(uint32_t hint, const std::string& what) {
    if (hint == 0) return;
    const uint32_t seg = segmentOf(hint, h_.blockSize);
    const int64_t off = offsetInSegment(hint, h_.blockSize);
    const uint64_t group = uint64_t{h_.mapSpan} * h_.blockSize;
    if (hint < kFirstBlock || hint > 0x7FFFFFFFu || (hint & 0xFF) != 0 || seg > h_.segments ||
        (off - kFirstBlock) % group != 0) {
        problem("header: " + what + " " + hex(hint) + " is not the address of a map group");
    }
}

bool Verifier::mapAgrees(uint8_t mapByte, uint8_t type) {
    switch (type) {
        case kTypeFree:
            return mapByte == 0;
        case kTypeData:
            return mapByte == kTypeData || mapByte == kMapDataFull;
        case kTypeDict:
        case kTypeMap:
        case kTypeKey:
            return mapByte == type;
        default:
            return false;
    }
}

void Verifier::censusSegment(unsigned s) {
    const int64_t extent = extents_[s];
    if (extent <= kFirstBlock) return;
    const uint64_t blocks = static_cast<uint64_t>(extent - kFirstBlock) / h_.blockSize;
    for (uint64_t first = 0; first < blocks; first += h_.mapSpan) {
        censusGroup(s, first, std::min<uint64_t>(blocks, first + h_.mapSpan));
    }
}

uint32_t Verifier::addressOf(unsigned s, uint64_t index) const {
    return static_cast<uint32_t>(kFirstBlock + index * h_.blockSize + 256u * s);
}

// The group of blocks first..end-1 (end exclusive, inside the segment) and its map.
void Verifier::censusGroup(unsigned s, uint64_t first, uint64_t end) {
    const uint32_t mapAddress = addressOf(s, first);
    std::string why;
    const Bytes* mapBlock = readBlock(mapAddress, why);
    Bytes map;
    if (!mapBlock) {
        problem("allocation map " + blockName(mapAddress) + ": " + why);
    } else if ((*mapBlock)[0] != kTypeMap) {
        problem("allocation map " + blockName(mapAddress) + ": block type " + hex((*mapBlock)[0]) +
                " is not a map (0xFC)");
    } else if (selfAddressOk(*mapBlock, mapAddress, "allocation map " + blockName(mapAddress))) {
        map = *mapBlock;
    }
    for (uint64_t i = first; i < end; ++i) {
        const uint32_t address = addressOf(s, i);
        const Bytes* block = i == first ? mapBlock : readBlock(address, why);
        if (!block) {
            if (i != first) problem(blockName(address) + ": " + why);
            continue;
        }
        const uint8_t type = (*block)[0];
        if (i != first) censusBlock(*block, address);
        if (map.empty()) continue;
        const uint8_t mapByte = map[6 + (i - first)];
        if (i == first ? mapByte != kTypeMap : !mapAgrees(mapByte, type)) {
            problem(blockName(address) + ": map byte " + hex(mapByte) +
                    " disagrees with block type " + hex(type));
        }
    }
    for (uint64_t i = end; !map.empty() && i < first + h_.mapSpan; ++i) {
        const uint8_t mapByte = map[6 + (i - first)];
        if (mapByte != 0) {
            problem("allocation map " + blockName(mapAddress) + ": map byte " + hex(mapByte) +
                    " for block " + hex(addressOf(s, i)) + " beyond the end of file is not 0");
        }
    }
}

void Verifier::censusBlock(const Bytes& block, uint32_t address) {
    const uint8_t type = block[0];
    switch (type) {
        case kTypeFree:
            return;
        case kTypeMap:
            problem(blockName(address) + ": block type 0xFC outside the start of a map group");
            break;
        case kTypeData:
            if (selfAddressOk(block, address, blockName(address)) && blocksReadable_) {
                checkDataBlock(block, address);
            }
            return;
        case kTypeDict:
            if (selfAddressOk(block, address, blockName(address))) {
                checkDictionaryBlock(block, address);
            }
            return;
        case kTypeKey:
            // Checked in full when its tree reaches it; a key block no tree reaches is a leak.
            keyBlocksInFile_.insert(address);
            return;
        default:
            problem(blockName(address) + ": unknown block type " + hex(type));
            return;
    }
}

void Verifier::checkDeletedChain() {
    int64_t at = get32(h_.raw.data(), kOffDeletedOrDataGroup);
    std::unordered_set<int64_t> seen;
    while (at != 0) {
        const std::string where = "deleted-slot chain: slot " + hex(static_cast<uint64_t>(at));
        std::string why;
        if (at < 0 || at > 0x7FFFFFFF || !slotPosition(static_cast<uint32_t>(at), why)) {
            problem(where + ": " + (why.empty() ? "not a slot address" : why));
            return;
        }
        if (!seen.insert(at).second) {
            problem(where + " reached twice (a cycle)");
            return;
        }
        std::array<uint8_t, 5> head{};
        if (!files_.get(0)->read(at, head)) {
            problem(where + ": cannot be read");
            return;
        }
        if (head[0] != kDeletedSlot) {
            problem(where + ": first byte " + hex(head[0]) + " is not 0xFF");
            return;
        }
        const int32_t link = static_cast<int32_t>(getBe32(&head[1]));
        addExtent(static_cast<uint32_t>(at), h_.slotSize, "deleted slot " + hex(at));
        if (link > 0) {
            problem(where + ": link " + std::to_string(link) + " is positive");
            return;
        }
        at = -int64_t{link};
    }
}

void Verifier::checkFreeChain() {
    uint32_t at = get32(h_.raw.data(), kOffFreeOrAllocGroup);
    std::unordered_set<uint32_t> seen;
    while (at != 0) {
        const std::string where = "free-block chain: " + blockName(at);
        if (!seen.insert(at).second) {
            problem(where + " reached twice (a cycle)");
            return;
        }
        std::string why;
        const Bytes* block = readBlock(at, why);
        if (!block) {
            problem(where + ": " + why);
            return;
        }
        if ((*block)[0] != kTypeFree) {
            problem(where + ": block type " + hex((*block)[0]) + " is not free (0)");
            return;
        }
        selfAddressOk(*block, at, where);
        addExtent(at, h_.blockSize, "free " + blockName(at));
        at = getBe32(&(*block)[6]);
    }
}

// Slot mode keeps blocks and record slots in one file: none may overlap another.
void Verifier::checkOverlaps() {
    std::sort(extents_slot_.begin(), extents_slot_.end(),
              [](const Extent& a, const Extent& b) { return a.start < b.start; });
    for (size_t i = 1; i < extents_slot_.size(); ++i) {
        const Extent& a = extents_slot_[i - 1];
        const Extent& b = extents_slot_[i];
        if (a.end > b.start) problem(a.what + ": overlaps " + b.what);
    }
}

}  // namespace mdnio::keyed::verify
