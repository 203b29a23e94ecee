// Writing: insert, update and remove with every key kept, unique alternate keys, sequence
// numbers and auto-numbered fields; dropping a key.
#include <algorithm>
#include <array>
#include <cstring>

#include "common/keyvalue.h"
#include "keyed/keyed.h"

namespace mdnio::keyed {

namespace {

using common::KeySuffix;
using Values = std::array<std::array<uint8_t, 256>, 16>;

std::span<uint8_t> valueOf(Values& v, const KeyedShared* s, int k) {
    return {v[k].data(), valueSize(s, k)};
}

// Zeroes the values of the file's keys only: the whole array is 4 KiB, and clearing it on every
// write cost more than building the values.
void clearValues(Values& v, const KeyedShared* s) {
    for (int k = 0; k <= s->highestKey && k < static_cast<int>(v.size()); k++)
        std::memset(v[k].data(), 0, valueSize(s, k));
}

void build(KeyedFile* f, int k, const std::vector<uint8_t>& record, uint32_t address,
           bool newSequence, std::span<uint8_t> out) {
    KeyedShared* s = f->sh();
    int rc =
        common::buildKeyValue(s->layout, static_cast<size_t>(k), {record.data(), record.size()},
                              address, newSequence, s->sequence, out);
    if (rc) raiseError(f, rc);
}

// True when the two values of key k are equal but for their 4-byte suffixes.
bool sameButSuffix(std::span<const uint8_t> a, std::span<const uint8_t> b) {
    if (a[0] != b[0] || a[0] < 4 || a[0] == 0xFF) return false;
    size_t at = a[0] - 4u;  // value bytes before the suffix
    if (std::memcmp(a.data() + 1, b.data() + 1, at) != 0) return false;
    size_t after = 1 + at + 4;
    return std::memcmp(a.data() + after, b.data() + after, a.size() - after) == 0;
}

// Raises 26 when another record already has `value` in unique key k.  Entries whose addresses
// sort between values sharing the same first bytes are all examined.
void checkUnique(KeyedFile* f, int k, std::span<const uint8_t> value, uint32_t self) {
    KeyedShared* s = f->sh();
    size_t vs = valueSize(s, k);
    size_t prefix = value[0] >= 4 ? value[0] - 4u : 0;
    std::memset(f->search.data(), 0, vs);
    std::memcpy(f->search.data() + 1, value.data() + 1, prefix);
    f->search[0] = static_cast<uint8_t>(prefix);
    searchKey(f, k, kForEdit);
    for (const uint8_t* e; (e = entryAtPosition(f, k)); nextPosition(f)) {
        std::span<const uint8_t> v(e + 4, vs);
        if (common::isEndMarker(v) || std::memcmp(v.data() + 1, value.data() + 1, prefix) != 0)
            return;
        int32_t pointer = static_cast<int32_t>(get32(e, 0));
        if (sameButSuffix(v, value) && static_cast<uint32_t>(-pointer) != self)
            raiseError(f, MDK_E_DUPLICATE);
    }
}

// Deletes the entry with `value` from key k; quietly nothing when the value is empty.
void deleteKey(KeyedFile* f, int k, std::span<const uint8_t> value) {
    KeyedShared* s = f->sh();
    if (common::isEmptyValue(value)) return;
    size_t vs = valueSize(s, k);
    std::memcpy(f->search.data(), value.data(), vs);
    if (searchKey(f, k, kForEdit) != 0) raiseError(f, MDK_E_INTERNAL);
    deleteFoundEntry(f, k);
}

void insertKey(KeyedFile* f, int k, std::span<const uint8_t> value, uint32_t record) {
    KeyedShared* s = f->sh();
    if (common::isEmptyValue(value)) return;
    size_t vs = valueSize(s, k);
    std::memcpy(f->search.data(), value.data(), vs);
    if (searchKey(f, k, kForEdit) == 0) raiseError(f, MDK_E_DUPLICATE);
    int32_t pointer = s->recordSize == 0 ? 0 : -static_cast<int32_t>(record);
    insertEntry(f, k, value, pointer);
}

// Lays the record out in f->writeBuf: key area, the data that stays in the record itself.
std::vector<uint8_t> ownerRecord(KeyedFile* f, const uint8_t* keyArea, int32_t keyLength,
                                 std::span<const uint8_t> data) {
    KeyedShared* s = f->sh();
    std::vector<uint8_t>& w = f->writeBuf;
    std::fill(w.begin(), w.end(), 0);
    w[0] = static_cast<uint8_t>(keyLength);
    if (keyLength > 0) std::memcpy(w.data() + 1, keyArea, static_cast<size_t>(keyLength));
    size_t own = std::min(data.size(), static_cast<size_t>(s->recordSize));
    common::putBe16(w.data() + 1 + s->keyAreaSize, static_cast<uint16_t>(own));
    if (own) std::memcpy(w.data() + 3 + s->keyAreaSize, data.data(), own);
    return std::vector<uint8_t>(w.begin(), w.begin() + 3 + s->keyAreaSize + static_cast<long>(own));
}

// Numbers the auto-numbered field of a new record.  Answers true when the record brought its
// own number.
bool autoNumber(KeyedFile* f, std::vector<uint8_t>& data, bool updateOnly) {
    KeyedShared* s = f->sh();
    const common::KeyLayout& layout = s->layout;
    if (layout.autoNumberSegment < 0) return false;
    const common::Segment& seg = layout.segments[static_cast<size_t>(layout.autoNumberSegment)];
    // The record as the key builder sees it, to find the field.
    std::vector<uint8_t> record(3 + static_cast<size_t>(s->keyAreaSize) + data.size());
    common::putBe16(record.data() + 1 + s->keyAreaSize,
                    static_cast<uint16_t>(std::min<size_t>(data.size(), 0x7FFF)));
    common::copyBytes(record.data() + 3 + s->keyAreaSize, data.data(), data.size());
    auto src = common::segmentSource(layout, seg, {record.data(), record.size()});
    size_t at =
        src.empty() ? 0 : static_cast<size_t>(src.data() - record.data()) - 3 - s->keyAreaSize;
    size_t have = std::min<size_t>(src.size(), seg.length);
    bool text = seg.options & (common::kOptAutoTextZero | common::kOptAutoText);
    uint64_t number = 0;
    if (text) {
        for (size_t i = 0; i < have; i++) {
            uint8_t c = data[at + i];
            if (c == ' ' || c == 0) continue;
            if (c < '0' || c > '9') return false;  // not a number: the field is left alone
            number = number * 10 + (c - '0');
        }
    } else {
        if (have != 1 && have != 2 && have != 4 && have != 0) raiseError(f, MDK_E_LENGTH);
        for (size_t i = have; i-- > 0;)
            number = number << 8 | data[at + i];
    }
    if (number != 0) {
        if (number > s->sequence)
            s->sequence = static_cast<uint32_t>(std::min<uint64_t>(number, UINT32_MAX));
        return true;
    }
    if (updateOnly) raiseError(f, MDK_E_KEY);
    size_t width = text ? seg.length : (have ? have : seg.length);
    if (have < width) {
        // The field is shorter than its segment: widen it, which only works for a field that
        // starts the segment and ends at a separator or the end of the data.
        if (seg.offset != 0 || layout.lengthPrefixedFields || (src.empty() && seg.field != 0))
            raiseError(f, MDK_E_LENGTH);
        if (src.empty()) at = data.size();
        data.insert(data.begin() + static_cast<long>(at + have), width - have, 0);
    }
    uint64_t next = uint64_t{s->sequence} + 1;
    if (text) {
        std::string digits = std::to_string(next);
        if (digits.size() > width) raiseError(f, MDK_E_EOF);
        char fill = (seg.options & common::kOptAutoTextZero) ? '0' : ' ';
        std::fill(data.begin() + static_cast<long>(at),
                  data.begin() + static_cast<long>(at + width), fill);
        std::memcpy(data.data() + at + width - digits.size(), digits.data(), digits.size());
    } else {
        if ((width == 1 && next > 0xFF) || (width == 2 && next > 0xFFFF)) raiseError(f, MDK_E_EOF);
        for (size_t i = 0; i < width; i++)
            data[at + i] = static_cast<uint8_t>(next >> (8 * i));
    }
    return false;
}

void endWrite(KeyedFile* f, uint32_t address, bool keepLock) {
    KeyedShared* s = f->sh();
    if (keepLock) {
        keepTransient(f, s->locks);
    } else if (address) {
        releaseHeld(f, s->locks, address);
    }
    if (f->env->inTransaction) s->flags |= kTxHeld;
    unlockHeader(f, false);
}

}  // namespace

int32_t opWrite(MdkFile* mf, const void* rec, int32_t recLen, const void* key, int32_t keyLen,
                int32_t mode, int32_t offset) {
    KeyedFile* f = K(mf);
    KeyedShared* s = f->sh();
    s->flags |= kSharedOneCall;
    if (recLen < 0 || static_cast<size_t>(recLen) > longestRecordData(s) || (recLen > 0 && !rec))
        raiseError(f, MDK_E_RECSIZE);
    if (keyLen > s->keyAreaSize || keyLen < -1) raiseError(f, MDK_E_KEYSIZE);
    if (offset < 0) raiseError(f, MDK_E_RECOFFSET);
    // A partial write makes the record reach offset + recLen (counted over key area and data):
    // refused here, before a record of that length is laid out in memory.
    if (offset > s->keyAreaSize && s->recordSize > 0 &&
        static_cast<size_t>(offset - s->keyAreaSize) + static_cast<size_t>(recLen) >
            longestRecordData(s))
        raiseError(f, MDK_E_RECSIZE);
    if (keyLen > 0 && !key) raiseError(f, MDK_E_LENGTH);
    // The records a write adds are not locked, unless the write keeps its lock, inside a
    // transaction and, in block mode, outside one too: the lock would go back at the end of this
    // call, and until then no process that keeps the locking rules can reach the new record.  In a
    // transaction nothing of it reaches the file before the commit; outside one the header lock is
    // held until the blocks that lead to it are written, after the change counter moved, so a
    // reader that met it in a half-written block finds its read invalid and reads again under the
    // header lock.  Block mode ignores a busy lock on a new record anyway (waiting for it served
    // nothing); slot mode refuses to add a slot another process holds, so it still asks.
    struct NewRecordLocks {
        KeyedFile* f;
        NewRecordLocks(KeyedFile* file, bool skip) : f(file) { f->unlockedNewRecords = skip; }
        ~NewRecordLocks() { f->unlockedNewRecords = false; }
    } newRecordLocks(f, (f->env->inTransaction || s->blockMode) && !(mode & MDK_WRITE_KEEP_LOCK));
    bool seqKey = s->layout.keys[0].suffix == KeySuffix::Sequence;
    // On a file whose primary key ends in a sequence number the key bytes never name a record:
    // inserts always add, and only an update-only write means the current record.
    bool current = keyLen == -1 || (seqKey && !(mode & MDK_WRITE_INSERT));
    if (current) {
        if (!(mode & MDK_WRITE_UPDATE)) raiseError(f, MDK_E_KEY);
        mode &= ~MDK_WRITE_INSERT;
    }
    if (offset > 0) {
        if (offset < s->keyAreaSize || s->recordSize == 0 || !(mode & MDK_WRITE_UPDATE))
            raiseError(f, MDK_E_RECOFFSET);
        mode &= ~MDK_WRITE_INSERT;
    }
    lockHeader(f);
    const int hk = s->highestKey;
    Values oldV, newV;
    clearValues(oldV, s);
    clearValues(newV, s);
    uint32_t oldAddress = 0;
    bool found = false;

    // The record being replaced, when the write names it by position or by partial offset.
    std::vector<uint8_t> keyArea(static_cast<size_t>(s->keyAreaSize), 0);
    int32_t keyLength = keyLen;
    if (current) {
        if (!f->curRecord || s->recordSize == 0) raiseError(f, MDK_E_KEY);
        oldAddress = f->curRecord;
        readRecord(f, oldAddress);
        keyLength = f->readBuf[0] & 0x7F;
        common::copyBytes(keyArea.data(), f->readBuf.data() + 1,
                          static_cast<size_t>(s->keyAreaSize));
        found = true;
    } else if (keyLen > 0) {
        std::memcpy(keyArea.data(), key, static_cast<size_t>(keyLen));
    }

    std::vector<uint8_t> data(static_cast<const uint8_t*>(rec),
                              static_cast<const uint8_t*>(rec) + std::max(recLen, 0));
    if (offset > 0) {
        // Part of an existing record: its key area and data with the given bytes laid over.
        if (!current) {
            size_t vs = valueSize(s, 0);
            int rc = common::buildSearchValue(s->layout, 0,
                                              {keyArea.data(), static_cast<size_t>(keyLen)},
                                              {f->search.data(), vs});
            if (rc) raiseError(f, rc);
            if (searchKey(f, 0, kExact) != 0) raiseError(f, MDK_E_KEY);
            oldAddress = f->curRecord;
            readRecord(f, oldAddress);
            found = true;
        }
        const std::span<const uint8_t> record = lastRecord(f);
        std::vector<uint8_t> whole(record.begin() + 1, record.begin() + 1 + s->keyAreaSize);
        whole.insert(whole.end(), record.begin() + 3 + s->keyAreaSize, record.end());
        size_t end = static_cast<size_t>(offset) + data.size();
        if (whole.size() < end) whole.resize(end, 0);
        common::copyBytes(whole.data() + offset, data.data(), data.size());
        data.assign(whole.begin() + s->keyAreaSize, whole.end());
        keyLength = record[0] & 0x7F;
        common::copyBytes(keyArea.data(), record.data() + 1, static_cast<size_t>(s->keyAreaSize));
    }

    bool ownNumber = false;
    if (!found || !(mode & MDK_WRITE_UPDATE))
        ownNumber = autoNumber(f, data, !(mode & MDK_WRITE_INSERT));
    // The data as it is to be stored (a partial write and an auto-numbered field may have made
    // it longer than what the caller gave).
    if (data.size() > longestRecordData(s)) raiseError(f, MDK_E_RECSIZE);
    std::vector<uint8_t> owner = ownerRecord(f, keyArea.data(), keyLength, data);

    // Key 0: find the record the write replaces, or make sure there is none.
    if (found) {
        std::vector<uint8_t> old(f->readBuf.begin(), f->readBuf.end());
        for (int k = 0; k <= hk; k++)
            build(f, k, old, oldAddress, false, valueOf(oldV, s, k));
        if (seqKey) {
            std::memcpy(f->search.data(), oldV[0].data(), valueSize(s, 0));
            if (!findEntryOfRecord(f, 0, oldAddress)) raiseError(f, MDK_E_KEY);
            std::memcpy(oldV[0].data(), f->found.data(), valueSize(s, 0));
        }
        // Rewriting a record in place keeps its primary key.
        build(f, 0, owner, 0, false, valueOf(newV, s, 0));
        auto nv = valueOf(newV, s, 0);
        auto ov = valueOf(oldV, s, 0);
        bool same =
            seqKey ? nv[0] + 4u == ov[0] && std::memcmp(nv.data() + 1, ov.data() + 1, nv[0]) == 0
                   : std::memcmp(nv.data(), ov.data(), nv.size()) == 0;
        if (!same) raiseError(f, MDK_E_KEY);
    } else {
        build(f, 0, owner, 0, seqKey, valueOf(newV, s, 0));
        // An empty value is no entry: a record without an entry in key 0 could never be reached.
        // (A value with a sequence number, or with the padding of a descending segment, is not
        // empty, however few key bytes were given.)
        if (common::isEmptyValue(valueOf(newV, s, 0))) raiseError(f, MDK_E_KEY);
        std::memcpy(f->search.data(), newV[0].data(), valueSize(s, 0));
        if (searchKey(f, 0, kExact) == 0) {
            if (!(mode & MDK_WRITE_UPDATE)) raiseError(f, MDK_E_DUPLICATE);
            found = true;
            oldAddress = f->curRecord;
            if (s->recordSize) {
                readRecord(f, oldAddress);
                std::vector<uint8_t> old(f->readBuf.begin(), f->readBuf.end());
                for (int k = 0; k <= hk; k++)
                    build(f, k, old, oldAddress, false, valueOf(oldV, s, k));
            } else {
                std::memcpy(oldV[0].data(), newV[0].data(), valueSize(s, 0));
            }
        } else if (!(mode & MDK_WRITE_INSERT)) {
            raiseError(f, MDK_E_KEY);
        }
    }
    // Unique alternate keys (checked before anything changes).
    for (int k = 1; k <= hk; k++) {
        if (!(s->layout.keys[k].flags & common::kKeyUnique)) continue;
        build(f, k, owner, 0, false, valueOf(newV, s, k));
        auto v = valueOf(newV, s, k);
        if (common::isEmptyValue(v)) continue;
        if (found && sameButSuffix(v, valueOf(oldV, s, k))) continue;
        checkUnique(f, k, v, found ? oldAddress : 0);
    }

    uint32_t address = 0;
    bool newRecord = !found;
    if (found) {
        if (s->recordSize == 0) {
            address = 0;
        } else if (s->header[kOffFlagsB] & kNewRecordOnUpdate) {
            freeRecord(f, oldAddress, true);
            address = addRecord(f, data, true);
        } else {
            address = rewriteRecord(f, oldAddress, data);
        }
    } else {
        uint32_t max = get32(s->header, kOffMaxRecords);
        if (max && get32(s->header, kOffRecordCount) >= max) raiseError(f, MDK_E_FULL);
        if (s->recordSize) {
            address = addRecord(f, data, true);
        } else {
            put32(s->header, kOffRecordCount, get32(s->header, kOffRecordCount) + 1);
            s->recordCount = static_cast<int32_t>(get32(s->header, kOffRecordCount));
            headerChanged(f);
        }
    }

    // Every key: the new values with the record's address.
    for (int k = 0; k <= hk; k++) {
        auto nv = valueOf(newV, s, k);
        if (k == 0) {
            if (found) {
                if (address == oldAddress) continue;
                std::memcpy(nv.data(), oldV[0].data(), nv.size());  // same key, new place
            }
            // newV[0] was built before the record had an address; key 0 carries none.
        } else {
            build(f, k, owner, address, false, nv);
        }
        if (found) {
            auto ov = valueOf(oldV, s, k);
            if (k > 0 && std::memcmp(ov.data(), nv.data(), nv.size()) == 0) continue;
            deleteKey(f, k, ov);
        }
        insertKey(f, k, nv, address);
    }
    if (newRecord) {
        headerChanged(f);
        if (!ownNumber) s->sequence++;
    }
    if (!(mode & MDK_WRITE_KEEP_POSITION)) {
        f->curKey = 0;
        f->curRecord = address;
        f->leafBlock = 0;
        f->depth = 0;
        std::memcpy(f->lastKey.data(),
                    found && address == oldAddress ? oldV[0].data() : newV[0].data(),
                    valueSize(s, 0));
    }
    endWrite(f, address, mode & MDK_WRITE_KEEP_LOCK);
    return 0;
}

int32_t opRemove(MdkFile* mf, const void* key, int32_t keyLen, int32_t seq) {
    KeyedFile* f = K(mf);
    KeyedShared* s = f->sh();
    s->flags |= kSharedOneCall;
    if (keyLen < 0 || (keyLen > 0 && !key)) raiseError(f, MDK_E_LENGTH);
    lockHeader(f);
    size_t vs = valueSize(s, 0);
    bool seqKey = s->layout.keys[0].suffix == KeySuffix::Sequence;
    uint32_t address = 0;
    if (keyLen > 0) {
        int rc = common::buildSearchValue(
            s->layout, 0, {static_cast<const uint8_t*>(key), static_cast<size_t>(keyLen)},
            {f->search.data(), vs});
        if (rc) raiseError(f, rc);
        if (seqKey && seq > 0) {
            size_t at = static_cast<size_t>(f->search[0]) + 1;
            put32(f->search.data(), static_cast<int>(at), static_cast<uint32_t>(seq));
            f->search[0] = static_cast<uint8_t>(f->search[0] + 4);
        }
        int32_t rc2 = searchKey(f, 0, kForEdit);
        if (rc2 != 0 && seqKey && seq <= 0 &&
            common::matchesIgnoringSuffix({f->found.data(), vs}, {f->search.data(), vs},
                                          static_cast<size_t>(keyLen)))
            rc2 = 0;
        if (rc2 != 0) raiseError(f, MDK_E_KEY);
        address = f->curRecord;
    } else {
        if (!f->curRecord && !(s->recordSize == 0 && f->lastKey[0] != 0xFF))
            raiseError(f, MDK_E_LENGTH);
        if (s->recordSize == 0) {
            std::memcpy(f->search.data(), f->lastKey.data(), vs);
            if (searchKey(f, 0, kForEdit) != 0) raiseError(f, MDK_E_KEY);
        } else {
            address = f->curRecord;
            readRecord(f, address);
            build(f, 0, std::vector<uint8_t>(f->readBuf), address, false, {f->search.data(), vs});
            if (seqKey ? !findEntryOfRecord(f, 0, address) : searchKey(f, 0, kForEdit) != 0)
                raiseError(f, MDK_E_KEY);
        }
    }
    f->curRecord = 0;
    f->leafBlock = 0;
    f->lastKey[0] = 0xFF;
    Values oldV;
    clearValues(oldV, s);
    std::vector<uint8_t> old;
    if (s->recordSize) {
        readRecord(f, address);
        old.assign(f->readBuf.begin(), f->readBuf.end());
        // The position of the key 0 entry again: the read may have searched nothing, but keep
        // the order of the steps plain.
        std::memcpy(f->search.data(), f->found.data(), vs);
        if (searchKey(f, 0, kForEdit) != 0) raiseError(f, MDK_E_KEY);
    }
    deleteFoundEntry(f, 0);
    for (int k = 1; k <= s->highestKey && s->recordSize; k++) {
        build(f, k, old, address, false, valueOf(oldV, s, k));
        deleteKey(f, k, valueOf(oldV, s, k));
    }
    if (s->recordSize) {
        freeRecord(f, address, true);
    } else {
        put32(s->header, kOffRecordCount, get32(s->header, kOffRecordCount) - 1);
        s->recordCount = static_cast<int32_t>(get32(s->header, kOffRecordCount));
        headerChanged(f);
    }
    endWrite(f, address, false);
    return 0;
}

}  // namespace mdnio::keyed
