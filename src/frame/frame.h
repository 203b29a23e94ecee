// The call frame: locks with owner bookkeeping, the raise, allocation, and the wrapper every
// exported call runs.
//
// Engines never return error codes up their call chains: they call raiseError, which gives
// back every lock the calling thread holds on the handle's environment and file and throws
// RaisedError.  Each export catches it (and anything else) and returns its failure value, so
// no exception ever crosses the C interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#include "frame/handle.h"

namespace mdnio {

// What raiseError throws.  The code is already stored in the handle.
struct RaisedError {
    int32_t code;
};

void lockEnv(MdkEnv* env);
void unlockEnv(MdkEnv* env);
void lockFile(MdkFile* file);
void unlockFile(MdkFile* file);
// lockFile without waiting: false when another thread holds the file lock.
bool tryLockFile(MdkFile* file);

// Holds one of the locks above for a scope.  After a raise has given the lock back the release
// here does nothing, as the unlocks only act for the owning thread.
template <class T, void (*Lock)(T*), void (*Unlock)(T*)>
class LockHold {
  public:
    explicit LockHold(T* target) : target_(target) { Lock(target_); }
    ~LockHold() { Unlock(target_); }
    LockHold(const LockHold&) = delete;
    LockHold& operator=(const LockHold&) = delete;

  private:
    T* target_;
};
using EnvLockHold = LockHold<MdkEnv, lockEnv, unlockEnv>;
using FileLockHold = LockHold<MdkFile, lockFile, unlockFile>;

// Gives back what the calling thread holds on `file`'s environment and file lock (the header
// lock of the keyed kinds included, through the kind's unlock-header slot).  Never throws.
void releaseThreadLocks(MdkFile* file) noexcept;

// Records `code` in the handle, gives back the calling thread's locks and unwinds to the export.
[[noreturn]] void raiseError(MdkFile* file, int32_t code);

// Zero-filled memory, or raise 8.
void* allocOrRaise(MdkFile* file, size_t size);
void freeMem(void* p) noexcept;

// 0 when another handle of the environment has the same kind and shared block, else 1.
int sharesPhysicalFile(MdkFile* file);

// Links a new handle at the head of its environment's chain (under the environment lock), and
// unlinks one.
void linkFile(MdkFile* file);
void unlinkFile(MdkFile* file);

// Frees the owned constants of the handle's restrict program.
void freeRestrictProgram(MdkFile* file) noexcept;

// True for the kinds whose records the library reads itself from a file (the keyed kinds and
// indexed files), as their operation table tells by saying where the current key is kept: the
// restricted reads filter them here and they keep a restrict program in the handle.  Views and
// remote files are read by the side that serves them.
inline bool readsRecordsItself(const MdkFile* file) {
    return file->ops->currentKey != nullptr;
}

// True for the null and the all-ones handle.
inline bool badHandle(const void* p) {
    return p == nullptr || reinterpret_cast<intptr_t>(p) == -1;
}

// Runs `op` on `file` and turns whatever it throws into the answer -1 with the code in the
// handle: a raise has stored its code already, running out of memory is 8, anything else 17.
// Used by every export (through callFrame) and by the per-file steps of calls that have no frame
// of their own (commit, rollback, teardown, MDK_RawReadMode).
template <class Op>
int32_t localTrap(MdkFile* file, Op&& op) noexcept {
    try {
        return op();
    } catch (const RaisedError&) {
        return -1;
    } catch (const std::bad_alloc&) {
        releaseThreadLocks(file);
        file->error = MDK_E_MEMORY;
        return -1;
    } catch (...) {
        releaseThreadLocks(file);
        file->error = MDK_E_INTERNAL;
        return -1;
    }
}

// The wrapper of every exported call that takes a handle: handle check, closed-handle check,
// one-call mark, the write check for write-type calls, then `op`.  Answers -1 on any raise.
enum class CallKind { Plain, Write };

template <class Op>
int32_t callFrame(MdkFile* file, CallKind kind, Op&& op) noexcept {
    if (badHandle(file)) return -1;
    return localTrap(file, [&]() -> int32_t {
        if (file->flags.load() & kFileClosedInTx) raiseError(file, MDK_E_HANDLE);
        // The mark is rarely set; testing first spares most calls a locked instruction.
        if (file->shared && (file->shared->flags.load(std::memory_order_relaxed) & kSharedOneCall))
            file->shared->flags.fetch_and(~kSharedOneCall);
        if (kind == CallKind::Write) {
            if (!file->writeAllowed) raiseError(file, MDK_E_READONLY);
            if (file->flags.load() & kFileWritesRefused) raiseError(file, MDK_E_WRITE);
        }
        return op();
    });
}

// ---- refusal and do-nothing operations ---------------------------------------------------------

namespace ops {
int32_t refuseClose(MdkFile*);
int32_t refuseDict(MdkFile*, int32_t, void*, int32_t);
int32_t refuseSeek(MdkFile*, const void*, int32_t, int32_t);
int32_t refuseWrite(MdkFile*, const void*, int32_t, const void*, int32_t, int32_t, int32_t);
int32_t refuseRemove(MdkFile*, const void*, int32_t, int32_t);
int32_t refuseSetpos(MdkFile*, int32_t);
int32_t refuseGetpos(MdkFile*);
int32_t refuseCommit(MdkFile*);
int32_t refuseRollback(MdkFile*);
int32_t refuseRead(MdkFile*, void*, int32_t, int32_t, int32_t, int32_t);
int32_t refuseRawReadMode(MdkFile*, int32_t);
int32_t refuseUnlockRecord(MdkFile*, int32_t);
int32_t refuseGetKey(MdkFile*, void*, int32_t, int32_t);
int32_t refuseKeyAdjust(MdkFile*, void*, int32_t, int32_t);
int32_t refuseDictAdd(MdkFile*, int32_t, const void*, int32_t);
int32_t refuseLockHeader(MdkFile*);
int32_t refuseDropKey(MdkFile*, int32_t);
int32_t refuseRestrictedRead(MdkFile*, void*, int32_t, int32_t, void*, uint8_t*, const void*,
                             int32_t, int32_t);
int32_t nothingLockHeader(MdkFile*);
int32_t nothingUnlockHeader(MdkFile*, int32_t, int32_t);
}  // namespace ops

// A table that refuses every slot (and does nothing for unlock header); engines copy it and
// fill in what they support.
extern const MdkOpTable kRefusingTable;

}  // namespace mdnio
