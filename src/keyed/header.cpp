// Header-lock periods: the byte-range header lock, re-reading the header, the change counter
// and the rule that the header with a new counter reaches the disk before any block changed in
// the period.
#include <cstring>
#include <iterator>
#include <vector>

#include "keyed/keyed.h"

namespace mdnio::keyed {

namespace {

void takeOsHeaderLock(KeyedFile* f) {
    KeyedShared* s = f->sh();
    if (s->flags & (kOsLockReadOnly | kOsLockReadWrite)) return;  // already held
    if (store::waitForHeaderLock(f, s->fd, kHeaderLockAt, s->writableFd) !=
        platform::LockResult::Ok)
        raiseError(f, MDK_E_HEADERBUSY);
    s->flags |= s->writableFd ? kOsLockReadWrite : kOsLockReadOnly;
}

void releaseOsHeaderLock(KeyedShared* s) {
    if (s->flags & (kOsLockReadOnly | kOsLockReadWrite))
        platform::unlockRange(s->fd, kHeaderLockAt, 1);
    // Both marks go with the lock, so that the next period takes it again.
    s->flags &= ~(kHeaderLocked | kOsLockReadOnly | kOsLockReadWrite);
}

// Gives back the transient record lock and the header lock at the end of a period: in one
// system call when no other lock of the descriptor lies between them.  The record lock is
// given back after the period's writes rather than before: it only ever covers more.
void releasePeriodLocks(KeyedFile* f) {
    KeyedShared* s = f->sh();
    if ((s->flags & (kOsLockReadOnly | kOsLockReadWrite)) &&
        releaseTransientWith(f, s->locks, kHeaderLockOffset, 1)) {
        s->flags &= ~(kHeaderLocked | kOsLockReadOnly | kOsLockReadWrite);
        return;
    }
    releaseTransient(f, s->locks);
    releaseOsHeaderLock(s);
}

// Forces the header of every other file of the environment free: called when the background
// thread found this file idle, so that files idle for a whole period do not keep other
// processes out.
void releaseIdleHeaders(KeyedFile* self) {
    MdkEnv* env = self->env;
    lockEnv(env);
    for (MdkFile* m = env->openFiles; m; m = m->next) {
        if (m == self || m->kind != MDK_KIND_KEYED || !m->writeAllowed) continue;
        KeyedShared* s = K(m)->sh();
        if (s == self->sh()) continue;
        uint32_t fl = s->flags;
        if ((fl & (kNoHeaderLock | kSharedExclusive)) || !(fl & kHeaderLocked)) continue;
        // A file whose lock another thread holds is in use, not idle.
        if (!tryLockFile(m)) continue;
        s->flags &= ~kIdle;
        try {
            unlockHeader(K(m), true);
        } catch (const RaisedError&) {
        }
    }
    unlockEnv(env);
    platform::sleepMs(10);
}

// Whether `address` names a block at a block boundary of a segment that exists (slot mode: of
// the file); `group` asks for the first block of an allocation-map group.
bool blockAddress(const KeyedShared* s, uint32_t address, bool group) {
    if (address < kFirstBlock) return false;
    if (!s->blockMode) return address % 512 == 0;
    const int64_t offset = offsetInSegment(address, s->blockSize);
    const uint32_t index = static_cast<uint32_t>(offset - kFirstBlock);
    return (address & 0xFF) == 0 && belowBlockSize(index, s->blockSize) == 0 && offset <= kMaxEof &&
           segmentOf(address, s->blockSize) <= s->header[kOffSegments] &&
           (!group || index % (uint64_t{s->blockSize} * s->mapSpan) == 0);
}

// Whether the block at `address` lies before the end of file `eof`: in the last segment before
// it, in the others within the segment size.
bool blockBefore(const KeyedShared* s, uint32_t address, uint32_t eof, bool group = false) {
    if (!blockAddress(s, address, group)) return false;
    if (!s->blockMode) return uint64_t{address} + s->blockSize <= eof;
    const int64_t end = offsetInSegment(address, s->blockSize) + s->blockSize;
    if (segmentOf(address, s->blockSize) == segmentOf(eof, s->blockSize))
        return end <= offsetInSegment(eof, s->blockSize);
    return end <= s->maxSegmentSize;
}

// Whether the end of file lies inside the file that holds it, measuring that file again when it
// passes the length known of it.
bool endOfFileHolds(KeyedFile* f, uint32_t eof) {
    KeyedShared* s = f->sh();
    const uint32_t segment = s->blockMode ? segmentOf(eof, s->blockSize) : 0;
    const int64_t offset = s->blockMode ? offsetInSegment(eof, s->blockSize) : eof;
    if (offset <= s->knownLength[segment]) return true;
    int64_t unused = 0;
    const int fd = segment == 0 ? s->fd : segmentFdFor(f, eof, &unused);
    s->knownLength[segment] = platform::fileLength(fd);
    return offset <= s->knownLength[segment];
}

}  // namespace

bool headerAddressesHold(KeyedFile* f) {
    KeyedShared* s = f->sh();
    const uint8_t* h = s->header;
    const uint32_t eof = get32(h, kOffEof);
    if (eof < kFirstBlock) return false;
    if (s->blockMode
            ? !blockAddress(s, eof, false) || segmentOf(eof, s->blockSize) != h[kOffSegments]
            : eof > kMaxEof)
        return false;
    for (int k = 0; k <= s->highestKey; k++) {
        const uint32_t root = rootOf(s, k);
        if (root != 0 && !blockBefore(s, root, eof)) return false;
    }
    const uint32_t dictionary = get32(h, kOffDictionary);
    if (dictionary != 0 && !blockBefore(s, dictionary & ~0xFFu, eof)) return false;
    const uint32_t chain = get32(h, kOffDeletedOrDataGroup);
    const uint32_t free = get32(h, kOffFreeOrAllocGroup);
    if (s->blockMode) {
        // The data-block group may lie past the end (a search for room that found none moves it
        // on); the free-block group is one a search has found a free block in.
        if (chain != 0 && !blockAddress(s, chain, true)) return false;
        if (free != 0 && !blockBefore(s, free, eof, true)) return false;
    } else {
        const uint32_t firstSlot = kFirstBlock + s->blockSize;
        if (chain != 0 && (chain < firstSlot || (chain - firstSlot) % s->slotSize != 0 ||
                           uint64_t{chain} + s->slotSize > eof))
            return false;
        if (free != 0 && !blockBefore(s, free, eof)) return false;
    }
    return endOfFileHolds(f, eof);
}

void requireSoundHeader(KeyedFile* f) {
    if (headerAddressesHold(f)) return;
    // A damaged header: a write would follow its addresses past the end of the file.  The
    // blocks cached under its change counter are not to be trusted either.
    dropCache(f->sh());
    raiseError(f, MDK_E_BUFFER);
}

void checkHeaderAtOpen(KeyedFile* f) {
    if (headerAddressesHold(f)) return;
    lockHeader(f);  // re-reads the header, and raises 41 when it still does not hold ...
    if (!headerAddressesHold(f)) raiseError(f, MDK_E_BUFFER);  // ... or reads none
    unlockHeader(f, true);
}

void loadHeaderFields(KeyedShared* s) {
    const uint8_t* h = s->header;
    s->recordCount = static_cast<int32_t>(get32(h, kOffRecordCount));
    s->sequence = get32(h, kOffSequence);
}

void rereadHeader(KeyedFile* f) {
    KeyedShared* s = f->sh();
    if (s->flags & (kNoHeaderLock | kHeaderLocked | kSharedExclusive | kTxHeld)) return;
    uint8_t segmentsBefore = s->header[kOffSegments];
    platform::IoResult r{};
    for (int attempt = 0;; attempt++) {
        r = store::readBytes(*s, s->fd, s->header, kHeaderSize, 0);
        if (r.status != platform::IoStatus::SeekFailed) break;
        if (attempt == 10) raiseError(f, MDK_E_SEEK);
        platform::sleepMs(100);
    }
    if (r.status != platform::IoStatus::Ok || r.count != kHeaderSize) raiseError(f, MDK_E_READ);
    loadHeaderFields(s);
    // Another process opened a new segment: the base file has stopped growing.
    if (s->header[kOffSegments] != segmentsBefore) {
        int64_t length = platform::fileLength(s->fd);
        if (length > 0) s->maxSegmentSize = length;
    }
    s->headerWritten = false;
    // A header marked half-written is put right from the journal before it is judged: until
    // then its end of file may name blocks the killed writer never wrote (lockHeader).
    if (!(s->header[kOffFlagsB] & kCommitting)) requireSoundHeader(f);
}

void writeHeaderNow(KeyedFile* f) {
    KeyedShared* s = f->sh();
    platform::IoResult r = store::writeBytes(*s, s->fd, s->header, kHeaderSize, 0);
    if (r.status == platform::IoStatus::SeekFailed) raiseError(f, MDK_E_SEEK);
    if (r.status != platform::IoStatus::Ok || r.count != kHeaderSize) raiseError(f, MDK_E_WRITE);
    s->flags &= ~kHeaderDirty;
}

void headerChanged(KeyedFile* f) {
    KeyedShared* s = f->sh();
    s->callChanged = true;
    s->flags |= kHeaderDirty;
    // Inside a transaction the file on disk stays as it was until the commit: the header lock
    // keeps other writers out, and readers keep seeing the last committed state.
    if ((s->headerWritten && s->journal.active) || f->env->inTransaction) return;
    uint8_t* h = s->header;
    put32(h, kOffSequence, s->sequence);
    putCounterChecked(h, getCounter(h) + 1);
    s->headerWritten = true;
    // The first change of a period begins its journal and marks the header on disk; a later
    // write (the closing one) writes the header as it now is.
    if (s->journal.active)
        writeHeaderNow(f);
    else
        beginJournal(f);
}

namespace {
void beginUndo(KeyedShared* s) {
    if (s->undo.active) return;
    s->undo.active = true;
    std::memcpy(s->undo.header, s->header, kHeaderSize);
}

}  // namespace

void endUndo(KeyedShared* s) {
    s->undo.active = false;
    s->undo.layout.reset();
}

void abandonPeriod(KeyedFile* f) noexcept {
    KeyedShared* s = f->sh();
    store::dropDirtyBuffers(*s);
    s->flags &= ~kHeaderDirty;
    s->insertBlock = 0;
    s->pendingSlots.clear();
    s->pendingDescriptors.clear();
    if (!s->undo.active) return;
    std::memcpy(s->header, s->undo.header, kHeaderSize);
    if (s->undo.layout) {
        s->layout = std::move(*s->undo.layout);
        s->highestKey = static_cast<int>(s->layout.keys.size()) - 1;
    }
    // What reached the disk goes back from the journal, with a counter moved on so that every
    // other process drops what it may have read meanwhile.
    if (s->journal.active) rollBackPeriod(f);
    loadHeaderFields(s);
    endUndo(s);
}

void flushData(KeyedFile* f) {
    KeyedShared* s = f->sh();
    if (s->pendingSlots.empty() && s->dirtyCount == 0) {
        s->dirtyBuffers.clear();  // buffers written early, clean since
        return;
    }
    headerChanged(f);     // the journal and the marked header go first,
    journalWriteBack(f);  // then what every write below overwrites
    if (!s->pendingSlots.empty()) {
        // The slots go in address order; a run of neighbouring slots (a load appends them one
        // after another) goes to the file in one write.
        store::RunWriter writer(f, *s, MDK_E_EOF, s->pendingSlots.size() >= kBulkWriteFrom);
        s->pendingSlots.forEachInOrder([&](uint32_t address, const uint8_t* bytes) {
            writer.add(s->fd, address, bytes, static_cast<size_t>(s->slotSize));
        });
        writer.flush();
        s->pendingSlots.clear();
    }
    writeDirtyBlocks(f);
}

namespace {
// The descriptor table's continuation as a drop key left it, journalled like any block.
void writePendingDescriptors(KeyedFile* f) {
    KeyedShared* s = f->sh();
    if (s->pendingDescriptors.empty()) return;
    journalBytes(f, 0, kHeaderSize, kHeaderSize);
    platform::IoResult r =
        store::writeBytes(*s, s->fd, s->pendingDescriptors.data(), kHeaderSize, kHeaderSize);
    if (r.status == platform::IoStatus::SeekFailed) raiseError(f, MDK_E_SEEK);
    if (r.status != platform::IoStatus::Ok || r.count != kHeaderSize) raiseError(f, MDK_E_WRITE);
    s->pendingDescriptors.clear();
}
}  // namespace

void flushPeriod(KeyedFile* f) {
    KeyedShared* s = f->sh();
    flushData(f);
    writePendingDescriptors(f);
    if (s->flags & kHeaderDirty) {
        headerChanged(f);          // the first write of a period that changed only the header
        s->headerWritten = false;  // the closing write moves the counter again
        headerChanged(f);
    }
    endJournal(f);
}

void lockHeader(KeyedFile* f) {
    KeyedShared* s = f->sh();
    lockFile(f);
    s->callChanged = false;
    s->lastRecordRead = 0;
    s->continuation = 0;
    if (s->flags & (kNoHeaderLock | kHeaderLocked | kSharedExclusive | kTxHeld)) {
        // A file without header locking: a failed period this process could not undo is
        // undone before the next.
        if (s->journal.rollbackOwed && !(s->flags & (kHeaderLocked | kTxHeld)))
            repairHalfWritten(f);
        beginUndo(s);
        return;
    }
    takeOsHeaderLock(f);
    s->flags &= ~kHeaderDirty;
    uint32_t counter = getCounter(s->header);
    rereadHeader(f);
    // A writer stopped half-way (killed, or this process after a failed undo): put it right
    // before anything is read.
    if ((s->header[kOffFlagsB] & kCommitting) || s->journal.rollbackOwed) {
        repairHalfWritten(f);
        requireSoundHeader(f);
    }
    if (getCounter(s->header) != counter) dropCache(s);
    s->tickStamp = f->env->backgroundTicks.load();
    s->flags |= kHeaderLocked;
    beginUndo(s);
}

void unlockHeader(KeyedFile* f, bool force) {
    KeyedShared* s = f->sh();
    MdkEnv* env = f->env;
    s->lastRecordRead = 0;
    s->continuation = 0;
    uint32_t fl = s->flags;
    // The transient record lock goes back now, unless the period ends here: then it goes back
    // with the header lock (releasePeriodLocks).
    if (fl & (kNoHeaderLock | kSharedExclusive)) {
        releaseTransient(f, s->locks);
        // No header lock to give back, but the period's changes still go to disk at its end,
        // so that a later failure never takes earlier calls' changes with it.
        if (!env->inTransaction) {
            try {
                flushPeriod(f);
            } catch (...) {
                unlockFile(f);
                throw;
            }
            endUndo(s);
        }
        unlockFile(f);
        return;
    }
    if ((fl & kTxHeld) || !(fl & kHeaderLocked)) {
        releaseTransient(f, s->locks);
        unlockFile(f);
        return;
    }
    bool wake = false;
    if (fl & kIdle) {
        s->flags &= ~kIdle;
        force = true;
        wake = true;
    }
    if (--s->countdown < 0) force = true;
    if (!env->backgroundFlush.load()) force = true;
    if (env->inTransaction && !force) {
        releaseTransient(f, s->locks);
        unlockFile(f);
        return;
    }
    // From here on the period ends: whatever happens, the locks go back.
    try {
        if (!env->inTransaction) flushPeriod(f);
    } catch (...) {
        releasePeriodLocks(f);
        s->countdown = env->backgroundFlush.load() ? 50 : 0;
        unlockFile(f);
        throw;
    }
    // Without the lock the file may change under us: a later period starts from a fresh header.
    endUndo(s);
    releasePeriodLocks(f);
    s->countdown = env->backgroundFlush.load() ? 50 : 0;
    unlockFile(f);
    if (wake) releaseIdleHeaders(f);
}

}  // namespace mdnio::keyed
