// The blocks of an extended file through the block store: logical numbers translated through
// the current copy of their group's map, map copies by their physical numbers, and what a block
// read from disk must hold before anything trusts it.
#include <algorithm>
#include <cstring>
#include <vector>

#include "common/blockparts.h"
#include "extended/extended.h"

namespace mdnio::extended {

namespace {

// The physical place of the block cached under `address`: a map copy is cached under its own
// place, every other block under its logical number.
uint32_t physicalOf(ExtFile* f, uint32_t address) {
    if (f->sh()->geo.isMapPlace(address)) return address;
    return translate(f, address).physical;
}

uint64_t offsetOf(ExtFile* f, uint32_t physical) {
    uint64_t offset = 0;
    if (int code = blockOffset(f->sh()->geo, physical, offset)) raiseError(f, code);
    return offset;
}

store::Place placeBlock(MdkFile* mf, uint32_t address) {
    ExtFile* f = X(mf);
    return {f->sh()->fd, static_cast<int64_t>(offsetOf(f, physicalOf(f, address)))};
}

// A block goes to disk whole: the place it is written to (after its relocation) holds nothing
// of it.
void writeBack(MdkFile* mf, CacheBuffer& b, bool) {
    ExtFile* f = X(mf);
    ExtShared* s = f->sh();
    if (common::getBe32(b.data.get() + 1) != b.address) raiseError(f, MDK_E_WRITE);
    store::writeBuffer(f, *s, b, b.data.get(), placeBlock(f, b.address), true);
}

void checkBulk(MdkFile* f, const CacheBuffer& b) {
    if (common::getBe32(b.data.get() + 1) != b.address) raiseError(f, MDK_E_WRITE);
}

// Reads the block at `physical` into `b` (a buffer being filled): a short read is 10, or 4 for
// a record read in physical order that found nothing at the end of the file.
void readPlace(ExtFile* f, CacheBuffer& b, uint32_t physical, Fetch mode) {
    ExtShared* s = f->sh();
    const uint64_t offset = offsetOf(f, physical);
    platform::IoResult r =
        store::readBytes(*s, s->fd, b.data.get(), s->blockSize, static_cast<int64_t>(offset));
    if (r.status == platform::IoStatus::SeekFailed) raiseError(f, MDK_E_SEEK);
    if (r.status != platform::IoStatus::Ok) raiseError(f, MDK_E_KEYREAD);
    if (r.count != static_cast<int64_t>(s->blockSize)) {
        if (mode == Fetch::Record && (s->flags & kRawMode) && r.count == 0)
            raiseError(f, MDK_E_EOF);
        raiseError(f, MDK_E_KEYREAD);
    }
}

// Checks what a read brought in: the number in bytes 1..4 (a block's logical number, a map
// copy's place) and the type asked for.  A map entry naming the wrong place shows here.
void checkBlock(ExtFile* f, const uint8_t* data, uint32_t number, int type) {
    if (common::getBe32(data + 1) != number) raiseError(f, MDK_E_BUFFER);
    if (type != kAnyType && data[0] != type) raiseError(f, MDK_E_BUFFER);
}

// A block made anew: zeros but for its number, and changed (a period that fails drops it, so
// that no later read takes the zeros for what the file holds).
void startFromZeros(ExtShared& s, CacheBuffer& b, uint32_t number) {
    uint8_t* data = b.data.get();
    std::memset(data, 0, s.blockSize);
    common::putBe32(data + 1, number);
    store::setDirty(s, b, common::kAllParts);
}

// The place a number of this mode lies at: a map copy of a group the directory has, or the
// number's place through the map.
uint32_t placeFor(ExtFile* f, uint32_t number, Fetch mode) {
    ExtShared* s = f->sh();
    if (mode != Fetch::Physical) return translate(f, number).physical;
    if (s->geo.groupOf(number) >= s->region.groupCount()) raiseError(f, MDK_E_BADADDR);
    return number;
}

}  // namespace

const store::StoreHooks kExtendedStore = {
    .place = placeBlock,
    .writeBack = writeBack,
    .checkBulk = checkBulk,
    .relocate = relocateBlock,
    .commitMap = commitMaps,
    .writeHeader = writeRegion,
};

uint8_t* fetchMap(ExtFile* f, uint32_t group) {
    ExtShared* s = f->sh();
    if (group >= s->region.groupCount()) raiseError(f, MDK_E_BADADDR);
    const uint8_t d = s->region.directory[group];
    // A group changed in this period is read from its working copy, at the other place.
    const uint32_t copy =
        (d & kDirChanged) ? otherMapCopy(s->geo, group, d) : currentMapCopy(s->geo, group, d);
    return fetchBlock(f, copy, Fetch::Physical, kTypeMap);
}

uint8_t* committedMap(ExtFile* f, uint32_t group) {
    ExtShared* s = f->sh();
    if (group >= s->region.groupCount()) raiseError(f, MDK_E_BADADDR);
    const uint32_t copy = currentMapCopy(s->geo, group, s->region.directory[group]);
    return fetchBlock(f, copy, Fetch::Physical, kTypeMap);
}

uint8_t* workingMap(ExtFile* f, uint32_t group) {
    ExtShared* s = f->sh();
    if (group >= s->region.groupCount()) raiseError(f, MDK_E_BADADDR);
    uint8_t& d = s->region.directory[group];
    if (d & kDirChanged) return fetchMap(f, group);
    // The first change of the group in this period: a copy of the committed map, made under the
    // other copy's place, where the map commit writes it.  The committed copy stays as it is.
    CacheBuffer* committed = store::findBuffer(*s, currentMapCopy(s->geo, group, d));
    if (!committed) {
        committedMap(f, group);
        committed = store::findBuffer(*s, currentMapCopy(s->geo, group, d));
    }
    store::Pin keep(*committed);
    CacheBuffer& b = store::chooseBuffer(f, *s);
    const uint32_t other = otherMapCopy(s->geo, group, d);
    std::memcpy(b.data.get(), committed->data.get(), s->blockSize);
    retargetMapBlock({b.data.get(), s->blockSize}, other);
    store::renameBuffer(*s, b, other);
    b.metadata = true;
    store::setDirty(*s, b, common::kAllParts);
    d |= kDirChanged;
    return b.data.get();
}

Location translate(ExtFile* f, uint32_t logical) {
    ExtShared* s = f->sh();
    EntryPlace place;
    if (int code = entryPlace(s->geo, s->region.groupCount(), logical, place)) raiseError(f, code);
    const uint8_t* map = fetchMap(f, place.group);
    Location at;
    if (int code = locate(s->geo, {map, s->blockSize}, place, logical, at)) raiseError(f, code);
    return at;
}

uint8_t* fetchBlock(ExtFile* f, uint32_t number, Fetch mode, int type) {
    ExtShared* s = f->sh();
    // Map copies are reached by their places alone, and nothing else is: the cache holds both
    // under one kind of number.
    if (number == 0 || s->geo.isMapPlace(number) != (mode == Fetch::Physical))
        raiseError(f, MDK_E_BADADDR);
    if (CacheBuffer* hit = store::findBuffer(*s, number)) {
        hit->referenced = true;
        uint8_t* data = hit->data.get();
        if (mode == Fetch::Create)
            startFromZeros(*s, *hit, number);  // nothing of what it held is kept
        else
            checkBlock(f, data, number, type);
        return data;
    }
    // The place first: translating may fetch a map block, and the buffer chosen below must not
    // be taken by that nested fetch.
    const uint32_t physical = placeFor(f, number, mode);
    if (physical > s->region.highestBlock && mode != Fetch::Create) raiseError(f, MDK_E_BUFFER);
    CacheBuffer& b = store::chooseBuffer(f, *s);
    store::Filling filling(b);
    uint8_t* data = b.data.get();
    if (mode == Fetch::Create) {
        store::settle(*s, b, number);
        startFromZeros(*s, b, number);
        return data;
    }
    readPlace(f, b, physical, mode);
    checkBlock(f, data, number, type);
    store::settle(*s, b, number);
    store::setClean(*s, b);
    return data;
}

namespace {

std::span<uint8_t> mapSpan(ExtFile* f, uint8_t* map) {
    return {map, f->sh()->blockSize};
}

// A new group at the end of the map: both copies written at once past everything the committed
// state uses, the directory grown by one.
void appendGroup(ExtFile* f) {
    ExtShared* s = f->sh();
    GroupAppend plan;
    if (int code = planGroupAppend(s->geo, s->region.highestBlock, s->region.groupCount(), plan))
        raiseError(f, code);
    std::vector<uint8_t> block(s->blockSize);
    for (uint32_t copy : {plan.firstCopy, plan.secondCopy}) {
        initMapBlock(s->geo, block, plan.group, copy);
        const platform::IoResult w = store::writeBytes(*s, s->fd, block.data(), block.size(),
                                                       static_cast<int64_t>(offsetOf(f, copy)));
        if (w.status == platform::IoStatus::SeekFailed) raiseError(f, MDK_E_SEEK);
        if (w.status != platform::IoStatus::Ok || w.count != static_cast<int64_t>(block.size()))
            raiseError(f, MDK_E_FULL);
    }
    s->region.directory.push_back(kDirMayHaveFree);
    s->region.highestBlock = std::max(s->region.highestBlock, plan.highestBlock);
    s->flags |= kHeaderDirty;
}

void raiseHighest(ExtShared* s, uint32_t place) {
    if (place > s->region.highestBlock) {
        s->region.highestBlock = place;
        s->flags |= kHeaderDirty;
    }
}

}  // namespace

FreeNumber freeNumber(ExtFile* f) {
    ExtShared* s = f->sh();
    for (;;) {
        const GroupFetch fetch = [f, s](uint32_t group) {
            GroupMaps maps;
            maps.current = {fetchMap(f, group), s->blockSize};
            // The committed map, where the group changed: a number it still uses is not free.
            if (s->region.directory[group] & kDirChanged)
                maps.committed = {committedMap(f, group), s->blockSize};
            return maps;
        };
        const FreeNumber n = findFreeNumber(s->geo, s->region.directory, s->freeCursor, fetch);
        if (n.directoryChanged) s->flags |= kHeaderDirty;
        if (n.number != 0) return n;
        appendGroup(f);
    }
}

uint8_t* newBlock(ExtFile* f, uint8_t type, uint32_t* number) {
    ExtShared* s = f->sh();
    const FreeNumber n = freeNumber(f);
    uint8_t* map = workingMap(f, n.place.group);
    // Claimed at once, so that no later search hands the number out again before the block's
    // first write-back.
    claimEntry(mapSpan(f, map), s->region.directory, n.place, n.number, type);
    Location at;
    if (int code = locate(s->geo, mapSpan(f, map), n.place, n.number, at)) raiseError(f, code);
    raiseHighest(s, at.physical);
    s->callChanged = true;
    uint8_t* block = fetchBlock(f, n.number, Fetch::Create);
    block[0] = type;
    markDirty(f, block);
    *number = n.number;
    return block;
}

void releaseBlock(ExtFile* f, uint32_t number) {
    ExtShared* s = f->sh();
    EntryPlace place;
    if (int code = entryPlace(s->geo, s->region.groupCount(), number, place)) raiseError(f, code);
    uint8_t* map = workingMap(f, place.group);
    releaseEntry(mapSpan(f, map), s->region.directory, place, number);
    s->callChanged = true;
    s->flags |= kHeaderDirty;
    // Nothing of a released block is written: its place stays as the committed state has it.
    if (CacheBuffer* b = store::findBuffer(*s, number)) {
        store::setClean(*s, *b);
        b->address = 0;
        b->referenced = false;
    }
}

void markDirty(ExtFile* f, uint8_t* block) {
    ExtShared* s = f->sh();
    CacheBuffer* b = store::bufferOf(*s, block, common::getBe32(block + 1));
    if (!b) raiseError(f, MDK_E_INTERNAL);
    s->callChanged = true;
    store::setDirty(*s, *b, common::kAllParts);
}

// Copy-on-write: a changed block whose place the committed state uses goes to the place of a
// free number, which takes the old place in exchange; a block whose place the committed state
// does not use (new since the last commit, or already moved) is written where it lies.
void relocateBlock(MdkFile* mf, CacheBuffer& b) {
    ExtFile* f = X(mf);
    ExtShared* s = f->sh();
    const uint32_t logical = b.address;
    const uint8_t usage = usageOfBlock({b.data.get(), s->blockSize});
    if (usage == kUsageFree) raiseError(f, MDK_E_FILETYPE);
    EntryPlace pl;
    if (int code = entryPlace(s->geo, s->region.groupCount(), logical, pl)) raiseError(f, code);
    uint8_t* mapL = workingMap(f, pl.group);
    CacheBuffer* workingL = store::findBuffer(*s, common::getBe32(mapL + 1));
    store::Pin keepL(*workingL);
    Location now;
    if (int code = locate(s->geo, mapSpan(f, mapL), pl, logical, now)) raiseError(f, code);
    const MapEntry then = readMapEntry({committedMap(f, pl.group), s->blockSize}, pl.index);
    const uint32_t committedPlace = then.physical != 0 ? then.physical : logical;
    if (then.usage == kUsageFree || committedPlace != now.physical) {
        claimEntry(mapSpan(f, mapL), s->region.directory, pl, logical, usage);
        raiseHighest(s, now.physical);
        return;
    }
    const FreeNumber n = freeNumber(f);
    uint8_t* mapN = workingMap(f, n.place.group);
    uint32_t writeAt = 0;
    if (int code = exchange(s->geo, s->region.directory, mapSpan(f, mapL), pl, logical,
                            mapSpan(f, mapN), n.place, n.number, usage, writeAt))
        raiseError(f, code);
    raiseHighest(s, writeAt);
    s->flags |= kHeaderDirty;
}

}  // namespace mdnio::extended
