#include "common/reclock.h"

#include <algorithm>

#include "frame/frame.h"

namespace mdnio {

namespace {

bool heldBySomeone(const RecordLocks& locks, uint64_t offset, uint32_t length) {
    return std::any_of(locks.held.begin(), locks.held.end(),
                       [&](const HeldLock& h) { return h.offset == offset && h.length == length; });
}

void unlockOs(MdkFile* file, uint64_t offset, uint32_t length) {
    platform::unlockRange(file->shared->fd, recordLockAt(offset), length);
}

constexpr uint32_t kNoHolder = UINT32_MAX;

// The place of `file` (null: a free place) in the holders, or kNoHolder.
uint32_t holderIndex(const RecordLocks& locks, const MdkFile* file) {
    auto at = std::find(locks.holders.begin(), locks.holders.end(), file);
    return at == locks.holders.end() ? kNoHolder
                                     : static_cast<uint32_t>(at - locks.holders.begin());
}

// The place of `file` in the holders, given it when it has none.
uint32_t holderOf(RecordLocks& locks, const MdkFile* file) {
    uint32_t at = holderIndex(locks, file);
    if (at != kNoHolder) return at;
    at = holderIndex(locks, nullptr);
    if (at != kNoHolder) {
        locks.holders[at] = file;
        return at;
    }
    locks.holders.push_back(file);
    return static_cast<uint32_t>(locks.holders.size() - 1);
}

}  // namespace

bool isHeld(const RecordLocks& locks, uint64_t offset) {
    return std::any_of(locks.held.begin(), locks.held.end(),
                       [&](const HeldLock& h) { return h.offset == offset; });
}

namespace {

// Takes (or, probing, tests) the record lock at `offset` through the operating system, waiting
// for another holder as the lock options say.
int32_t acquire(MdkFile* file, RecordLocks& locks, uint64_t offset, uint32_t length, bool probe) {
    int fd = file->shared->fd;
    if (locks.exclusive < 0) locks.exclusive = platform::isWritable(fd) ? 1 : 0;
    bool exclusive = locks.exclusive != 0;
    uint64_t at = recordLockAt(offset);
    auto attempt = [&] {
        return probe ? platform::probeRange(fd, at, length, exclusive)
                     : platform::lockRange(fd, at, length, exclusive);
    };
    platform::LockResult r = attempt();
    if (r == platform::LockResult::Busy && !(file->env->lockOptions & MDK_LOCK_NOWAIT_RECORD)) {
        // Wait with a growing pause (10, 20, 40, 80, 80 ... ms) for up to a minute.
        int64_t start = platform::monotonicSeconds();
        int pause = 10;
        for (;;) {
            platform::sleepMs(pause);
            r = attempt();
            if (r != platform::LockResult::Busy) break;
            if (platform::monotonicSeconds() - start > 60) break;
            pause = std::min(pause * 2, 80);
        }
    }
    return r == platform::LockResult::Ok ? 0 : MDK_E_BUSY;
}

// True when no system call is needed: the lock is this call's already, held by a handle of the
// environment, or not wanted under the lock options.
bool alreadyCovered(MdkFile* file, RecordLocks& locks, uint64_t offset) {
    if ((file->env->lockOptions & MDK_LOCK_MARKED_ONLY) &&
        !(file->shared->flags.load() & kSharedOneCall))
        return true;
    return isHeld(locks, offset);
}

}  // namespace

int32_t lockRecord(MdkFile* file, RecordLocks& locks, uint64_t offset, uint32_t length) {
    if (locks.transientLength && locks.transientOffset == offset) return 0;
    releaseTransient(file, locks);
    if (alreadyCovered(file, locks, offset)) return 0;
    int32_t rc = acquire(file, locks, offset, length, false);
    if (rc) return rc;
    locks.transientOffset = offset;
    locks.transientLength = length;
    return 0;
}

int32_t probeRecord(MdkFile* file, RecordLocks& locks, uint64_t offset, uint32_t length) {
    if (locks.transientLength && locks.transientOffset == offset) return 0;
    releaseTransient(file, locks);
    if (alreadyCovered(file, locks, offset)) return 0;
    return acquire(file, locks, offset, length, true);
}

void lockRecordOrRaise(MdkFile* file, RecordLocks& locks, uint64_t offset, uint32_t length) {
    int32_t rc = lockRecord(file, locks, offset, length);
    if (rc) raiseError(file, rc);
}

void probeRecordOrRaise(MdkFile* file, RecordLocks& locks, uint64_t offset, uint32_t length) {
    int32_t rc = probeRecord(file, locks, offset, length);
    if (rc) raiseError(file, rc);
}

void releaseTransient(MdkFile* file, RecordLocks& locks) {
    if (!locks.transientLength) return;
    if (!heldBySomeone(locks, locks.transientOffset, locks.transientLength))
        unlockOs(file, locks.transientOffset, locks.transientLength);
    locks.transientLength = 0;
    locks.transientOffset = 0;
}

bool releaseTransientWith(MdkFile* file, RecordLocks& locks, uint64_t offset, uint32_t length) {
    if (!locks.transientLength || length == 0) return false;
    const uint64_t from = offset;
    const uint64_t to = locks.transientOffset + locks.transientLength;
    // Both in the low region (below the deny byte), the record lock above the other.
    if (from + length > locks.transientOffset || platform::kLockBase + to > platform::kDenyByte)
        return false;
    for (const HeldLock& h : locks.held)
        if (h.offset < to && h.offset + h.length > from) return false;
    platform::unlockRange(file->shared->fd, platform::kLockBase + from, to - from);
    locks.transientLength = 0;
    locks.transientOffset = 0;
    return true;
}

void keepTransient(MdkFile* file, RecordLocks& locks) {
    if (!locks.transientLength) return;
    const uint32_t holder = holderOf(locks, file);
    locks.held.push_back({locks.transientOffset, locks.transientLength, holder});
    locks.transientLength = 0;
    locks.transientOffset = 0;
}

void releaseHeld(MdkFile* file, RecordLocks& locks, uint64_t offset) {
    const uint32_t holder = holderIndex(locks, file);
    if (holder == kNoHolder) return;
    auto& held = locks.held;
    bool stillHolds = false;
    for (size_t i = 0; i < held.size();) {
        HeldLock h = held[i];
        if (h.holder == holder && (offset == kReleaseAll || h.offset == offset)) {
            held.erase(held.begin() + static_cast<std::ptrdiff_t>(i));
            // Another handle of the file may hold the same range; the lock stays for it.
            bool stillHeld = heldBySomeone(locks, h.offset, h.length) ||
                             (locks.transientLength && locks.transientOffset == h.offset);
            if (!stillHeld) unlockOs(file, h.offset, h.length);
        } else {
            stillHolds = stillHolds || h.holder == holder;
            i++;
        }
    }
    if (!stillHolds) locks.holders[holder] = nullptr;
}

}  // namespace mdnio
