// Dictionary records: a doubly linked list of records in dictionary blocks, record 0 named by
// the header; record n > 0 lies n next links on, record -n n previous links back.
#include <cstring>
#include <vector>

#include "common/datablock.h"
#include "keyed/keyed.h"

namespace mdnio::keyed {

namespace {

constexpr uint32_t kHead = 10;  // next, previous, total length
constexpr int kMaxHops = 1 << 20;

const common::RecordShape kShape{common::RecordShape::Kind::Chained, 0, 0};

}  // namespace

DictView dictRecordAt(KeyedFile* f, uint32_t address) {
    KeyedShared* s = f->sh();
    if ((address & 0xFF) == 0) raiseError(f, MDK_E_OFFSET);
    uint8_t* b = fetchBlock(f, address & ~0xFFu, kAnyType);
    if (b[0] != kTypeDict) raiseError(f, MDK_E_OFFSET);
    common::RecordRef ref = common::readRecord({b, s->blockSize}, address & 0xFF, kShape, 0);
    if (ref.code || ref.bytes.size() < kHead) raiseError(f, MDK_E_OFFSET);
    const uint8_t* r = ref.bytes.data();
    return {ref.bytes.subspan(kHead), get32(r, 0), get32(r, 4)};
}

namespace {

struct DictRecord {
    uint32_t address;
    uint32_t next;
    uint32_t previous;
    std::vector<uint8_t> payload;
};

DictRecord readDict(KeyedFile* f, uint32_t address) {
    DictView v = dictRecordAt(f, address);
    return {address, v.next, v.previous, std::vector<uint8_t>(v.payload.begin(), v.payload.end())};
}

// The address of record n, or 0 when it does not exist.
uint32_t findDict(KeyedFile* f, int32_t n) {
    uint32_t address = get32(f->sh()->header, kOffDictionary);
    for (int32_t hops = 0; address && hops < (n < 0 ? -n : n); hops++) {
        if (hops >= kMaxHops) raiseError(f, MDK_E_OFFSET);
        DictRecord r = readDict(f, address);
        address = n > 0 ? r.next : r.previous;
    }
    return address;
}

void setLink(KeyedFile* f, uint32_t address, int at, uint32_t value) {
    KeyedShared* s = f->sh();
    uint8_t* b = fetchBlock(f, address & ~0xFFu, kTypeDict);
    size_t position = common::slotPosition({b, s->blockSize}, address & 0xFF);
    if (position == 0 || position + kHead > s->blockSize - 6) raiseError(f, MDK_E_OFFSET);
    put32(b + 6 + position, at, value);
    markDirty(f, b);
}

// Stores a dictionary record; answers its address.
uint32_t storeDict(KeyedFile* f, uint32_t next, uint32_t previous, std::span<const uint8_t> payload,
                   uint32_t near) {
    KeyedShared* s = f->sh();
    size_t size = kHead + payload.size();
    uint8_t* b = nullptr;
    if (near) {
        b = fetchBlock(f, near & ~0xFFu, kAnyType);
        if (b[0] != kTypeDict ||
            common::spaceNeeded({b, s->blockSize}, size) > common::freeBytes({b, s->blockSize}))
            b = nullptr;
    }
    if (!b) {
        b = allocateBlock(f, kTypeDict);
        common::initSlottedBlock({b, s->blockSize}, kTypeDict, get32(b, 1));
    }
    common::SlotPlace place = common::reserveRecord({b, s->blockSize}, size);
    if (place.slot == 0) raiseError(f, MDK_E_LENGTH);
    uint8_t* r = b + 6 + place.position;
    put32(r, 0, next);
    put32(r, 4, previous);
    common::putBe16(r + 8, static_cast<uint16_t>(size));
    if (!payload.empty()) std::memcpy(r + kHead, payload.data(), payload.size());
    markDirty(f, b);
    return get32(b, 1) + place.slot;
}

void removeDict(KeyedFile* f, uint32_t address, size_t size) {
    KeyedShared* s = f->sh();
    uint8_t* b = fetchBlock(f, address & ~0xFFu, kTypeDict);
    int rc = common::removeRecord({b, s->blockSize}, address & 0xFF, size);
    if (rc) raiseError(f, rc);
    markDirty(f, b);
    if (b[5] == 0) freeBlock(f, b);
}

}  // namespace

bool dictRead(KeyedFile* f, int32_t n, std::vector<uint8_t>& payload) {
    uint32_t address = findDict(f, n);
    if (!address) return false;
    payload = readDict(f, address).payload;
    return true;
}

void dictWrite(KeyedFile* f, int32_t n, std::span<const uint8_t> bytes) {
    KeyedShared* s = f->sh();
    if (kHead + bytes.size() + 2 > s->blockSize - 8) raiseError(f, MDK_E_LENGTH);
    uint32_t address = findDict(f, n);
    if (address) {
        // Replace: the record may move, and its neighbours' links (or the header) follow it.
        DictRecord old = readDict(f, address);
        removeDict(f, address, kHead + old.payload.size());
        uint32_t moved = storeDict(f, old.next, old.previous, bytes, address);
        if (moved != address) {
            if (old.previous) setLink(f, old.previous, 0, moved);
            if (old.next) setLink(f, old.next, 4, moved);
            if (get32(s->header, kOffDictionary) == address) {
                put32(s->header, kOffDictionary, moved);
                headerChanged(f);
            }
        }
        return;
    }
    // Append at the end of the side n lies on: n must be one beyond its last record.
    uint32_t last = n == 0 ? 0 : findDict(f, n > 0 ? n - 1 : n + 1);
    if (n != 0 && !last) raiseError(f, MDK_E_KEY);
    uint32_t added = storeDict(f, 0, 0, bytes, last);
    if (n == 0) {
        put32(s->header, kOffDictionary, added);
        headerChanged(f);
    } else if (n > 0) {
        setLink(f, added, 4, last);
        setLink(f, last, 0, added);
    } else {
        setLink(f, added, 0, last);
        setLink(f, last, 4, added);
    }
}

int32_t opDict(MdkFile* mf, int32_t n, void* buf, int32_t len) {
    KeyedFile* f = K(mf);
    if (len < 0 || (len > 0 && !buf)) raiseError(f, MDK_E_LENGTH);
    lockHeader(f);
    std::vector<uint8_t> payload;
    if (!dictRead(f, n, payload)) raiseError(f, MDK_E_KEY);
    size_t copied = std::min(payload.size(), static_cast<size_t>(len));
    if (copied) std::memcpy(buf, payload.data(), copied);
    unlockHeader(f, false);
    return static_cast<int32_t>(copied);
}

int32_t opDictAdd(MdkFile* mf, int32_t n, const void* payload, int32_t len) {
    KeyedFile* f = K(mf);
    KeyedShared* s = f->sh();
    if (!f->writeAllowed) raiseError(f, MDK_E_READONLY);
    if (f->flags & kFileWritesRefused) raiseError(f, MDK_E_WRITE);
    if (len < 0 || (len > 0 && !payload)) raiseError(f, MDK_E_LENGTH);
    lockHeader(f);
    dictWrite(f, n, {static_cast<const uint8_t*>(payload), static_cast<size_t>(len)});
    if (f->env->inTransaction) s->flags |= kTxHeld;
    unlockHeader(f, false);
    return 0;
}

}  // namespace mdnio::keyed
