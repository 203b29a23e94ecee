// The blocks of an extended file through the block store: logical numbers translated through
// the current copy of their group's map, map copies by their physical numbers, and what a block
// read from disk must hold before anything trusts it.
#include <cstring>

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
};

uint8_t* fetchMap(ExtFile* f, uint32_t group) {
    ExtShared* s = f->sh();
    if (group >= s->region.groupCount()) raiseError(f, MDK_E_BADADDR);
    const uint32_t copy = currentMapCopy(s->geo, group, s->region.directory[group]);
    return fetchBlock(f, copy, Fetch::Physical, kTypeMap);
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
        if (mode != Fetch::Create) checkBlock(f, hit->data.get(), number, type);
        return hit->data.get();
    }
    // The place first: translating may fetch a map block, and the buffer chosen below must not
    // be taken by that nested fetch.
    const uint32_t physical = placeFor(f, number, mode);
    if (physical > s->region.highestBlock && mode != Fetch::Create) raiseError(f, MDK_E_BUFFER);
    CacheBuffer& b = store::chooseBuffer(f, *s);
    store::Filling filling(b);
    uint8_t* data = b.data.get();
    if (mode == Fetch::Create) {
        std::memset(data, 0, s->blockSize);
        common::putBe32(data + 1, number);
    } else {
        readPlace(f, b, physical, mode);
        checkBlock(f, data, number, type);
    }
    store::settle(*s, b, number);
    store::setClean(*s, b);
    return data;
}

}  // namespace mdnio::extended
