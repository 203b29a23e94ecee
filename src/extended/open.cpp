// Opening and closing extended files: the fixed header and its geometry, one shared state per
// file per environment (the same file by device and inode, whatever its name), the key
// descriptors read through their chain, and the per-file end of a transaction.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_set>

#include "common/keyvalue.h"
#include "extended/extended.h"
#include "frame/env.h"

namespace mdnio::extended {

namespace {

void fail(const OpenRequest& r, int32_t code) {
    if (r.errorOut) *r.errorOut = code;
}

// The facts MDGetEnvMode and the frame read from every shared file.
void setSharedFacts(ExtShared* s) {
    const FixedHeader& h = s->fixed;
    s->separator = h.separator();
    s->keyAreaWidth = h.keyAreaSize;
    s->maxDataLength = h.maxDataLength;
    s->keyBufferSize = static_cast<int32_t>(h.keyBufferSize());
    s->recordBufferLength = h.recordBufferLength();
    s->longestKey = 0;
    for (const common::KeyDesc& k : s->layout.keys)
        s->longestKey = std::max<int32_t>(s->longestKey, k.length);
    s->recordCount = static_cast<int32_t>(static_cast<uint32_t>(s->region.recordCount));
    std::memcpy(s->header, h.raw.data(), kFixedSize);
}

// Block 0 of a file not yet shared: the fixed header and the header region, as read without
// the header lock (the first lock reads the region again).  5 for anything that is not a sound
// extended header.
int32_t loadHeader(const OpenRequest& req, ExtShared* s) {
    uint8_t fixedBytes[kFixedSize];
    platform::IoResult r = platform::readAt(req.fd, fixedBytes, kFixedSize, 0);
    if (r.status != platform::IoStatus::Ok || r.count != static_cast<int64_t>(kFixedSize))
        return MDK_E_FILETYPE;
    if (decodeFixedHeader(fixedBytes, s->fixed) != 0) return MDK_E_FILETYPE;
    if (makeGeometry(s->fixed.blockCode, s->fixed.largeFile(), s->geo) != 0) return MDK_E_FILETYPE;
    std::vector<uint8_t> block(s->geo.blockSize);
    r = platform::readAt(req.fd, block.data(), block.size(), 0);
    if (r.status != platform::IoStatus::Ok || r.count != static_cast<int64_t>(block.size()))
        return MDK_E_FILETYPE;
    const std::span<const uint8_t> region =
        std::span<const uint8_t>(block).subspan(s->fixed.regionStart());
    if (decodeHeaderRegion(region, s->geo, s->fixed.keyCount, s->region) != 0)
        return MDK_E_FILETYPE;
    for (uint8_t& d : s->region.directory)
        d &= static_cast<uint8_t>(~kDirChanged);
    s->limits = recordLimits(s->fixed);
    return 0;
}

int32_t setUpShared(const OpenRequest& req, ExtShared* s) {
    if (int32_t code = loadHeader(req, s)) return code;
    if (!platform::fileIdentity(req.fd, s->identity)) return MDK_E_OPEN;
    s->hooks = &kExtendedStore;
    s->blockSize = s->geo.blockSize;
    // A changed block never reaches the file before the period's end: its place must first be
    // one the committed state does not use.
    s->writeEarly = false;
    const size_t keys = s->fixed.keyCount;
    store::setUpCache(*s, std::max<size_t>({8, 3 * keys, store::kCacheBytes / s->blockSize}));
    std::strncpy(s->fileName, req.name, sizeof s->fileName - 1);
    s->fd = req.fd;
    s->segmentFd[0] = req.fd;
    s->view.open(req.fd, req.readWrite != 0);
    s->writableFd = req.readWrite != 0;
    if (req.flags & MDK_OPEN_EXCLUSIVE) s->flags |= kSharedExclusive;
    if (s->fixed.flagsB & kAlwaysLockedNewOnUpdate) s->flags |= kAlwaysLock;
    setSharedFacts(s);
    return 0;
}

void freeShared(ExtShared* s) {
    s->view.close();
    if (s->fd >= 0) platform::closeFile(s->fd);
    delete s;
}

// A state of this environment for the same file that a new handle may share: loaded, and with
// a descriptor that allows what the handle needs.
ExtShared* findShared(MdkEnv* env, const platform::FileIdentity& identity, bool needWrite) {
    for (MdkFile* m = env->openFiles; m; m = m->next) {
        if (m->kind != MDK_KIND_KEYED2 || (m->flags & kFileClosedInTx)) continue;
        ExtShared* s = X(m)->sh();
        if (!s->ready || !(s->identity == identity)) continue;
        if (needWrite && !s->writableFd) continue;
        return s;
    }
    return nullptr;
}

// A new handle with its key and record buffers, not yet linked.
ExtFile* newHandle(const OpenRequest& req, const ExtShared* s, const MdkOpTable* ops) {
    std::unique_ptr<ExtFile> f(new (std::nothrow) ExtFile());
    if (!f) return nullptr;
    try {
        const size_t keyBuffer = s->fixed.keyBufferSize();
        const size_t R = static_cast<size_t>(s->fixed.recordBufferLength());
        for (std::vector<uint8_t>* b : {&f->current, &f->found, &f->search, &f->work})
            b->assign(keyBuffer, 0);
        for (std::vector<uint8_t>* b : {&f->record, &f->keyCopy, &f->packed})
            b->assign(R, 0);
    } catch (...) {
        return nullptr;
    }
    f->current[0] = 0xFF;
    f->env = req.env;
    f->kind = MDK_KIND_KEYED2;
    f->ops = ops;
    f->writeAllowed = req.readWrite ? 1 : 0;
    if (req.flags & MDK_OPEN_READONLY) f->flags |= kFileWritesRefused;
    f->keyBuffer = f->current.data();
    return f.release();
}

// The first lock of a new state reads its keys; any failure but a busy header or memory means
// the file is not one this engine can work with.
int32_t readKeysOnce(ExtFile* f, bool skipKeys) {
    ExtShared* s = f->sh();
    const int32_t rc = localTrap(f, [&] {
        lockHeader(f);
        if (skipKeys)
            s->keysFrom = s->fixed;
        else
            loadKeys(f);
        unlockHeader(f, true);
        return 0;
    });
    if (rc == 0) {
        lockFile(f);
        setSharedFacts(s);
        s->ready = true;
        unlockFile(f);
        return 0;
    }
    const int32_t code = f->error.load();
    return code == MDK_E_BUSY || code == MDK_E_MEMORY ? code : MDK_E_FILETYPE;
}

}  // namespace

void loadKeys(ExtFile* f) {
    ExtShared* s = f->sh();
    const size_t n = s->fixed.keyCount;
    std::vector<KeyDescriptor> keys(n);
    std::unordered_set<uint32_t> passed;
    uint32_t at = s->fixed.keyDescriptors;
    // Exactly n records: a chain that ends early, runs on, or comes back to itself would not
    // fit tables sized by n.
    for (size_t i = 0; i < n; i++) {
        if (at == 0 || !passed.insert(at).second) raiseError(f, MDK_E_FILETYPE);
        const ChainedRecord record = chainRecord(f, at, kTypeKeyDescriptor);
        if (decodeKeyDescriptor(record.payload, keys[i]) != 0) raiseError(f, MDK_E_FILETYPE);
        at = record.next;
    }
    if (at != 0) raiseError(f, MDK_E_FILETYPE);
    common::KeyLayout layout;
    if (buildKeyLayout(s->fixed, keys, layout) != 0) raiseError(f, MDK_E_FILETYPE);
    std::vector<std::string> names;
    for (size_t i = 0; i < n; i++)
        names.push_back(keyNameOf(keys[i], i));
    s->layout = std::move(layout);
    s->keyNames = std::move(names);
    s->keysFrom = s->fixed;
}

MdkFile* openHandle(const OpenRequest& req, const MdkOpTable* ops) {
    MdkEnv* env = req.env;
    auto* fresh = new (std::nothrow) ExtShared();
    if (!fresh) {
        platform::closeFile(req.fd);
        fail(req, MDK_E_MEMORY);
        return MDK_INVALID_FILE;
    }
    if (int32_t rc = setUpShared(req, fresh)) {
        freeShared(fresh);
        fail(req, rc);
        return MDK_INVALID_FILE;
    }
    lockEnv(env);
    ExtShared* s = findShared(env, fresh->identity, req.readWrite != 0);
    if (s)
        freeShared(fresh);  // one descriptor, one cache and one set of locks per file
    else
        s = fresh;
    ExtFile* f = newHandle(req, s, ops);
    if (!f) {
        if (s == fresh) freeShared(fresh);
        unlockEnv(env);
        fail(req, MDK_E_MEMORY);
        return MDK_INVALID_FILE;
    }
    f->shared = s;
    f->next = env->openFiles;
    env->openFiles = f;
    unlockEnv(env);
    // The handle is linked: from here on a failure closes it, and the state with it.
    if (s == fresh) {
        if (int32_t code = readKeysOnce(f, req.skipKeys != 0)) {
            opClose(f);
            fail(req, code);
            return MDK_INVALID_FILE;
        }
    }
    return f;
}

int32_t opClose(MdkFile* mf) {
    ExtFile* f = X(mf);
    MdkEnv* env = f->env;
    ExtShared* s = f->sh();
    lockEnv(env);
    // Inside a transaction the handle stays, with whatever it holds, until commit or rollback
    // ends it: giving up a held header now would let others see half the transaction.
    if (env->inTransaction && s->ready) {
        f->flags |= kFileClosedInTx;
        unlockEnv(env);
        return 0;
    }
    lockFile(f);
    f->flags |= kFileClosing;
    releaseHeld(f, s->locks, kReleaseAll);
    unlockFile(f);
    const bool last = sharesPhysicalFile(f) != 0;
    unlinkFile(f);
    freeRestrictProgram(f);
    delete f;
    if (last) freeShared(s);
    unlockEnv(env);
    return 0;
}

namespace {

// What commit and rollback do last for a handle: its record locks and a header held for the
// transaction go back, and a handle closed during the transaction is closed now.
int32_t endTransaction(ExtFile* f) {
    ExtShared* s = f->sh();
    lockFile(f);
    releaseHeld(f, s->locks, kReleaseAll);
    // The header goes back whether the transaction held it for its changes or kept it between
    // its reads.
    s->flags &= ~kTxHeld;
    unlockHeader(f, true);
    if (f->flags & kFileClosedInTx) {
        f->flags &= ~kFileClosedInTx;
        return opClose(f);
    }
    return 0;
}

}  // namespace

// The transaction's changes reach the file as one period at the header unlock that ends it:
// blocks, map, then the region.  A transaction that failed half-way, or a commit whose writes
// fail, ends as a rollback does, and the commit fails with the code.
int32_t opCommit(MdkFile* mf) {
    ExtFile* f = X(mf);
    int32_t code = f->sh()->txFailure;
    if (!code && localTrap(f, [&] { return endTransaction(f); }) == 0) return 0;
    if (!code) code = f->error.load();
    const bool closing = f->flags & kFileClosedInTx;
    opRollback(f);  // frees a handle closed during the transaction
    if (closing) return -1;
    raiseError(f, code);
}

int32_t opRollback(MdkFile* mf) {
    ExtFile* f = X(mf);
    ExtShared* s = f->sh();
    lockFile(f);
    abandonPeriod(f);
    s->txFailure = 0;
    store::dropBuffers(*s);
    store::shrinkCache(*s);
    f->curKey = 0;
    f->curRecord = 0;
    f->current[0] = 0xFF;
    unlockFile(f);
    return endTransaction(f);
}

}  // namespace mdnio::extended
