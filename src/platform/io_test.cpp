#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/test_support.h"
#include "testutil.h"

namespace mdnio::platform {
namespace {

using mdnio::test::TempDir;
using test::RestoreSysCalls;

std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(i * 7 + 1);
    return v;
}

// A file of `bytes`, opened read-write.
class IoFile {
  public:
    explicit IoFile(const std::vector<uint8_t>& bytes) : path_(dir_.file("data")) {
        mdnio::test::writeFile(path_, bytes);
        OpenResult r;
        fd_ = openFile(path_.c_str(), Access::ReadWrite, false, &r);
        EXPECT_EQ(r, OpenResult::Ok);
    }
    ~IoFile() { closeFile(fd_); }
    int fd() const { return fd_; }
    const std::string& path() const { return path_; }

  private:
    TempDir dir_;
    std::string path_;
    int fd_ = -1;
};

// ---- faults the injected calls produce ----

struct Fault {
    size_t chunk = SIZE_MAX;  // most bytes one call transfers
    bool eintrFirst = false;  // every other call is interrupted
    int64_t failAfter = -1;   // after this many bytes: fail (or report 0)
    int err = 0;              // errno of the failure; 0 = answer 0 bytes
    int calls = 0;
    int64_t moved = 0;
};
Fault gFault;

// Shapes one transfer by gFault: true when the fault answers (*answer, errno), false when the
// real call is to move at most *n bytes.
bool faultBefore(size_t* n, ssize_t* answer) {
    ++gFault.calls;
    if (gFault.eintrFirst && gFault.calls % 2 == 1) {
        errno = EINTR;
        *answer = -1;
        return true;
    }
    if (gFault.failAfter >= 0 && gFault.moved >= gFault.failAfter) {
        errno = gFault.err;
        *answer = gFault.err ? -1 : 0;
        return true;
    }
    *n = std::min(*n, gFault.chunk);
    if (gFault.failAfter >= 0) {
        *n = std::min(*n, static_cast<size_t>(gFault.failAfter - gFault.moved));
    }
    return false;
}

ssize_t faultyPread(int fd, void* buf, size_t n, off_t off) {
    ssize_t answer;
    if (faultBefore(&n, &answer)) return answer;
    ssize_t got = defaultSysCalls().pread(fd, buf, n, off);
    if (got > 0) gFault.moved += got;
    return got;
}

ssize_t faultyPwrite(int fd, const void* buf, size_t n, off_t off) {
    ssize_t answer;
    if (faultBefore(&n, &answer)) return answer;
    ssize_t put = defaultSysCalls().pwrite(fd, buf, n, off);
    if (put > 0) gFault.moved += put;
    return put;
}

void injectFault(const Fault& f) {
    gFault = f;
    sys().pread = faultyPread;
    sys().pwrite = faultyPwrite;
}

// ---- tests ----

TEST(PositionedIo, WritesAndReadsAtOffsets) {
    IoFile file({});
    auto data = pattern(100);
    IoResult w = writeAt(file.fd(), data.data(), data.size(), 10);
    EXPECT_EQ(w.status, IoStatus::Ok);
    EXPECT_EQ(w.count, 100);
    EXPECT_EQ(fileLength(file.fd()), 110);

    std::vector<uint8_t> back(110, 0xEE);
    IoResult r = readAt(file.fd(), back.data(), back.size(), 0);
    EXPECT_EQ(r.status, IoStatus::Ok);
    EXPECT_EQ(r.count, 110);
    EXPECT_EQ(std::vector<uint8_t>(back.begin(), back.begin() + 10), std::vector<uint8_t>(10, 0));
    EXPECT_EQ(std::vector<uint8_t>(back.begin() + 10, back.end()), data);
}

TEST(PositionedIo, ReadAtEndOfFileIsShortNotFailed) {
    IoFile file(pattern(50));
    struct Case {
        int64_t offset;
        size_t n;
        int64_t count;
    } cases[] = {{40, 20, 10}, {49, 1, 1}, {50, 5, 0}, {1000, 5, 0}, {0, 0, 0}};
    for (const auto& c : cases) {
        std::vector<uint8_t> buf(c.n + 1);
        IoResult r = readAt(file.fd(), buf.data(), c.n, c.offset);
        EXPECT_EQ(r.status, IoStatus::Ok) << "offset " << c.offset;
        EXPECT_EQ(r.count, c.count) << "offset " << c.offset;
    }
}

// The OS may move fewer bytes than asked, or be interrupted; the whole request still completes.
TEST(PositionedIo, PartialAndInterruptedTransfersComplete) {
    struct Case {
        size_t chunk;
        bool eintr;
    } cases[] = {{1, false}, {3, false}, {7, true}, {1, true}, {4096, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "chunk " << c.chunk << " eintr " << c.eintr);
        IoFile file({});
        RestoreSysCalls restore;
        auto data = pattern(1000);

        injectFault({.chunk = c.chunk, .eintrFirst = c.eintr});
        IoResult w = writeAt(file.fd(), data.data(), data.size(), 5);
        EXPECT_EQ(w.status, IoStatus::Ok);
        EXPECT_EQ(w.count, 1000);
        EXPECT_GE(gFault.calls, static_cast<int>(1000 / c.chunk));

        injectFault({.chunk = c.chunk, .eintrFirst = c.eintr});
        std::vector<uint8_t> back(1000);
        IoResult r = readAt(file.fd(), back.data(), back.size(), 5);
        EXPECT_EQ(r.status, IoStatus::Ok);
        EXPECT_EQ(r.count, 1000);
        EXPECT_EQ(back, data);
    }
}

// The OS reports end of file early: the caller sees how much arrived, with no error.
TEST(PositionedIo, ShortReadReportsBytesRead) {
    IoFile file(pattern(100));
    RestoreSysCalls restore;
    injectFault({.chunk = 16, .failAfter = 40, .err = 0});
    std::vector<uint8_t> back(100);
    IoResult r = readAt(file.fd(), back.data(), back.size(), 0);
    EXPECT_EQ(r.status, IoStatus::Ok);
    EXPECT_EQ(r.count, 40);
    EXPECT_EQ(std::vector<uint8_t>(back.begin(), back.begin() + 40), pattern(40));
}

// A write that moves nothing cannot go on: it is a failure, with what was written counted.
TEST(PositionedIo, ZeroByteWriteFails) {
    struct Case {
        int64_t failAfter;
    } cases[] = {{0}, {5}, {63}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failAfter);
        IoFile file({});
        RestoreSysCalls restore;
        injectFault({.chunk = 10, .failAfter = c.failAfter, .err = 0});
        auto data = pattern(64);
        IoResult w = writeAt(file.fd(), data.data(), data.size(), 0);
        EXPECT_EQ(w.status, IoStatus::Failed);
        EXPECT_EQ(w.count, c.failAfter);
        resetSysCalls();
        EXPECT_EQ(fileLength(file.fd()), c.failAfter);
    }
}

// pread/pwrite errors: a position the OS cannot use is SeekFailed, anything else Failed; the
// bytes moved before the error are counted.
TEST(PositionedIo, ErrorsMapToStatus) {
    struct Case {
        int err;
        IoStatus status;
    } cases[] = {{EINVAL, IoStatus::SeekFailed},    {ESPIPE, IoStatus::SeekFailed},
                 {EOVERFLOW, IoStatus::SeekFailed}, {EIO, IoStatus::Failed},
                 {EBADF, IoStatus::Failed},         {ENOSPC, IoStatus::Failed},
                 {EFBIG, IoStatus::Failed}};
    for (const auto& c : cases) {
        for (int64_t after : {0, 12}) {
            SCOPED_TRACE(testing::Message() << "errno " << c.err << " after " << after);
            IoFile file(pattern(64));
            RestoreSysCalls restore;
            std::vector<uint8_t> buf(64);

            injectFault({.chunk = 4, .failAfter = after, .err = c.err});
            IoResult r = readAt(file.fd(), buf.data(), buf.size(), 0);
            EXPECT_EQ(r.status, c.status);
            EXPECT_EQ(r.count, after);

            injectFault({.chunk = 4, .failAfter = after, .err = c.err});
            IoResult w = writeAt(file.fd(), buf.data(), buf.size(), 0);
            EXPECT_EQ(w.status, c.status);
            EXPECT_EQ(w.count, after);
        }
    }
}

// Positions outside the off_t range never reach the OS.
TEST(PositionedIo, BadPositionsFailWithoutSystemCall) {
    IoFile file(pattern(16));
    RestoreSysCalls restore;
    struct Case {
        int64_t offset;
        size_t n;
    } cases[] = {{-1, 1}, {INT64_MIN, 4}, {INT64_MAX, 2}, {INT64_MAX - 3, 8}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.offset);
        uint8_t buf[8] = {};
        injectFault({});
        IoResult r = readAt(file.fd(), buf, c.n, c.offset);
        EXPECT_EQ(r.status, IoStatus::SeekFailed);
        EXPECT_EQ(r.count, 0);
        IoResult w = writeAt(file.fd(), buf, c.n, c.offset);
        EXPECT_EQ(w.status, IoStatus::SeekFailed);
        EXPECT_EQ(w.count, 0);
        EXPECT_EQ(gFault.calls, 0);
    }
}

TEST(FileCalls, LengthTruncateAndSync) {
    IoFile file(pattern(100));
    EXPECT_EQ(fileLength(file.fd()), 100);
    EXPECT_TRUE(truncateFile(file.fd(), 30));
    EXPECT_EQ(fileLength(file.fd()), 30);
    EXPECT_TRUE(truncateFile(file.fd(), 200));
    EXPECT_EQ(fileLength(file.fd()), 200);
    EXPECT_FALSE(truncateFile(file.fd(), -1));
    EXPECT_EQ(fileLength(file.fd()), 200);
    EXPECT_TRUE(syncFile(file.fd()));
    EXPECT_EQ(fileLength(-1), -1);
}

int gTruncateCalls;
int interruptedOnceFtruncate(int fd, off_t length) {
    if (gTruncateCalls++ == 0) {
        errno = EINTR;
        return -1;
    }
    return defaultSysCalls().ftruncate(fd, length);
}
int failingFstat(int, struct stat*) {
    errno = EIO;
    return -1;
}

TEST(FileCalls, InjectedFailuresReachTheCaller) {
    IoFile file(pattern(10));
    RestoreSysCalls restore;
    gTruncateCalls = 0;
    sys().ftruncate = interruptedOnceFtruncate;
    EXPECT_TRUE(truncateFile(file.fd(), 4));
    EXPECT_EQ(gTruncateCalls, 2);
    sys().fsync = [](int) {
        errno = EIO;
        return -1;
    };
    EXPECT_FALSE(syncFile(file.fd()));
    sys().fstat = failingFstat;
    EXPECT_EQ(fileLength(file.fd()), -1);
    resetSysCalls();
    EXPECT_EQ(fileLength(file.fd()), 4);
}

}  // namespace
}  // namespace mdnio::platform
