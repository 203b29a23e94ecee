// Allocating and freeing blocks: allocation maps and segment files in block mode, the free-block
// chain in slot mode.
#include <cstring>

#include "keyed/keyed.h"

namespace mdnio::keyed {

namespace {

// Position of a block's byte in its allocation map.
struct MapPlace {
    uint32_t map;   // address of the map block
    uint32_t byte;  // offset of the block's byte in the map block
};

MapPlace mapPlace(const KeyedShared* s, uint32_t address) {
    uint32_t segment = segmentOf(address, s->blockSize);
    int64_t n = (offsetInSegment(address, s->blockSize) - kFirstBlock) / s->blockSize;
    int64_t mapIndex = n / s->mapSpan * s->mapSpan;
    return {addressIn(segment, kFirstBlock + mapIndex * s->blockSize),
            6 + static_cast<uint32_t>(n % s->mapSpan)};
}

// Order of block addresses across segments.
uint32_t orderKey(uint32_t address, uint32_t blockSize) {
    return (segmentOf(address, blockSize) << 24) | ((address - kFirstBlock) >> 8);
}

void createSegment(KeyedFile* f, uint32_t segment) {
    KeyedShared* s = f->sh();
    uint8_t head[kFirstBlock];
    platform::IoResult r = platform::readAt(s->fd, head, sizeof head, 0);
    if (r.status != platform::IoStatus::Ok || r.count != kFirstBlock) raiseError(f, MDK_E_READ);
    std::memcpy(head, s->header, kHeaderSize);  // the header as this period has it
    std::memcpy(head + 4, "seg", 3);
    std::string path = store::segmentPath(s->fileName, segment);
    if (s->segmentFd[segment] > 0) platform::closeFile(s->segmentFd[segment]);
    s->segmentFd[segment] = 0;
    int fd = platform::createFile(path.c_str());
    // A segment file that a transaction rolled back (or a period undone) began: nothing names
    // it, and it is made anew.
    if (fd < 0 && store::removeLeftoverSegment(s->fileName, segment))
        fd = platform::createFile(path.c_str());
    if (fd < 0) raiseError(f, MDK_E_SEGMENT);
    if (f->env->syncWrites && !platform::syncDirectoryOf(path.c_str())) {
        platform::closeFile(fd);
        raiseError(f, MDK_E_SEGMENT);
    }
    platform::IoResult w = platform::writeAt(fd, head, sizeof head, 0);
    if (w.status != platform::IoStatus::Ok || w.count != kFirstBlock) {
        platform::closeFile(fd);
        raiseError(f, MDK_E_FULL);
    }
    s->segmentFd[segment] = fd;
}

// The first map group of the segment after the one `group` lies in, creating its file when it
// does not exist yet.
uint32_t nextSegment(KeyedFile* f, uint32_t group) {
    KeyedShared* s = f->sh();
    uint32_t next = segmentOf(group, s->blockSize) + 1;
    if (next * 256 >= s->blockSize || next >= static_cast<uint32_t>(kMaxSegments))
        raiseError(f, MDK_E_FULL);
    if (next > s->header[kOffSegments]) {
        createSegment(f, next);
        // The base file stops growing here; later segments are cut at the same size.
        s->header[kOffSegments] = static_cast<uint8_t>(next);
        put32(s->header, kOffEof, addressIn(next, kFirstBlock));
        headerChanged(f);
    }
    return addressIn(next, kFirstBlock);
}

uint8_t* mapBlock(KeyedFile* f, uint32_t group) {
    KeyedShared* s = f->sh();
    if (group == get32(s->header, kOffEof)) {
        uint8_t* map = fetchBlock(f, group, kTypeFree);  // appended
        map[0] = kTypeMap;
        map[6] = kTypeMap;  // the map's own byte
        markDirty(f, map);
        return map;
    }
    return fetchBlock(f, group, kTypeMap);
}

uint8_t* allocateInBlockMode(KeyedFile* f, uint8_t type) {
    KeyedShared* s = f->sh();
    uint32_t hint = get32(s->header, kOffFreeOrAllocGroup);
    uint32_t group = hint ? hint : kFirstBlock;
    // Every group is visited at most once per segment: bound the walk by the file's size.
    for (uint32_t guard = 0; guard < 0x800000; guard++) {
        uint32_t eof = get32(s->header, kOffEof);
        if (offsetInSegment(group, s->blockSize) >= s->maxSegmentSize ||
            (segmentOf(group, s->blockSize) == segmentOf(eof, s->blockSize) &&
             offsetInSegment(group, s->blockSize) > offsetInSegment(eof, s->blockSize))) {
            group = nextSegment(f, group);
            continue;
        }
        uint8_t* map = mapBlock(f, group);
        for (uint32_t j = 1; j < s->mapSpan; j++) {
            // The next free block of the group: the map fills from its start, so a byte-by-byte
            // walk would pass thousands of used entries on every allocation.
            const void* free = std::memchr(map + 6 + j, 0, s->mapSpan - j);
            if (!free) break;
            j = static_cast<uint32_t>(static_cast<const uint8_t*>(free) - (map + 6));
            uint32_t address = group + j * s->blockSize;
            if (offsetInSegment(address, s->blockSize) + s->blockSize > s->maxSegmentSize) break;
            eof = get32(s->header, kOffEof);
            if (segmentOf(address, s->blockSize) == segmentOf(eof, s->blockSize) &&
                offsetInSegment(address, s->blockSize) > offsetInSegment(eof, s->blockSize))
                break;  // past the end of the file: only the block at the end can be added
            if (group != hint) {
                put32(s->header, kOffFreeOrAllocGroup, group);
                headerChanged(f);
            }
            uint8_t* block = fetchBlock(f, address, kTypeFree);
            map = fetchBlock(f, group, kTypeMap);  // the fetch may have reused the map's buffer
            std::memset(block + 5, 0, s->blockSize - 5);
            block[0] = type;
            map[6 + j] = type;
            markDirty(f, block);
            markDirty(f, map);
            return block;
        }
        uint32_t next = group + s->mapSpan * s->blockSize;
        if (offsetInSegment(next, s->blockSize) >= s->maxSegmentSize) next = nextSegment(f, group);
        group = next;
    }
    raiseError(f, MDK_E_FULL);
}

uint8_t* allocateInSlotMode(KeyedFile* f, uint8_t type) {
    KeyedShared* s = f->sh();
    uint32_t head = get32(s->header, kOffFreeOrAllocGroup);
    if (head) {
        uint8_t* block = fetchBlock(f, head, type);
        uint32_t next = get32(block, 6);
        put32(s->header, kOffFreeOrAllocGroup, next);
        headerChanged(f);
        std::memset(block + 5, 0, s->blockSize - 5);
        block[0] = type;
        markDirty(f, block);
        return block;
    }
    uint32_t eof = get32(s->header, kOffEof);
    uint64_t rounded = (uint64_t{eof} + 511) / 512 * 512;
    if (rounded + s->blockSize > kMaxEof) raiseError(f, MDK_E_FULL);
    // Whole record slots that fit in the gap before the block go onto the deleted chain.
    uint64_t base = kFirstBlock + s->blockSize;
    if (eof >= base) {
        uint64_t n = (eof - base + s->slotSize - 1) / s->slotSize;
        for (uint64_t p = base + n * s->slotSize; p + s->slotSize <= rounded; p += s->slotSize) {
            uint8_t slot[5] = {kDeletedSlot};
            uint32_t chain = get32(s->header, kOffDeletedOrDataGroup);
            put32(slot, 1, static_cast<uint32_t>(-static_cast<int32_t>(chain)));
            writeSlotBytes(f, static_cast<uint32_t>(p), slot, sizeof slot);
            put32(s->header, kOffDeletedOrDataGroup, static_cast<uint32_t>(p));
        }
    }
    put32(s->header, kOffEof, static_cast<uint32_t>(rounded));
    headerChanged(f);
    uint8_t* block = fetchBlock(f, static_cast<uint32_t>(rounded), kTypeFree);
    block[0] = type;
    markDirty(f, block);
    return block;
}

}  // namespace

uint8_t* allocateBlock(KeyedFile* f, uint8_t type) {
    return f->sh()->blockMode ? allocateInBlockMode(f, type) : allocateInSlotMode(f, type);
}

void freeBlock(KeyedFile* f, uint8_t* block) {
    KeyedShared* s = f->sh();
    uint32_t address = get32(block, 1);
    std::memset(block + 5, 0, s->blockSize - 5);
    block[0] = kTypeFree;
    markDirty(f, block);
    if (!s->blockMode) {
        put32(block, 6, get32(s->header, kOffFreeOrAllocGroup));
        put32(s->header, kOffFreeOrAllocGroup, address);
        headerChanged(f);
        return;
    }
    if (s->insertBlock == address) s->insertBlock = 0;
    MapPlace place = mapPlace(s, address);
    uint8_t* map = fetchBlock(f, place.map, kTypeMap);
    map[place.byte] = 0;
    markDirty(f, map);
    for (int hintAt : {kOffFreeOrAllocGroup, kOffDeletedOrDataGroup}) {
        uint32_t hint = get32(s->header, hintAt);
        if (hint == 0 || orderKey(hint, s->blockSize) > orderKey(place.map, s->blockSize)) {
            put32(s->header, hintAt, place.map);
            headerChanged(f);
        }
    }
}

}  // namespace mdnio::keyed
