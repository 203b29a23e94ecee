// Positioned I/O and the other calls on an open descriptor.
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/platform.h"

namespace mdnio::platform {
namespace {

// pread/pwrite report an offset they cannot use with these; the callers tell a bad position
// apart from a failing device.
IoStatus statusOf(int err) {
    return (err == EINVAL || err == ESPIPE || err == EOVERFLOW) ? IoStatus::SeekFailed
                                                                : IoStatus::Failed;
}

// Whether [offset, offset + n) is a valid off_t range; checked before any call so that the
// position arithmetic below cannot overflow.
bool validRange(int64_t offset, size_t n) {
    return offset >= 0 && n <= static_cast<uint64_t>(INT64_MAX - offset);
}

}  // namespace

IoResult readAt(int fd, void* buf, size_t n, int64_t offset) {
    IoResult r;
    if (!validRange(offset, n)) {
        r.status = IoStatus::SeekFailed;
        return r;
    }
    auto* p = static_cast<unsigned char*>(buf);
    size_t done = 0;
    while (done < n) {
        ssize_t got = sys().pread(fd, p + done, n - done, static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            r.status = statusOf(errno);
            break;
        }
        if (got == 0) break;  // end of file: a short count, not an error
        done += static_cast<size_t>(got);
    }
    r.count = static_cast<int64_t>(done);
    return r;
}

IoResult writeAt(int fd, const void* buf, size_t n, int64_t offset) {
    IoResult r;
    if (!validRange(offset, n)) {
        r.status = IoStatus::SeekFailed;
        return r;
    }
    const auto* p = static_cast<const unsigned char*>(buf);
    size_t done = 0;
    while (done < n) {
        ssize_t put = sys().pwrite(fd, p + done, n - done, static_cast<off_t>(offset + done));
        if (put < 0) {
            if (errno == EINTR) continue;
            r.status = statusOf(errno);
            break;
        }
        // A write that moves nothing would loop for ever; the disk is full or the file at
        // its limit, and the caller must see a short write.
        if (put == 0) {
            r.status = IoStatus::Failed;
            break;
        }
        done += static_cast<size_t>(put);
    }
    r.count = static_cast<int64_t>(done);
    return r;
}

int64_t fileLength(int fd) {
    struct stat st;
    if (sys().fstat(fd, &st) != 0) return -1;
    return st.st_size;
}

bool fileIdentity(int fd, FileIdentity& out) {
    struct stat st;
    if (sys().fstat(fd, &st) != 0) return false;
    out.device = static_cast<uint64_t>(st.st_dev);
    out.inode = static_cast<uint64_t>(st.st_ino);
    return true;
}

bool truncateFile(int fd, int64_t length) {
    if (length < 0) return false;
    for (;;) {
        if (sys().ftruncate(fd, static_cast<off_t>(length)) == 0) return true;
        if (errno != EINTR) return false;
    }
}

bool syncFile(int fd) {
    return sys().fsync(fd) == 0;
}

bool isWritable(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    return flags != -1 && (flags & O_ACCMODE) != O_RDONLY;
}

uint64_t randomBits() {
    uint64_t bits = 0;
    if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof bits))
        return bits;
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return (static_cast<uint64_t>(now.tv_sec) << 32) ^ static_cast<uint64_t>(now.tv_nsec) ^
           (static_cast<uint64_t>(::getpid()) << 20);
}

}  // namespace mdnio::platform
