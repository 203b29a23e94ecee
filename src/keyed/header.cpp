// Header-lock periods: the byte-range header lock, re-reading the header, the change counter
// and the rule that the header with a new counter reaches the disk before any block changed in
// the period.
#include <cstring>
#include <iterator>
#include <vector>

#include "keyed/keyed.h"

namespace mdnio::keyed {

namespace {

constexpr uint64_t kHeaderLockAt = platform::kLockBase + kHeaderLockOffset;
constexpr int32_t kNoWaitHeader = 0x08;

void takeOsHeaderLock(KeyedFile* f) {
    KeyedShared* s = f->sh();
    if (s->flags & (kOsLockReadOnly | kOsLockReadWrite)) return;  // already held
    if (waitForHeaderLock(f, s->fd, s->writableFd) != platform::LockResult::Ok)
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

}  // namespace

platform::LockResult waitForHeaderLock(KeyedFile* f, int fd, bool exclusive) {
    platform::LockResult r = platform::lockRange(fd, kHeaderLockAt, 1, exclusive);
    if (r == platform::LockResult::Busy && !(f->env->lockOptions & kNoWaitHeader)) {
        for (int i = 0; i < 3000 && r == platform::LockResult::Busy; i++) {
            platform::sleepMs(10);
            r = platform::lockRange(fd, kHeaderLockAt, 1, exclusive);
        }
    }
    return r;
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
        r = readBytes(s, s->fd, s->header, kHeaderSize, 0);
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
}

void writeHeaderNow(KeyedFile* f) {
    KeyedShared* s = f->sh();
    platform::IoResult r = writeBytes(s, s->fd, s->header, kHeaderSize, 0);
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

// The period ended well: what it wrote stays.
void endUndo(KeyedShared* s) {
    s->undo.active = false;
}
}  // namespace

void abandonPeriod(KeyedFile* f) noexcept {
    KeyedShared* s = f->sh();
    for (CacheBuffer& b : s->cache) {
        if (b.dirty) {
            setClean(s, b);
            b.address = 0;
            b.referenced = false;
        }
    }
    s->flags &= ~kHeaderDirty;
    s->insertBlock = 0;
    s->pendingSlots.clear();
    if (!s->undo.active) return;
    std::memcpy(s->header, s->undo.header, kHeaderSize);
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
        RunWriter writer(f, MDK_E_EOF, s->pendingSlots.size() >= kBulkWriteFrom);
        s->pendingSlots.forEachInOrder([&](uint32_t address, const uint8_t* bytes) {
            writer.add(s->fd, address, bytes, static_cast<size_t>(s->S));
        });
        writer.flush();
        s->pendingSlots.clear();
    }
    writeDirtyBlocks(f);
}

void flushPeriod(KeyedFile* f) {
    KeyedShared* s = f->sh();
    flushData(f);
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
    if ((s->header[kOffFlagsB] & kCommitting) || s->journal.rollbackOwed) repairHalfWritten(f);
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
