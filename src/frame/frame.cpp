#include "frame/frame.h"

#include <cstdlib>

namespace mdnio {

using platform::currentThreadId;

// An owner field only answers "does this thread hold the lock?".  A thread always reads back
// what it stored itself, and no other thread ever stores its id, so the answer needs no
// ordering of its own: the mutex orders everything the lock protects.  (Sequentially
// consistent stores cost a locked instruction each.)
constexpr std::memory_order kOwnerOrder = std::memory_order_relaxed;

namespace {

// The count of holds changes only in the thread that holds the file's mutex; others (the
// background thread) merely glance at it before trying the mutex.  A plain load and store
// therefore suffice where an increment would cost a locked instruction.
void addHolds(MdkSharedFile* sh, int32_t n) {
    sh->lockCount.store(sh->lockCount.load(std::memory_order_relaxed) + n,
                        std::memory_order_relaxed);
}

}  // namespace

void lockEnv(MdkEnv* env) {
    ThreadId self = currentThreadId();
    if (env->lockOwner.load(kOwnerOrder) != self) {
        env->lock.lock();
        env->lockDepth++;
        env->lockOwner.store(self, kOwnerOrder);
    } else {
        env->lockDepth++;
    }
}

void unlockEnv(MdkEnv* env) {
    // Only the owner may give the lock back; a stray unlock from another thread (or one too
    // many) must not release a mutex it does not hold.
    if (env->lockOwner.load(kOwnerOrder) != currentThreadId() || env->lockDepth <= 0) return;
    if (--env->lockDepth > 0) return;
    env->lockOwner.store(0, kOwnerOrder);
    env->lock.unlock();
}

// The file lock is booked per handle.  A thread may take it through two handles of one file:
// each handle then enters the recursive mutex once, and each gives it back once when its own
// depth drops to zero, so the mutex is released exactly as often as it was taken while
// lockCount still sums the holds of all handles.
void lockFile(MdkFile* file) {
    MdkSharedFile* sh = file->shared;
    ThreadId self = currentThreadId();
    if (file->lockOwner.load(kOwnerOrder) != self) {
        sh->lock.lock();
        addHolds(sh, 1);
        file->lockDepth++;
        file->lockOwner.store(self, kOwnerOrder);
    } else {
        addHolds(sh, 1);
        file->lockDepth++;
    }
}

bool tryLockFile(MdkFile* file) {
    MdkSharedFile* sh = file->shared;
    ThreadId self = currentThreadId();
    if (file->lockOwner.load(kOwnerOrder) != self) {
        if (!sh->lock.tryLock()) return false;
        file->lockOwner.store(self, kOwnerOrder);
    }
    addHolds(sh, 1);
    file->lockDepth++;
    return true;
}

void unlockFile(MdkFile* file) {
    if (file->lockOwner.load(kOwnerOrder) != currentThreadId() || file->lockDepth <= 0) return;
    MdkSharedFile* sh = file->shared;
    addHolds(sh, -1);
    if (--file->lockDepth > 0) return;
    file->lockOwner.store(0, kOwnerOrder);
    sh->lock.unlock();
}

namespace {
// Set while a raise is giving locks back, so that a failure inside the unlock-header slot does
// not start a second release (it would unwind through the first).
thread_local bool tlsReleasing = false;
}  // namespace

void releaseThreadLocks(MdkFile* file) noexcept {
    if (tlsReleasing) return;
    tlsReleasing = true;
    ThreadId self = currentThreadId();
    if (file->ops && file->ops->releaseHeld) file->ops->releaseHeld(file);
    MdkEnv* env = file->env;
    if (env && env->lockOwner.load() == self) {
        env->lockDepth = 1;
        unlockEnv(env);
    }
    if (file->shared && file->lockOwner.load() == self) {
        if (file->lockDepth > 1) {
            addHolds(file->shared, -(file->lockDepth - 1));
            file->lockDepth = 1;
        }
        // The kind's unlock header writes back a held header, releases its byte-range lock and
        // gives back this last hold.  A failure inside it is swallowed: we are already failing.
        try {
            if (file->ops && file->ops->unlockHeader) file->ops->unlockHeader(file, 1, 0);
        } catch (...) {
        }
        // Kinds whose unlock header does nothing leave the hold to us.
        while (file->lockOwner.load() == self && file->lockDepth > 0)
            unlockFile(file);
    }
    // The unlock header may have taken the environment lock again on its way out.
    if (env && env->lockOwner.load() == self) {
        env->lockDepth = 1;
        unlockEnv(env);
    }
    tlsReleasing = false;
}

void raiseError(MdkFile* file, int32_t code) {
    if (file->ops && file->ops->noteRaise) file->ops->noteRaise(file, code);
    file->error = -1;
    releaseThreadLocks(file);
    file->error = code;
    throw RaisedError{code};
}

void* allocOrRaise(MdkFile* file, size_t size) {
    void* p = std::calloc(1, size ? size : 1);
    if (!p) raiseError(file, MDK_E_MEMORY);
    return p;
}

void freeMem(void* p) noexcept {
    std::free(p);
}

int sharesPhysicalFile(MdkFile* file) {
    for (MdkFile* f = file->env->openFiles; f; f = f->next) {
        if (f != file && f->kind == file->kind && f->shared == file->shared) return 0;
    }
    return 1;
}

void linkFile(MdkFile* file) {
    MdkEnv* env = file->env;
    lockEnv(env);
    file->next = env->openFiles;
    env->openFiles = file;
    unlockEnv(env);
}

void unlinkFile(MdkFile* file) {
    MdkEnv* env = file->env;
    lockEnv(env);
    for (MdkFile** p = &env->openFiles; *p; p = &(*p)->next) {
        if (*p == file) {
            *p = file->next;
            break;
        }
    }
    file->next = nullptr;
    unlockEnv(env);
}

void freeRestrictProgram(MdkFile* file) noexcept {
    for (auto& slot : file->restrict) {
        freeMem(slot.value);
        slot.value = nullptr;
        slot.capacity = 0;
    }
}

namespace ops {
namespace {
[[noreturn]] void refuse(MdkFile* f) {
    raiseError(f, MDK_E_FILETYPE);
}
}  // namespace
int32_t refuseClose(MdkFile* f) {
    refuse(f);
}
int32_t refuseDict(MdkFile* f, int32_t, void*, int32_t) {
    refuse(f);
}
int32_t refuseSeek(MdkFile* f, const void*, int32_t, int32_t) {
    refuse(f);
}
int32_t refuseWrite(MdkFile* f, const void*, int32_t, const void*, int32_t, int32_t, int32_t) {
    refuse(f);
}
int32_t refuseRemove(MdkFile* f, const void*, int32_t, int32_t) {
    refuse(f);
}
int32_t refuseSetpos(MdkFile* f, int32_t) {
    refuse(f);
}
int32_t refuseGetpos(MdkFile* f) {
    refuse(f);
}
int32_t refuseCommit(MdkFile* f) {
    refuse(f);
}
int32_t refuseRollback(MdkFile* f) {
    refuse(f);
}
int32_t refuseRead(MdkFile* f, void*, int32_t, int32_t, int32_t, int32_t) {
    refuse(f);
}
int32_t refuseRawReadMode(MdkFile* f, int32_t) {
    refuse(f);
}
int32_t refuseUnlockRecord(MdkFile* f, int32_t) {
    refuse(f);
}
int32_t refuseGetKey(MdkFile* f, void*, int32_t, int32_t) {
    refuse(f);
}
int32_t refuseKeyAdjust(MdkFile* f, void*, int32_t, int32_t) {
    refuse(f);
}
int32_t refuseDictAdd(MdkFile* f, int32_t, const void*, int32_t) {
    refuse(f);
}
int32_t refuseLockHeader(MdkFile* f) {
    refuse(f);
}
int32_t refuseDropKey(MdkFile* f, int32_t) {
    refuse(f);
}
int32_t refuseRestrictedRead(MdkFile* f, void*, int32_t, int32_t, void*, uint8_t*, const void*,
                             int32_t, int32_t) {
    refuse(f);
}
int32_t nothingLockHeader(MdkFile*) {
    return 0;
}
int32_t nothingUnlockHeader(MdkFile*, int32_t, int32_t) {
    return 0;
}
}  // namespace ops

const MdkOpTable kRefusingTable = {
    .close = ops::refuseClose,
    .dict = ops::refuseDict,
    .seek = ops::refuseSeek,
    .write = ops::refuseWrite,
    .remove = ops::refuseRemove,
    .setpos = ops::refuseSetpos,
    .getpos = ops::refuseGetpos,
    .commit = ops::refuseCommit,
    .rollback = ops::refuseRollback,
    .read = ops::refuseRead,
    .rawReadMode = ops::refuseRawReadMode,
    .unlockRecord = ops::refuseUnlockRecord,
    .getKey = ops::refuseGetKey,
    .keyAdjust = ops::refuseKeyAdjust,
    .dictAdd = ops::refuseDictAdd,
    .lockHeader = ops::refuseLockHeader,
    .unlockHeader = ops::nothingUnlockHeader,
    .dropKey = ops::refuseDropKey,
    .restrictedRead = ops::refuseRestrictedRead,
};

}  // namespace mdnio
