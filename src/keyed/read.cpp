// Reading: seek, read (by key order, physical order or address), positions, key values.
#include <algorithm>
#include <cstring>

#include "common/keyvalue.h"
#include "keyed/keyed.h"
#include "restrict/restricted_read.h"

namespace mdnio::keyed {

namespace {

// Builds key k's value of the record in f->readBuf, for the record at `address`.
void recordValue(KeyedFile* f, int k, uint32_t address, uint8_t* out) {
    KeyedShared* s = f->sh();
    int rc = common::buildKeyValue(s->layout, static_cast<size_t>(k),
                                   {f->readBuf.data(), f->readBuf.size()}, address, false,
                                   s->sequence, {out, valueSize(s, k)});
    if (rc) raiseError(f, rc);
}

bool keyOnly(const KeyedShared* s) {
    return s->recordSize == 0;
}

// The saved position of a handle, for an optimistic read that has to run again.  Only the bytes
// that mean something are kept: the key values of the file (not the whole buffer) and the path
// steps down to the current depth.
struct SavedPosition {
    int32_t curKey, leafIndex, depth;
    uint32_t curRecord, leafBlock;
    size_t keyBytes;
    uint8_t lastKey[256];
    PathStep path[kMaxDepth];

    explicit SavedPosition(const KeyedFile* f)
        : curKey(f->curKey),
          leafIndex(f->leafIndex),
          depth(std::clamp(f->depth, 0, kMaxDepth)),
          curRecord(f->curRecord),
          leafBlock(f->leafBlock),
          keyBytes(std::min({sizeof lastKey, f->lastKey.size(), valueSize(f->sh(), curKey)})) {
        std::memcpy(lastKey, f->lastKey.data(), keyBytes);
        std::memcpy(path, f->path, sizeof(PathStep) * static_cast<size_t>(depth));
    }
    void restore(KeyedFile* f) const {
        f->curKey = curKey;
        f->leafIndex = leafIndex;
        f->depth = depth;
        f->curRecord = curRecord;
        f->leafBlock = leafBlock;
        std::memcpy(f->lastKey.data(), lastKey, keyBytes);
        std::memcpy(f->path, path, sizeof(PathStep) * static_cast<size_t>(depth));
    }
};

// True when the file has not changed since its header copy was read: the change counter on
// disk is the cached one (or, while the background thread runs, its tick has not moved).
bool stillValid(KeyedFile* f) {
    KeyedShared* s = f->sh();
    MdkEnv* env = f->env;
    int32_t ticks = env->backgroundTicks.load();
    if (env->backgroundFlush.load() && env->backgroundRunning.load() && ticks == s->tickStamp)
        return true;
    uint8_t disk[kHeaderSize];
    platform::IoResult r = store::readBytes(*s, s->fd, disk, kHeaderSize, 0);
    if (r.status != platform::IoStatus::Ok || r.count != kHeaderSize) return false;
    if (getCounter(disk) != getCounter(s->header)) return false;
    s->tickStamp = ticks;
    return true;
}

// Runs a reading operation: first without the header lock, validated afterwards by the change
// counter; when the file changed meanwhile (or the operation failed) it runs again inside a
// header-lock period.
template <class Op>
int32_t runRead(KeyedFile* f, Op&& op) {
    KeyedShared* s = f->sh();
    constexpr uint32_t kNeedsLock =
        kNoHeaderLock | kHeaderLocked | kSharedExclusive | kSharedOneCall | kAlwaysLock | kTxHeld;
    if (!(s->flags.load() & kNeedsLock) && !f->env->inTransaction) {
        SavedPosition saved(f);
        int32_t error = f->error;
        lockFile(f);
        bool ok = false;
        int32_t result = 0;
        try {
            result = op();
            ok = stillValid(f);
        } catch (const RaisedError&) {
            ok = false;  // the raise gave the locks back
        }
        if (ok) {
            releaseTransient(f, s->locks);
            unlockFile(f);
            return result;
        }
        if (f->lockOwner.load() == platform::currentThreadId()) {
            releaseTransient(f, s->locks);
            unlockFile(f);
        }
        f->error = error;
        saved.restore(f);
    }
    lockHeader(f);
    int32_t result = op();
    unlockHeader(f, false);
    return result;
}

// Copies the record last read (or, for a key-only file, the current key's value) into the
// caller's buffer, from `offset` bytes into key area plus data.
int32_t deliver(KeyedFile* f, uint8_t* buf, int32_t size, int32_t offset) {
    KeyedShared* s = f->sh();
    const uint8_t* key;
    size_t keyLength;
    const uint8_t* data = nullptr;
    size_t dataLength = 0;
    if (keyOnly(s)) {
        key = f->lastKey.data() + 1;
        keyLength =
            std::min<size_t>(static_cast<size_t>(s->keyAreaSize), valueSize(s, f->curKey) - 1);
    } else {
        const std::span<const uint8_t> record = lastRecord(f);
        key = record.data() + 1;
        keyLength = static_cast<size_t>(s->keyAreaSize);
        data = record.data() + 3 + s->keyAreaSize;
        dataLength = record.size() - 3 - static_cast<size_t>(s->keyAreaSize);
    }
    size_t total = keyLength + dataLength;
    if (!buf) return static_cast<int32_t>(std::min<size_t>(total, INT32_MAX));
    size_t from = std::min<size_t>(static_cast<size_t>(offset), total);
    size_t room = static_cast<size_t>(std::max(size, 0));
    size_t copied = 0;
    if (from < keyLength) {
        size_t n = std::min(keyLength - from, room);
        std::memcpy(buf, key + from, n);
        copied = n;
    }
    if (copied < room && total > std::max(from, keyLength)) {
        size_t start = std::max(from, keyLength) - keyLength;
        size_t n = std::min(dataLength - start, room - copied);
        std::memcpy(buf + copied, data + start, n);
        copied += n;
    }
    if (copied < total - from) return -2;
    return static_cast<int32_t>(copied);
}

// A block of the physical walk.  One that cannot be read fails the step, with the position
// moved to its far edge first (after its last slot going forwards, before its first going
// backwards): the next step then goes on with the neighbouring block instead of failing on this
// one again, so that a reader can pass over a damaged block and keep what lies beyond it.
uint8_t* walkBlock(KeyedFile* f, uint32_t block, int dir) {
    try {
        return fetchStreamBlock(f, block);
    } catch (const RaisedError&) {
        f->curRecord = block | (dir > 0 ? 0xFFu : 0u);
        throw;
    }
}

// Raw read mode: the next or previous live record in physical order.
void rawStep(KeyedFile* f, int dir) {
    KeyedShared* s = f->sh();
    uint32_t address = f->curRecord ? f->curRecord : kFirstBlock;
    uint32_t block = address & ~0xFFu;
    int slot = static_cast<int>(address & 0xFF);
    for (uint64_t guard = 0; guard < (1ull << 32); guard++) {
        uint32_t eof = get32(s->header, kOffEof);
        if (block < kFirstBlock) raiseError(f, MDK_E_EOF);
        if (segmentOf(block, s->blockSize) == segmentOf(eof, s->blockSize) &&
            offsetInSegment(block, s->blockSize) >= offsetInSegment(eof, s->blockSize))
            raiseError(f, MDK_E_EOF);
        // No slot lies beyond 255 or before 1: the block need not be read to leave it.
        const bool slotsAhead = dir > 0 ? slot < 255 : slot > 1;
        uint8_t* b = slotsAhead ? walkBlock(f, block, dir) : nullptr;
        if (b && b[0] == kTypeData) {
            int count = std::min<int>(b[5], 255);
            // Going backwards into a block, its slots above the count are passed over.
            if (dir < 0) slot = std::min(slot, count + 1);
            for (slot += dir; slot >= 1 && slot <= count; slot += dir) {
                size_t position = common::getBe16(b + 6 + 2 * slot);
                if (position == 0) continue;
                // A record offset outside the block is not passed over in silence: the read of
                // the slot fails with 9.
                if (position + 1 <= s->blockSize - 6 && (b[6 + position] & kPieceMark)) continue;
                f->curRecord = block + static_cast<uint32_t>(slot);
                return;
            }
        }
        // On to the neighbouring block, across segment boundaries.
        if (dir > 0) {
            block += s->blockSize;
            if (offsetInSegment(block, s->blockSize) >= s->maxSegmentSize &&
                segmentOf(block, s->blockSize) < s->header[kOffSegments])
                block = addressIn(segmentOf(block, s->blockSize) + 1, kFirstBlock);
            slot = 0;
        } else {
            if (offsetInSegment(block, s->blockSize) == kFirstBlock) {
                uint32_t segment = segmentOf(block, s->blockSize);
                if (segment == 0) raiseError(f, MDK_E_EOF);
                int64_t last = (s->maxSegmentSize - kFirstBlock) / s->blockSize - 1;
                block = addressIn(segment - 1, kFirstBlock + last * s->blockSize);
            } else {
                block -= s->blockSize;
            }
            slot = 256;
        }
    }
    raiseError(f, MDK_E_EOF);
}

// The fast step of environment mode 2: one entry on within the cached leaf, taken when the
// record it points at still builds that entry's value.
bool fastStep(KeyedFile* f, int dir) {
    KeyedShared* s = f->sh();
    if (!f->env->option2 || !f->leafBlock || keyOnly(s) || f->lastKey[0] == 0xFF) return false;
    uint8_t* b = store::cachedBlock(*s, f->leafBlock);
    if (!b || b[0] != kTypeKey) return false;
    int k = f->curKey;
    size_t es = entrySize(s, k);
    size_t vs = valueSize(s, k);
    int32_t index = f->leafIndex + dir;
    if (f->leafIndex >= b[5] || index < 1 || index >= b[5]) return false;
    const uint8_t* here = b + 6 + f->leafIndex * es;
    if (std::memcmp(here + 4, f->lastKey.data(), vs) != 0) return false;  // the leaf changed
    const uint8_t* entry = b + 6 + index * es;
    int32_t pointer = static_cast<int32_t>(get32(entry, 0));
    if (pointer >= 0 || entry[4] == 0xFF) return false;
    uint32_t address = static_cast<uint32_t>(-pointer);
    uint8_t value[256];
    std::memcpy(value, entry + 4, vs);  // the read may reuse the leaf's buffer
    readRecord(f, address);
    recordValue(f, k, address, f->spare.data());
    if (std::memcmp(f->spare.data(), value, vs) != 0) return false;
    f->leafIndex = index;
    if (f->depth > 0) f->path[f->depth - 1].index = index;
    f->curRecord = address;
    std::memcpy(f->lastKey.data(), value, vs);
    return true;
}

int32_t readOnce(KeyedFile* f, uint8_t* buf, int32_t size, int32_t option, int32_t offset,
                 int32_t address) {
    KeyedShared* s = f->sh();
    int op = option & 0xFF;
    bool raw = s->flags & kRawMode;
    if (op == 1 || op == 2 || op == 3) {
        int dir = op == 2 ? 1 : op == 3 ? -1 : 0;
        if (raw) {
            if (dir == 0 && (f->curRecord & 0xFF) == 0) raiseError(f, MDK_E_KEY);
            if (dir != 0) rawStep(f, dir);
            readRecord(f, f->curRecord);
            return deliver(f, buf, size, offset);
        }
        if (dir != 0 && fastStep(f, dir)) return deliver(f, buf, size, offset);
        moveBy(f, dir);
        if (!keyOnly(s)) readRecord(f, f->curRecord);
        return deliver(f, buf, size, offset);
    }
    // By record address.
    if (keyOnly(s) || address == 0) raiseError(f, MDK_E_INTERNAL);
    uint32_t at = static_cast<uint32_t>(address);
    readRecord(f, at);
    if (option & MDK_READ_NOSEARCH) {
        // Placed on the record only, as when its key is not found: a damaged tree stays unread.
        std::memset(f->lastKey.data(), 0, valueSize(s, f->curKey));
        f->leafBlock = 0;
        f->depth = 0;
    } else if (!raw) {
        int k = f->curKey;
        size_t vs = valueSize(s, k);
        recordValue(f, k, at, f->search.data());
        if (searchKey(f, k, kExact) == 0) {
            std::memcpy(f->lastKey.data(), f->search.data(), vs);
        } else {
            std::memset(f->lastKey.data(), 0, vs);
            f->leafBlock = 0;
            f->depth = 0;
        }
    }
    f->curRecord = at;
    return deliver(f, buf, size, offset);
}

}  // namespace

int32_t opSeek(MdkFile* mf, const void* key, int32_t len, int32_t keyNumber) {
    KeyedFile* f = K(mf);
    KeyedShared* s = f->sh();
    if (keyNumber == MDK_SEEK_PHYSICAL) {
        if (!s->blockMode) raiseError(f, MDK_E_KEYNUM);
        s->flags |= kRawMode;
        f->curRecord = kFirstBlock;
        return 0;
    }
    if (keyNumber >= 1) {
        if (keyNumber - 1 > s->highestKey) raiseError(f, MDK_E_KEYNUM);
        f->curKey = keyNumber - 1;
    }
    if (len < 0 || (len > 0 && !key)) raiseError(f, MDK_E_LENGTH);
    return runRead(f, [&]() -> int32_t {
        int k = f->curKey;
        size_t vs = valueSize(s, k);
        int rc = common::buildSearchValue(
            s->layout, static_cast<size_t>(k),
            {static_cast<const uint8_t*>(key), static_cast<size_t>(len)}, {f->search.data(), vs});
        if (rc) raiseError(f, rc);
        bool suffixed = s->layout.keys[k].suffix != common::KeySuffix::None;
        int32_t found = searchKey(f, k, suffixed ? kIgnoreSuffix : kExact);
        if (found != 0 && suffixed &&
            common::matchesIgnoringSuffix({f->found.data(), vs}, {f->search.data(), vs},
                                          static_cast<size_t>(len)))
            found = 0;
        if (found == 0) {
            std::memcpy(f->lastKey.data(), f->found.data(), vs);
            return 0;
        }
        std::memcpy(f->lastKey.data(), f->search.data(), vs);
        f->error = MDK_E_KEY;
        return -1;
    });
}

namespace {

// The record's lock goes back when a read ends: testing it is enough.
struct ProbeOnly {
    KeyedFile* f;
    explicit ProbeOnly(KeyedFile* file) : f(file) { f->probeLocks = true; }
    ~ProbeOnly() { f->probeLocks = false; }
    ProbeOnly(const ProbeOnly&) = delete;
    ProbeOnly& operator=(const ProbeOnly&) = delete;
};

// Records a restricted read reads in one optimistic period.  A period the file changed in is
// read again under the header lock, so a run is short enough for that to cost little and to
// hold off writers only briefly.
constexpr int kRunOfRecords = 64;

// The restricted read's way of reading here: runs of records, each inside one optimistic read
// period, instead of one exported call (with its period) per record.  What each record goes
// through is what a read of it does: the step, the test of its lock, the copy into the buffer.
int32_t readUntil(MdkFile* mf, void* buf, int32_t len, int32_t option, filter::RecordJudge judge,
                  void* context) {
    if (option & (MDK_READ_LOCK | MDK_READ_UNLOCK))
        return filter::readThroughExports(mf, buf, len, option, judge, context);
    KeyedFile* f = K(mf);
    auto* out = static_cast<uint8_t*>(buf);
    return localTrap(mf, [&]() -> int32_t {
        int32_t first = option;
        for (;;) {
            bool stopped = false;
            ProbeOnly probing(f);
            // Run again from its start when the period was not valid: the judge only looks.
            const int32_t result = runRead(f, [&]() -> int32_t {
                int32_t op = first;
                for (int i = 0; i < kRunOfRecords; i++) {
                    const int32_t n = readOnce(f, out, len, op, 0, 0);
                    op = MDK_READ_NEXT;
                    if (judge(context, n)) {
                        stopped = true;
                        return n;
                    }
                }
                stopped = false;
                return 0;
            });
            if (stopped) return result;
            first = MDK_READ_NEXT;
        }
    });
}

}  // namespace

int32_t opRestrictedRead(MdkFile* mf, void* buf, int32_t len, int32_t option, void* keyOut,
                         uint8_t* keyLengthOut, const void* endKey, int32_t endKeyLength,
                         int32_t mode) {
    return filter::restrictedReadWith(mf, buf, len, option, keyOut, keyLengthOut, endKey,
                                      endKeyLength, mode, readUntil);
}

int32_t opRead(MdkFile* mf, void* buf, int32_t len, int32_t option, int32_t offset,
               int32_t address) {
    KeyedFile* f = K(mf);
    KeyedShared* s = f->sh();
    if (offset < 0) raiseError(f, MDK_E_RECOFFSET);
    if (option & MDK_READ_LOCK) s->flags |= kSharedOneCall;
    if (option & MDK_READ_UNLOCK) {
        lockHeader(f);
        releaseHeld(f, s->locks, kReleaseAll);
        unlockHeader(f, false);
    }
    auto* out = static_cast<uint8_t*>(buf);
    if (option & MDK_READ_LOCK) {
        lockHeader(f);
        int32_t n = readOnce(f, out, len, option, offset, address);
        keepTransient(f, s->locks);
        unlockHeader(f, false);
        return n;
    }
    ProbeOnly probing(f);
    return runRead(f, [&] { return readOnce(f, out, len, option, offset, address); });
}

int32_t opSetpos(MdkFile* mf, int32_t pos) {
    KeyedFile* f = K(mf);
    KeyedShared* s = f->sh();
    lockHeader(f);
    int k = f->curKey;
    size_t vs = valueSize(s, k);
    uint32_t at = static_cast<uint32_t>(pos);
    if (!keyOnly(s)) {
        readRecord(f, at);
        recordValue(f, k, at, f->lastKey.data());
        f->curRecord = at;
        f->leafBlock = 0;
        f->depth = 0;
    } else {
        uint32_t block = at & 0x7FFFFF00u;
        uint32_t index = at & 0xFF;
        std::memcpy(f->lastKey.data(), entryValueAt(f, k, block, index).data(), vs);
        f->leafBlock = block;
        f->leafIndex = static_cast<int32_t>(index);
        f->curRecord = 0;
    }
    unlockHeader(f, false);
    return 0;
}

int32_t currentKeyLength(const MdkFile* mf) {
    const auto* f = static_cast<const KeyedFile*>(mf);
    return static_cast<int32_t>(
        f->sh()->layout.keys[static_cast<size_t>(f->curKey)].searchableLength());
}

int32_t opGetpos(MdkFile* mf) {
    KeyedFile* f = K(mf);
    if (keyOnly(f->sh()))
        return static_cast<int32_t>(f->leafBlock | static_cast<uint32_t>(f->leafIndex));
    return static_cast<int32_t>(f->curRecord);
}

int32_t opRawReadMode(MdkFile* mf, int32_t mode) {
    KeyedFile* f = K(mf);
    KeyedShared* s = f->sh();
    int32_t previous = (s->flags & kRawMode) ? 1 : 0;
    if (mode) {
        if (!s->blockMode) raiseError(f, MDK_E_KEYNUM);
        s->flags |= kRawMode;
    } else {
        s->flags &= ~kRawMode;
    }
    return previous;
}

int32_t opGetKey(MdkFile* mf, void* buf, int32_t len, int32_t keyNumber) {
    KeyedFile* f = K(mf);
    KeyedShared* s = f->sh();
    int k = keyNumber == -1 ? f->curKey : keyNumber;
    if (k < 0 || k > s->highestKey) raiseError(f, MDK_E_KEYNUM);
    size_t vs = valueSize(s, k);
    bool suffixed = s->layout.keys[k].suffix != common::KeySuffix::None;
    std::vector<uint8_t> value(vs);
    if (k == f->curKey && f->lastKey[0] != 0xFF && (f->curRecord || keyOnly(s))) {
        std::memcpy(value.data(), f->lastKey.data(), vs);
    } else {
        if (!f->curRecord || keyOnly(s)) raiseError(f, MDK_E_KEY);
        SavedPosition saved(f);
        lockHeader(f);
        readRecord(f, -static_cast<int64_t>(f->curRecord));
        recordValue(f, k, f->curRecord, f->search.data());
        int32_t rc = MDK_E_KEY;
        if (s->layout.keys[k].suffix == common::KeySuffix::Sequence) {
            // Equal values differ only by their sequence numbers: find this record's entry.
            if (findEntryOfRecord(f, k, saved.curRecord)) {
                std::memcpy(f->search.data(), f->found.data(), vs);
                rc = 0;
            }
        } else {
            rc = searchKey(f, k, kExact);
        }
        std::memcpy(value.data(), f->search.data(), vs);
        saved.restore(f);
        unlockHeader(f, false);
        if (rc != 0) raiseError(f, MDK_E_KEY);
    }
    size_t length = value[0] == 0xFF ? 0 : value[0];
    if (length >= vs) raiseError(f, MDK_E_KEYSIZE);  // never more than the value holds
    if (suffixed && length >= 4) length -= 4;
    if (!buf || static_cast<size_t>(std::max(len, 0)) < length) raiseError(f, MDK_E_LENGTH);
    std::memcpy(buf, value.data() + 1, length);
    return static_cast<int32_t>(length);
}

int32_t opKeyAdjust(MdkFile* mf, void* key, int32_t len, int32_t keyNumber) {
    KeyedFile* f = K(mf);
    KeyedShared* s = f->sh();
    int k = keyNumber >= 1 ? keyNumber - 1 : f->curKey;
    if (k > s->highestKey) raiseError(f, MDK_E_KEYNUM);
    if (len < 0 || (len > 0 && !key)) raiseError(f, MDK_E_LENGTH);
    std::vector<uint8_t> value(valueSize(s, k));
    int rc = common::buildSearchValue(s->layout, static_cast<size_t>(k),
                                      {static_cast<const uint8_t*>(key), static_cast<size_t>(len)},
                                      {value.data(), value.size()});
    if (rc) raiseError(f, rc);
    if (len > 0) std::memcpy(key, value.data() + 1, static_cast<size_t>(len));
    return 0;
}

}  // namespace mdnio::keyed
