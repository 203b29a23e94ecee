// Byte-range locks: Linux open-file-description locks, never blocking.
//
// OFD locks belong to the open file description, not to the process: two openFile calls in one
// process conflict just as two processes do, and closing one descriptor leaves the locks of
// every other descriptor alone (classic POSIX record locks would drop them all). Locks taken
// twice through the same descriptor do not stack: one unlock of the range releases it.
#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "platform/ofd_lock.h"
#include "platform/platform.h"

namespace mdnio::platform {
namespace detail {

namespace {
constexpr uint64_t kHighHalf = uint64_t{1} << 63;  // first byte fcntl cannot address
constexpr uint64_t kRegion = uint64_t{1} << 62;    // where the high half is moved to
}  // namespace

std::optional<LockSpan> mapLockRange(uint64_t offset, uint64_t length) {
    if (length == 0) return std::nullopt;
    uint64_t start = offset;
    if (offset >= kHighHalf) start = kRegion + ((offset - kHighHalf) & (kRegion - 1));
    // The physical range must end at or below 2^63. This also rejects a range running past
    // 2^64, as the physical room left is never more than the logical.
    if (length > kHighHalf - start) return std::nullopt;
    return LockSpan{static_cast<off_t>(start), static_cast<off_t>(length)};
}

LockResult setLock(int fd, short type, LockSpan span) {
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);  // l_pid must be 0 for OFD locks
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = span.start;
    fl.l_len = span.length;
    for (;;) {
        if (sys().fcntlLock(fd, F_OFD_SETLK, &fl) == 0) return LockResult::Ok;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EACCES) return LockResult::Busy;
        return LockResult::Failed;
    }
}

}  // namespace detail

LockResult lockRange(int fd, uint64_t offset, uint64_t length) {
    // fcntl refuses a write lock through a read-only descriptor, so a reader's lock is shared:
    // readers do not exclude each other, but any of them excludes a writer.
    return lockRange(fd, offset, length, isWritable(fd));
}

LockResult lockRange(int fd, uint64_t offset, uint64_t length, bool exclusive) {
    auto span = detail::mapLockRange(offset, length);
    if (!span) return LockResult::Failed;
    return detail::setLock(fd, exclusive ? F_WRLCK : F_RDLCK, *span);
}

LockResult probeRange(int fd, uint64_t offset, uint64_t length, bool exclusive) {
    auto span = detail::mapLockRange(offset, length);
    if (!span) return LockResult::Failed;
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = exclusive ? F_WRLCK : F_RDLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = span->start;
    fl.l_len = span->length;
    for (;;) {
        // F_OFD_GETLK passes over the locks of fd's own description, as F_OFD_SETLK would.
        if (sys().fcntlLock(fd, F_OFD_GETLK, &fl) == 0)
            return fl.l_type == F_UNLCK ? LockResult::Ok : LockResult::Busy;
        if (errno != EINTR) return LockResult::Failed;
    }
}

void unlockRange(int fd, uint64_t offset, uint64_t length) {
    if (auto span = detail::mapLockRange(offset, length)) detail::setLock(fd, F_UNLCK, *span);
}

bool rangeLockedByOther(int fd, uint64_t offset, uint64_t length) {
    return probeRange(fd, offset, length, true) == LockResult::Busy;
}

}  // namespace mdnio::platform
