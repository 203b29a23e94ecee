// Header-lock periods of extended files: the byte-range header lock, the header region read
// again at every lock, and the 64-bit change counter that tells this process another one
// changed the file.
#include <algorithm>
#include <vector>

#include "extended/extended.h"

namespace mdnio::extended {

namespace {

constexpr uint64_t kSmallLockRegion = uint64_t{1} << 31;
constexpr uint64_t kLargeLockRegion = uint64_t{1} << 63;
constexpr int kRegionReads = 3;

[[noreturn]] void raiseIo(ExtFile* f, const platform::IoResult& r) {
    raiseError(f, r.status == platform::IoStatus::SeekFailed ? MDK_E_SEEK : MDK_E_READ);
}

void readExactly(ExtFile* f, uint8_t* out, size_t n, int64_t offset) {
    ExtShared* s = f->sh();
    const platform::IoResult r = store::readBytes(*s, s->fd, out, n, offset);
    if (r.status != platform::IoStatus::Ok || r.count != static_cast<int64_t>(n)) raiseIo(f, r);
}

uint64_t counterOnDisk(ExtFile* f) {
    uint8_t counter[8];
    readExactly(f, counter, sizeof counter, static_cast<int64_t>(kOffChangeCounter));
    return getBe64(counter);
}

// Reads bytes 0..57 again.  Anything there but the keys and chain heads that changed would
// make another file of it: 41.
void reloadFixed(ExtFile* f) {
    ExtShared* s = f->sh();
    uint8_t bytes[kFixedSize];
    readExactly(f, bytes, sizeof bytes, 0);
    FixedHeader h;
    if (decodeFixedHeader(bytes, h) != 0 || h.blockCode != s->fixed.blockCode ||
        h.flagsC != s->fixed.flagsC || h.keyAreaSize != s->fixed.keyAreaSize ||
        h.maxDataLength != s->fixed.maxDataLength || h.keyBuffer != s->fixed.keyBuffer)
        raiseError(f, MDK_E_BUFFER);
    s->fixed = h;
}

// Whether the key layout was read under other keys than the header now has (a key dropped by
// another process: n, s or the head of the descriptor chain moved).
bool keysMoved(const ExtShared* s) {
    return s->fixed.keyCount != s->keysFrom.keyCount ||
           s->fixed.segmentCount != s->keysFrom.segmentCount ||
           s->fixed.keyDescriptors != s->keysFrom.keyDescriptors;
}

void releaseOsLock(ExtShared* s) {
    if (s->flags & kHeaderLocked) platform::unlockRange(s->fd, headerLockAt(s->geo), 1);
    s->flags &= ~kHeaderLocked;
}

}  // namespace

uint64_t headerLockAt(const Geometry& g) {
    return (g.largeFile ? kLargeLockRegion : kSmallLockRegion) + g.blockSize;
}

void reloadRegion(ExtFile* f) {
    ExtShared* s = f->sh();
    const unsigned n = s->fixed.keyCount;
    const int64_t start = static_cast<int64_t>(s->fixed.regionStart());
    size_t groups = s->region.directory.size();
    std::vector<uint8_t> bytes;
    for (int read = 0;; read++) {
        bytes.resize(4 * size_t{n} + kCountersSize + groups);
        readExactly(f, bytes.data(), bytes.size(), start);
        const int onDisk = regionGroupCount(bytes, n);
        if (onDisk == static_cast<int>(groups)) break;
        // D moved (another process appended a group) between our reads: read it with the new D,
        // which must still fit the directory's room.
        if (onDisk <= 0 || static_cast<uint32_t>(onDisk) > s->geo.maxGroups ||
            read + 1 == kRegionReads)
            raiseError(f, MDK_E_BUFFER);
        groups = static_cast<size_t>(onDisk);
    }
    HeaderRegion r;
    if (decodeHeaderRegion(bytes, s->geo, n, r) != 0) raiseError(f, MDK_E_BUFFER);
    // Whether a group changed since its last map commit is this process's own business: the bit
    // as read is not trusted.
    for (uint8_t& d : r.directory)
        d &= static_cast<uint8_t>(~kDirChanged);
    s->region = std::move(r);
}

void lockHeader(ExtFile* f) {
    ExtShared* s = f->sh();
    lockFile(f);
    s->callChanged = false;
    if (s->flags & kHeaderHeld) {
        if (!(s->flags & kTxHeld)) s->atLock = s->region;
        return;
    }
    if (store::waitForHeaderLock(f, s->fd, headerLockAt(s->geo), s->writableFd) !=
        platform::LockResult::Ok)
        raiseError(f, MDK_E_BUSY);
    s->flags |= kHeaderLocked;
    s->flags &= ~kHeaderDirty;
    // The counter first: where the region starts depends on the number of keys, which another
    // process may have changed.
    if (counterOnDisk(f) != s->region.changeCounter) {
        // Another process wrote: nothing cached is known to hold what the file holds now.
        store::dropBuffers(*s);
        reloadFixed(f);
    }
    reloadRegion(f);
    if (keysMoved(s) && s->ready) loadKeys(f);
    s->atLock = s->region;
}

bool periodChanged(const ExtShared* s) {
    return s->dirtyCount != 0 || (s->flags & kHeaderDirty);
}

void commitMaps(MdkFile* mf) {
    ExtFile* f = X(mf);
    ExtShared* s = f->sh();
    for (uint32_t g = 0; g < s->region.groupCount(); g++) {
        uint8_t& d = s->region.directory[g];
        if (!(d & kDirChanged)) continue;
        const uint32_t working = otherMapCopy(s->geo, g, d);
        CacheBuffer* b = store::findBuffer(*s, working);
        if (!b || !b->dirty) raiseError(f, MDK_E_INTERNAL);
        const MapCommit plan = planMapCommit(s->geo, {b->data.get(), s->blockSize}, g, d);
        uint64_t offset = 0;
        if (int code = blockOffset(s->geo, plan.writeAt, offset)) raiseError(f, code);
        store::writeBuffer(f, *s, *b, b->data.get(), {s->fd, static_cast<int64_t>(offset)}, true);
        b->metadata = false;
        d = plan.directoryByte;
        s->flags |= kHeaderDirty;
    }
    s->dirtyBuffers.clear();
    s->freeCursor = {};
    s->placeCursor = {};
}

void writeRegion(MdkFile* mf) {
    ExtFile* f = X(mf);
    ExtShared* s = f->sh();
    HeaderRegion next = s->region;
    // Every region written moves the counter: other processes drop what they cached, map
    // copies included, whatever the period changed.
    next.changeCounter++;
    std::vector<uint8_t> bytes(next.size());
    if (encodeHeaderRegion(next, bytes) != bytes.size()) raiseError(f, MDK_E_INTERNAL);
    // One write, not through the mapping: a copy into the mapping cut short by a kill could
    // leave half a region.
    const platform::IoResult w = store::writeBytes(
        *s, s->fd, bytes.data(), bytes.size(), static_cast<int64_t>(s->fixed.regionStart()), false);
    if (w.status == platform::IoStatus::SeekFailed) raiseError(f, MDK_E_SEEK);
    if (w.status != platform::IoStatus::Ok || w.count != static_cast<int64_t>(bytes.size()))
        raiseError(f, MDK_E_WRITE);
    s->region = std::move(next);
    s->atLock = s->region;
    s->recordCount = static_cast<int32_t>(static_cast<uint32_t>(s->region.recordCount));
    s->flags &= ~kHeaderDirty;
}

void unlockHeader(ExtFile* f, bool force) {
    ExtShared* s = f->sh();
    releaseTransient(f, s->locks);
    const bool held = (s->flags & (kTxHeld | kSharedExclusive)) || !(s->flags & kHeaderLocked);
    if (f->env->inTransaction || (held && !(s->flags & kSharedExclusive))) {
        // Inside a transaction nothing is written before the commit; a header this period did
        // not lock is not this period's to end.
        if (!held && force) releaseOsLock(s);
        unlockFile(f);
        return;
    }
    // The period ends: what it changed reaches the file, the header region last.  A failure
    // raises, and the raise's unlock drops what is left and gives the lock back.
    if (periodChanged(s)) store::finishPeriod(f, *s, false);
    if (!held) releaseOsLock(s);
    unlockFile(f);
}

bool unchangedSinceLock(ExtFile* f) {
    ExtShared* s = f->sh();
    if (s->flags & kHeaderHeld) return true;
    return counterOnDisk(f) == s->region.changeCounter;
}

void abandonPeriod(ExtFile* f) noexcept {
    ExtShared* s = f->sh();
    store::dropDirtyBuffers(*s);
    s->flags &= ~kHeaderDirty;
    s->freeCursor = {};
    s->placeCursor = {};
    try {
        s->region = s->atLock;
    } catch (...) {
        // Without memory for the copy, the region is read again at the next lock.
        s->region.changeCounter = ~s->atLock.changeCounter;
    }
}

int32_t opLockHeader(MdkFile* f) {
    lockHeader(X(f));
    return 0;
}

int32_t opUnlockHeader(MdkFile* mf, int32_t, int32_t) {
    ExtFile* f = X(mf);
    ExtShared* s = f->sh();
    if (f->lockOwner.load() != platform::currentThreadId()) return 0;
    try {
        releaseTransient(f, s->locks);
        if (!f->env->inTransaction || !(s->flags & kTxHeld))
            abandonPeriod(f);
        else if (s->callChanged && !s->txFailure)
            s->txFailure = MDK_E_WRITE;  // half a change among the transaction's: never commit it
        if (!(s->flags & kTxHeld)) releaseOsLock(s);
    } catch (...) {
    }
    unlockFile(f);
    return 0;
}

}  // namespace mdnio::extended
