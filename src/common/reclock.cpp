#include "common/reclock.h"

#include <algorithm>

#include "frame/frame.h"

namespace mdnio {

namespace {

constexpr int32_t kLockOnlyWhenMarked = 0x01;
constexpr int32_t kNoWaitRecord = 0x04;

bool heldBySomeone(const RecordLocks& locks, uint32_t offset, uint32_t length) {
    return std::any_of(locks.held.begin(), locks.held.end(),
                       [&](const HeldLock& h) { return h.offset == offset && h.length == length; });
}

void unlockOs(MdkFile* file, uint32_t offset, uint32_t length) {
    platform::unlockRange(file->shared->fd, platform::kLockBase + offset, length);
}

}  // namespace

bool isHeld(const RecordLocks& locks, uint32_t offset) {
    return std::any_of(locks.held.begin(), locks.held.end(),
                       [&](const HeldLock& h) { return h.offset == offset; });
}

int32_t lockRecord(MdkFile* file, RecordLocks& locks, uint32_t offset, uint32_t length) {
    if (locks.transientLength && locks.transientOffset == offset) return 0;
    releaseTransient(file, locks);
    int32_t options = file->env->lockOptions;
    if ((options & kLockOnlyWhenMarked) && !(file->shared->flags.load() & kSharedOneCall)) return 0;
    if (isHeld(locks, offset)) return 0;

    int fd = file->shared->fd;
    uint64_t at = platform::kLockBase + offset;
    platform::LockResult r = platform::lockRange(fd, at, length);
    if (r == platform::LockResult::Busy && !(options & kNoWaitRecord)) {
        // Wait with a growing pause (10, 20, 40, 80, 80 ... ms) for up to a minute.
        int64_t start = platform::monotonicSeconds();
        int pause = 10;
        for (;;) {
            platform::sleepMs(pause);
            r = platform::lockRange(fd, at, length);
            if (r != platform::LockResult::Busy) break;
            if (platform::monotonicSeconds() - start > 60) break;
            pause = std::min(pause * 2, 80);
        }
    }
    if (r != platform::LockResult::Ok) return MDK_E_BUSY;
    locks.transientOffset = offset;
    locks.transientLength = length;
    return 0;
}

void lockRecordOrRaise(MdkFile* file, RecordLocks& locks, uint32_t offset, uint32_t length) {
    int32_t rc = lockRecord(file, locks, offset, length);
    if (rc) raiseError(file, rc);
}

void releaseTransient(MdkFile* file, RecordLocks& locks) {
    if (!locks.transientLength) return;
    if (!heldBySomeone(locks, locks.transientOffset, locks.transientLength))
        unlockOs(file, locks.transientOffset, locks.transientLength);
    locks.transientLength = 0;
    locks.transientOffset = 0;
}

void keepTransient(MdkFile* file, RecordLocks& locks) {
    if (!locks.transientLength) return;
    locks.held.push_back({file, locks.transientOffset, locks.transientLength});
    locks.transientLength = 0;
    locks.transientOffset = 0;
}

void releaseHeld(MdkFile* file, RecordLocks& locks, uint32_t offset) {
    auto& held = locks.held;
    for (size_t i = 0; i < held.size();) {
        HeldLock h = held[i];
        if (h.owner == file && (offset == kReleaseAll || h.offset == offset)) {
            held.erase(held.begin() + static_cast<std::ptrdiff_t>(i));
            // Another handle of the file may hold the same range; the lock stays for it.
            bool stillHeld = heldBySomeone(locks, h.offset, h.length) ||
                             (locks.transientLength && locks.transientOffset == h.offset);
            if (!stillHeld) unlockOs(file, h.offset, h.length);
        } else {
            i++;
        }
    }
}

}  // namespace mdnio
