// Opening and closing classic keyed files, the operation table, the per-file part of commit
// and rollback, and the background thread's visit.
#include <algorithm>
#include <cstring>
#include <new>

#include "common/keyvalue.h"
#include "frame/env.h"
#include "keyed/describe.h"
#include "keyed/keyed.h"
#include "keyed/open.h"
#include "keyed/password.h"

namespace mdnio::keyed {

namespace {

void fail(const OpenRequest& r, int32_t code) {
    if (r.errorOut) *r.errorOut = code;
}

// Reads and checks the header and key descriptions into a new shared block.  Nothing read
// from the file is trusted: a header that describes an impossible file is refused with 5.
int32_t loadShared(const OpenRequest& req, KeyedShared* s) {
    uint8_t* h = s->header;
    platform::IoResult r = platform::readAt(req.fd, h, kHeaderSize, 0);
    if (r.status != platform::IoStatus::Ok || r.count != kHeaderSize) return MDK_E_FILETYPE;
    const Header header = decodeHeader(h);
    if (header.blockCode < 0) return MDK_E_FILETYPE;
    s->blockSize = header.blockSize();
    s->recordSize = header.recordSize;
    s->keyAreaSize = header.keyAreaSize;
    if (s->recordSize < 0 || s->keyAreaSize < 0 || s->keyAreaSize > 127) return MDK_E_FILETYPE;
    s->blockMode = header.blockMode();
    s->compressed = header.compressed();
    s->slotSize = header.slotSize();
    s->pendingSlots.setSlotSize(static_cast<size_t>(s->slotSize));
    if (s->blockMode && static_cast<uint32_t>(s->slotSize) + 10 > s->blockSize)
        return MDK_E_FILETYPE;

    uint8_t continuation[kHeaderSize] = {};
    if (header.flagsA & kDescContinued) {
        platform::IoResult c{};
        for (int attempt = 0; attempt < 40; attempt++) {
            c = platform::readAt(req.fd, continuation, kHeaderSize, kHeaderSize);
            if (c.status == platform::IoStatus::Ok) break;
            platform::sleepMs(50);
        }
        if (c.status != platform::IoStatus::Ok || c.count != kHeaderSize) return MDK_E_OPEN;
    }
    if (decodeHeaderKeys({h, kHeaderSize}, {continuation, kHeaderSize}, s->layout))
        return MDK_E_FILETYPE;
    if (s->layout.keys.empty() || s->layout.keys.size() > 16) return MDK_E_FILETYPE;
    for (const common::KeyDesc& k : s->layout.keys)
        if (common::keyBlockCapacity(s->blockSize, k.entrySize()) < 3) return MDK_E_FILETYPE;
    s->highestKey = static_cast<int>(s->layout.keys.size()) - 1;

    uint32_t segments = header.segments;
    uint32_t maxSegment = std::min<uint32_t>(s->blockSize / 256 - 1, kMaxSegments - 1);
    if (header.eof < kFirstBlock || segments > maxSegment || header.fillPercent > 100)
        return MDK_E_FILETYPE;
    if (!s->blockMode && (segments != 0 || header.eof > kMaxEof)) return MDK_E_FILETYPE;

    s->identity = header.identity;
    s->sequence = header.sequence;
    s->recordCount = static_cast<int32_t>(header.recordCount);
    if (header.flagsB & kNewRecordOnUpdate) s->flags |= kAlwaysLock;
    if ((header.flagsA & kCounterCheck) && !counterCheckHolds(h)) h[kOffFlagsA] &= ~kCounterCheck;
    if (s->blockMode) {
        s->mapSpan = s->blockSize - 6;
        s->fillThreshold = s->mapSpan * header.fillPercent / 100;
    }
    s->separator = header.separator();
    s->keyAreaWidth = s->keyAreaSize;
    s->maxDataLength = s->recordSize;
    s->longestKey = 0;
    for (const common::KeyDesc& k : s->layout.keys)
        s->longestKey = std::max<int32_t>(s->longestKey, k.length);
    s->keyBufferSize = static_cast<int32_t>(s->layout.maxValueSize());
    s->recordBufferLength = s->slotSize;

    if (s->blockMode) {
        if (segments > 0) {
            s->maxSegmentSize = platform::fileLength(req.fd);
        } else {
            int64_t mb = req.env->segmentMegabytes > 0 ? req.env->segmentMegabytes : 2000;
            int64_t group = int64_t{s->blockSize} * s->mapSpan;
            int64_t groups = std::max<int64_t>(1, (mb * (1 << 20) - kFirstBlock) / group);
            s->maxSegmentSize = groups * group + kFirstBlock;
        }
    }
    // At least max(8, 3 x keys) buffers; more when the blocks are small, up to kCacheBytes.
    // Their memory is taken when they are first filled, so a small file costs little.
    s->hooks = &kClassicStore;
    store::setUpCache(
        *s, std::max<size_t>({8, 3 * s->layout.keys.size(), store::kCacheBytes / s->blockSize}));
    s->countdown = req.env->backgroundFlush.load() ? 50 : 0;
    std::strncpy(s->fileName, req.name, sizeof s->fileName - 1);
    s->segmentFd[0] = req.fd;                  // s->fd is set by the open before anything is read
    s->view.open(req.fd, req.readWrite != 0);  // without it, reads and writes call the system
    s->writableFd = req.readWrite != 0;
    if (req.flags & MDK_OPEN_EXCLUSIVE) s->flags |= kSharedExclusive;
    return 0;
}

// A shared block of this environment for the same file that a new handle may use: its
// descriptor must allow what the handle needs.
KeyedShared* findShared(MdkEnv* env, const char* name, uint32_t identity, bool needWrite) {
    for (MdkFile* m = env->openFiles; m; m = m->next) {
        if (m->kind != MDK_KIND_KEYED || (m->flags & kFileClosedInTx)) continue;
        KeyedShared* s = K(m)->sh();
        if (s->identity != identity || std::strcmp(s->fileName, name) != 0) continue;
        if (needWrite && !s->writableFd) continue;
        return s;
    }
    return nullptr;
}

void freeShared(KeyedShared* s) {
    store::closeSegments(*s);
    s->view.close();
    if (s->fd >= 0) platform::closeFile(s->fd);
    delete s;
}

struct SharedDeleter {
    void operator()(KeyedShared* s) const { freeShared(s); }
};
// A shared block owned until a handle takes it, so that a failed open frees it.
using SharedPtr = std::unique_ptr<KeyedShared, SharedDeleter>;

void backgroundPass(MdkEnv* env) {
    for (MdkFile* m = env->openFiles; m; m = m->next) {
        if (m->kind != MDK_KIND_KEYED || (m->flags & kFileClosing)) continue;
        KeyedShared* s = K(m)->sh();
        uint32_t fl = s->flags;
        if (!(fl & (kNoHeaderLock | kHeaderLocked | kSharedExclusive))) continue;
        if (!(fl & kIdle)) {
            s->flags |= kIdle;
            continue;
        }
        if (s->lockCount.load() != 0 || !tryLockFile(m)) continue;
        try {
            lockHeader(K(m));
            unlockHeader(K(m), true);
        } catch (const RaisedError&) {
        }
        unlockFile(m);
    }
}

const MdkOpTable kOps = {
    .close = opClose,
    .dict = opDict,
    .seek = opSeek,
    .write = opWrite,
    .remove = opRemove,
    .setpos = opSetpos,
    .getpos = opGetpos,
    .commit = opCommit,
    .rollback = opRollback,
    .read = opRead,
    .rawReadMode = opRawReadMode,
    .unlockRecord = opUnlockRecord,
    .getKey = opGetKey,
    .keyAdjust = opKeyAdjust,
    .dictAdd = opDictAdd,
    .lockHeader = opLockHeader,
    .unlockHeader = opUnlockHeader,
    .dropKey = opDropKey,
    .restrictedRead = opRestrictedRead,
    .currentKey = currentKeyOf,
    .describeFile = describeFile,
    .keyLayout = keyLayoutOf,
};

}  // namespace

MdkFile* openClassic(const OpenRequest& req) {
    MdkEnv* env = req.env;
    SharedPtr owned(new (std::nothrow) KeyedShared());
    if (!owned) {
        platform::closeFile(req.fd);
        fail(req, MDK_E_MEMORY);
        return MDK_INVALID_FILE;
    }
    // From here the shared block holds the descriptor: freeing it closes it.
    owned->fd = req.fd;
    if (int32_t rc = loadShared(req, owned.get())) {
        fail(req, rc);
        return MDK_INVALID_FILE;
    }
    std::unique_ptr<KeyedFile> handle(new (std::nothrow) KeyedFile());
    if (!handle) {
        fail(req, MDK_E_MEMORY);
        return MDK_INVALID_FILE;
    }
    KeyedFile* f = handle.get();
    const KeyedShared* loaded = owned.get();
    size_t vs = loaded->layout.maxValueSize();
    try {
        f->lastKey.assign(vs, 0);
        f->lastKey[0] = 0xFF;
        f->search.assign(vs, 0);
        f->found.assign(vs, 0);
        f->spare.assign(vs, 0);
        f->readBuf.assign(static_cast<size_t>(loaded->slotSize), 0);
        if (loaded->blockMode) f->sparse.assign(loaded->blockSize, 0);
        f->writeBuf.assign(static_cast<size_t>(loaded->slotSize), 0);
        f->packBuf.assign(static_cast<size_t>(loaded->slotSize), 0);
        f->joined.reserve(static_cast<size_t>(loaded->slotSize));
    } catch (...) {
        fail(req, MDK_E_MEMORY);
        return MDK_INVALID_FILE;
    }
    f->env = env;
    f->kind = MDK_KIND_KEYED;
    f->ops = &kOps;
    f->writeAllowed = req.readWrite ? 1 : 0;
    if (req.flags & MDK_OPEN_READONLY) f->flags |= kFileWritesRefused;
    f->keyBuffer = f->lastKey.data();

    lockEnv(env);
    KeyedShared* existing = findShared(env, loaded->fileName, loaded->identity, req.readWrite != 0);
    KeyedShared* s = existing;
    if (existing) {
        owned.reset();  // one descriptor, one cache and one set of locks per file
    } else {
        s = owned.release();
        s->self = s;
    }
    f->shared = s;
    // Linked, the handle is the environment's: a failure from here on closes it.
    f->next = env->openFiles;
    env->openFiles = handle.release();
    if (env->backgroundFlush.load() && !env->backgroundRunning.load())
        startBackground(env, backgroundPass);
    unlockEnv(env);
    auto refuse = [&](int32_t code) {
        MDK_close(f);
        fail(req, code);
        return MDK_INVALID_FILE;
    };
    // The addresses in a new shared block's header are checked against the file (a shared block
    // in use has been, and may hold changes of a transaction that are not on disk yet).
    if (!existing) {
        int32_t rc = localTrap(f, [&] {
            checkHeaderAtOpen(f);
            return 0;
        });
        if (rc) return refuse(f->error.load());
    }
    if (s->header[kOffFlagsB] & kCommitting) {
        // A writer stopped half-way: its period is undone (or its mark taken off) under the
        // header lock before anything else reads the file.  lockHeader does it, except on a
        // file opened without header locking, where it is done here.
        int32_t rc = localTrap(f, [&] {
            lockHeader(f);
            if (s->header[kOffFlagsB] & kCommitting) repairHalfWritten(f);
            unlockHeader(f, true);
            return 0;
        });
        if (rc) return refuse(f->error.load());
    }
    int32_t refused =
        localTrap(f, [&] { return checkPassword(f, req.password, req.passwordLength); });
    if (refused) return refuse(refused > 0 ? refused : f->error.load());
    return f;
}

int32_t opClose(MdkFile* mf) {
    KeyedFile* f = K(mf);
    MdkEnv* env = f->env;
    KeyedShared* s = f->sh();
    lockEnv(env);
    f->curRecord = 0;
    lockFile(f);
    f->flags |= kFileClosing;
    unlockFile(f);
    try {
        lockHeader(f);
        releaseHeld(f, s->locks, kReleaseAll);
        unlockHeader(f, true);
    } catch (const RaisedError&) {
        // The header stayed busy (another process holds it) or was found damaged: nothing of
        // this handle is pending outside a transaction, so the close goes on without it.  The raise
        // gave every lock back, the environment lock included.
        lockEnv(env);
        releaseHeld(f, s->locks, kReleaseAll);
    }
    if (env->inTransaction) {
        f->flags |= kFileClosedInTx;
        unlockEnv(env);
        return 0;
    }
    bool last = sharesPhysicalFile(f) != 0;
    unlinkFile(f);
    freeRestrictProgram(f);
    delete f;
    if (last) freeShared(s);
    unlockEnv(env);
    return 0;
}

int32_t opUnlockRecord(MdkFile* mf, int32_t which) {
    KeyedFile* f = K(mf);
    lockHeader(f);
    releaseHeld(f, f->sh()->locks, which == -1 ? kReleaseAll : static_cast<uint32_t>(which));
    unlockHeader(f, true);
    return 0;
}

int32_t opLockHeader(MdkFile* mf) {
    lockHeader(K(mf));
    return 0;
}

// The unlock a raise runs: the failed call's changes are dropped, not written, and the locks
// go back.  Nothing here raises again.
int32_t opUnlockHeader(MdkFile* mf, int32_t, int32_t) {
    KeyedFile* f = K(mf);
    KeyedShared* s = f->sh();
    MdkEnv* env = f->env;
    if (f->lockOwner.load() != platform::currentThreadId()) return 0;
    try {
        s->lastRecordRead = 0;
        s->continuation = 0;
        releaseTransient(f, s->locks);
        if (!env->inTransaction || !(s->flags & kTxHeld))
            abandonPeriod(f);
        else if (s->callChanged && !s->txFailure)
            s->txFailure = MDK_E_WRITE;  // half a change among the transaction's: never commit it
        // (The OS lock alone is held when the raise came from inside lockHeader, from the
        // header's re-read.)
        if ((s->flags & (kHeaderLocked | kOsLockReadOnly | kOsLockReadWrite)) &&
            !(s->flags & kTxHeld)) {
            if (s->flags & (kOsLockReadOnly | kOsLockReadWrite))
                platform::unlockRange(s->fd, platform::kLockBase + kHeaderLockOffset, 1);
            s->flags &= ~(kHeaderLocked | kOsLockReadOnly | kOsLockReadWrite);
        }
    } catch (...) {
    }
    unlockFile(f);
    return 0;
}

namespace {
// At the end of a transaction the header lock goes back, whether the transaction changed the
// file (and held it for that) or only read it (and kept it between calls).
void releaseTransactionHeader(KeyedFile* f) {
    KeyedShared* s = f->sh();
    if (!(s->flags & (kTxHeld | kHeaderLocked))) return;
    lockFile(f);
    s->flags &= ~kTxHeld;
    if (!(s->flags & (kNoHeaderLock | kSharedExclusive))) s->flags |= kHeaderLocked;
    unlockHeader(f, true);
}

// What commit and rollback do last for a handle: its record locks and the header go back, and a
// handle closed during the transaction is closed now.
int32_t endTransaction(KeyedFile* f) {
    KeyedShared* s = f->sh();
    lockFile(f);
    releaseHeld(f, s->locks, kReleaseAll);
    unlockFile(f);
    if (f->flags & kFileClosedInTx) {
        f->flags &= ~kFileClosedInTx;
        return opClose(f);
    }
    releaseTransactionHeader(f);
    return 0;
}
}  // namespace

namespace {
// Writes what the transaction changed, as one period journalled like a call's: a commit stopped
// half-way leaves the file as the transaction found it once the next process takes the header
// lock.  Answers 0, or the code of a failed write (the period is undone by then).
int32_t commitWrites(KeyedFile* f) {
    KeyedShared* s = f->sh();
    return localTrap(f,
                     [&] {
                         lockFile(f);
                         f->curRecord = 0;
                         bool dirty = !s->pendingSlots.empty();
                         for (CacheBuffer& b : s->cache)
                             dirty = dirty || b.dirty;
                         if (dirty || (s->flags & kHeaderDirty)) {
                             s->headerWritten = false;
                             flushPeriod(f);
                         }
                         unlockFile(f);
                         return 0;
                     })
               ? f->error.load()
               : 0;
}
}  // namespace

int32_t opCommit(MdkFile* mf) {
    KeyedFile* f = K(mf);
    KeyedShared* s = f->sh();
    // Half a change among the transaction's, or a write of the commit that failed: none of it
    // may stay on the disk, and the transaction ends for the file as a rollback ends it.
    int32_t code = s->txFailure ? s->txFailure : commitWrites(f);
    if (code) {
        bool closing = f->flags & kFileClosedInTx;
        opRollback(f);  // frees a handle closed during the transaction
        if (closing) return -1;
        raiseError(f, code);
    }
    lockFile(f);
    store::shrinkCache(*s);
    endUndo(s);
    unlockFile(f);
    return endTransaction(f);
}

int32_t opRollback(MdkFile* mf) {
    KeyedFile* f = K(mf);
    KeyedShared* s = f->sh();
    lockFile(f);
    f->depth = 0;
    // The transaction's blocks, slots and header changes never reached the disk: drop them.
    abandonPeriod(f);
    s->txFailure = 0;
    dropCache(s);
    store::shrinkCache(*s);
    s->continuation = 0;
    f->curKey = 0;
    f->curRecord = 0;
    f->leafBlock = 0;
    f->lastKey[0] = 0xFF;
    unlockFile(f);
    return endTransaction(f);
}

}  // namespace mdnio::keyed

namespace mdnio::keyed {

const EngineEntry kClassicEngine = {
    .kind = MDK_KIND_KEYED,
    .form = NameForm::Local,
    .magics = {kMagic, kOldMagic},
    .open = openClassic,
    .takesPassword = true,
};

}  // namespace mdnio::keyed
