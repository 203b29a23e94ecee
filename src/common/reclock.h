// Record locks: byte-range locks in the lock region of a data file, one transient lock (the
// record touched last) and a list of held locks, each remembering the handle that took it.
//
// Shared by the engines whose handles of one file share a descriptor: locks of one descriptor
// never conflict with each other, so handles of one environment coordinate only through the
// lists kept here, and other processes through the operating system.
#pragma once

#include <cstdint>
#include <vector>

#include "frame/handle.h"
#include "platform/platform.h"

namespace mdnio {

// A held record lock.  Its holder is named by its place in RecordLocks::holders rather than by
// a pointer, so that a lock with its 64-bit offset takes 16 bytes: a transaction keeps one for
// every record it changes.
struct HeldLock {
    uint64_t offset;
    uint32_t length;
    uint32_t holder;  // index into RecordLocks::holders
};
static_assert(sizeof(HeldLock) == 16);

struct RecordLocks {
    uint64_t transientOffset = 0;
    uint32_t transientLength = 0;  // 0: no transient lock
    std::vector<HeldLock> held;
    // The handles that hold locks in `held`.  A handle's entry is cleared (null) once it holds
    // none, and taken again by the next handle that keeps a lock.
    std::vector<const MdkFile*> holders;
    int8_t exclusive = -1;  // the descriptor's kind of lock, asked once: 1 writable, 0 read-only
};

// All offsets are record offsets; recordLockAt gives where each lock sits.
constexpr uint64_t kReleaseAll = ~uint64_t{0};

// Where the locks of record offsets at or past 2^31 begin (only 64-bit formats have them).
constexpr uint64_t kHighLockBase = uint64_t{1} << 63;

// The byte a record offset's lock starts at.  Offsets below 2^31 lock kLockBase + offset, the
// range every process using a 32-bit format locks, so that processes keep excluding each other.
// Larger offsets would reach the deny byte there; they lock kHighLockBase + offset instead.
constexpr uint64_t recordLockAt(uint64_t offset) {
    return offset < (uint64_t{1} << 31) ? platform::kLockBase + offset : kHighLockBase + offset;
}

// Takes the record lock (offset, length) as the transient lock.  Answers 0, or 23 when another
// holder keeps it busy (at once with lock option 0x04, else after waits of up to 60 seconds).
// With lock option 0x01 the lock is taken only in calls that set the one-call mark.
int32_t lockRecord(MdkFile* file, RecordLocks& locks, uint64_t offset, uint32_t length);

// What lockRecord would answer, for a read that gives its lock back before it returns: another
// holder is waited for in the same way, but nothing is locked (no transient lock is left).
int32_t probeRecord(MdkFile* file, RecordLocks& locks, uint64_t offset, uint32_t length);

// lockRecord, raising 23 when busy.
void lockRecordOrRaise(MdkFile* file, RecordLocks& locks, uint64_t offset, uint32_t length);
// probeRecord, raising 23 when busy.
void probeRecordOrRaise(MdkFile* file, RecordLocks& locks, uint64_t offset, uint32_t length);

// Gives back the transient lock unless it is also held.
void releaseTransient(MdkFile* file, RecordLocks& locks);

// Gives back, in one system call, the transient lock and the lock of `length` bytes at
// `offset`, which lies below it (the header lock at the end of a header-lock period): the two
// ranges and what lies between them are unlocked together.  Only when that gives back nothing
// else: no held lock lies between them or on the transient lock, and the deny byte lies beyond.
// Answers false, giving back nothing, when the two cannot go together.
bool releaseTransientWith(MdkFile* file, RecordLocks& locks, uint64_t offset, uint32_t length);

// Moves the transient lock into the held list, booked on `file`.
void keepTransient(MdkFile* file, RecordLocks& locks);

// Gives back the held locks of `file` at `offset` (kReleaseAll: all of them).  Locks held by
// other handles stay.
void releaseHeld(MdkFile* file, RecordLocks& locks, uint64_t offset);

bool isHeld(const RecordLocks& locks, uint64_t offset);

}  // namespace mdnio
