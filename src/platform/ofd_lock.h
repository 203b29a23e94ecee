// Open-file-description locks as the platform layer uses them internally: the deny lock of
// openFile and the byte-range locks both come here.
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>

#include "platform/platform.h"

namespace mdnio::platform::detail {

// A lock range in off_t terms.
struct LockSpan {
    off_t start;
    off_t length;
};

// The physical range locked for the logical range [offset, offset + length).
//
// fcntl locks address bytes 0 .. 2^63-1, but the formats address lock bytes anywhere in the
// unsigned 64-bit space. Offsets below 2^63 are used as they are. Offsets at or beyond 2^63
// are moved to offset - 2^63 + 2^62, that is into [2^62, 2^63); no file comes near 2^62 bytes,
// so nothing else locks there. Offsets beyond 2^63 + 2^62 would leave the off_t range, so they
// are folded into the same region modulo 2^62: two such bytes may then share a physical byte,
// which can only produce a conflict that is not there, never hide one.
//
// Empty when the range cannot be expressed: zero length, a range running past 2^64, or one
// whose physical image would cross the end of the off_t range (e.g. a range from below 2^63 to
// beyond it).
std::optional<LockSpan> mapLockRange(uint64_t offset, uint64_t length);

// One non-blocking F_OFD_SETLK of `type` (F_RDLCK, F_WRLCK, F_UNLCK) through sys().
// EAGAIN and EACCES (another description holds a conflicting lock) are Busy.
LockResult setLock(int fd, short type, LockSpan span);

}  // namespace mdnio::platform::detail
