#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "platform/ofd_lock.h"
#include "platform/platform.h"
#include "platform/test_support.h"
#include "testutil.h"

namespace mdnio::platform {
namespace {

using mdnio::test::runInChild;
using mdnio::test::TempDir;
using test::RestoreSysCalls;

constexpr uint64_t k2p62 = uint64_t{1} << 62;
constexpr uint64_t k2p63 = uint64_t{1} << 63;

const char* name(LockResult r) {
    switch (r) {
        case LockResult::Ok:
            return "Ok";
        case LockResult::Busy:
            return "Busy";
        case LockResult::Failed:
            return "Failed";
    }
    return "?";
}

// A file shared by the descriptors of one test.
class LockFile {
  public:
    LockFile() : path_(dir_.file("locks")) { mdnio::test::writeFile(path_, "0123456789"); }
    const std::string& path() const { return path_; }

  private:
    TempDir dir_;
    std::string path_;
};

class Fd {
  public:
    Fd(const std::string& path, Access access) {
        OpenResult r;
        fd_ = openFile(path.c_str(), access, false, &r);
        EXPECT_GE(fd_, 0) << path;
    }
    ~Fd() { close(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    operator int() const { return fd_; }
    void close() {
        closeFile(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
};

struct ChildLock {
    std::string path;
    Access access;
    uint64_t offset;
    uint64_t length;
};

// In a forked process, with a descriptor of its own: exit 0 locked, 1 busy, 2 failed.
int lockInChild(void* arg) {
    auto* c = static_cast<ChildLock*>(arg);
    OpenResult r;
    int fd = openFile(c->path.c_str(), c->access, false, &r);
    if (fd < 0) return 3;
    LockResult lock = lockRange(fd, c->offset, c->length);
    closeFile(fd);
    return lock == LockResult::Ok ? 0 : lock == LockResult::Busy ? 1 : 2;
}

// ---- conflicts ----

// A range held by one descriptor: overlapping requests through another descriptor of this
// process, or from another process, are refused; neighbours are not.
TEST(RangeLock, OverlapConflictsAcrossDescriptorsAndProcesses) {
    LockFile file;
    Fd holder(file.path(), Access::ReadWrite);
    ASSERT_STREQ(name(lockRange(holder, kLockBase + 100, 10)), "Ok");
    struct Case {
        uint64_t offset;
        uint64_t length;
        bool busy;
    } cases[] = {{100, 10, true}, {105, 1, true},  {95, 6, true},   {109, 5, true},
                 {90, 30, true},  {110, 5, false}, {90, 10, false}, {0, 1, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "offset " << c.offset << " length " << c.length);
        const uint64_t offset = kLockBase + c.offset;
        Fd other(file.path(), Access::ReadWrite);
        EXPECT_STREQ(name(lockRange(other, offset, c.length)), c.busy ? "Busy" : "Ok");
        EXPECT_EQ(rangeLockedByOther(other, offset, c.length), c.busy);

        other.close();
        ChildLock child{file.path(), Access::ReadWrite, offset, c.length};
        EXPECT_EQ(runInChild(lockInChild, &child), c.busy ? 1 : 0);
    }
}

// Locks through read-only descriptors are shared: readers do not exclude each other, but a
// reader and a writer do, whichever comes first.
TEST(RangeLock, ReadersShareWritersExclude) {
    LockFile file;
    struct Case {
        Access holder;
        Access other;
        bool busy;
    } cases[] = {{Access::ReadOnly, Access::ReadOnly, false},
                 {Access::ReadOnly, Access::ReadWrite, true},
                 {Access::ReadWrite, Access::ReadOnly, true},
                 {Access::ReadWrite, Access::ReadWrite, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "holder writable " << (c.holder == Access::ReadWrite)
                                        << ", other writable " << (c.other == Access::ReadWrite));
        Fd holder(file.path(), c.holder);
        ASSERT_STREQ(name(lockRange(holder, kLockBase + 7, 1)), "Ok");
        {
            Fd other(file.path(), c.other);
            bool exclusive = c.other == Access::ReadWrite;
            // The probe answers what the lock will, and takes nothing: a third description
            // still gets what it would have got.
            EXPECT_STREQ(name(probeRange(other, kLockBase + 7, 1, exclusive)),
                         c.busy ? "Busy" : "Ok");
            if (!c.busy) {
                EXPECT_FALSE(rangeLockedByOther(holder, kLockBase + 7, 1));
            }
            EXPECT_STREQ(name(lockRange(other, kLockBase + 7, 1, exclusive)),
                         c.busy ? "Busy" : "Ok");
        }
        ChildLock child{file.path(), c.other, kLockBase + 7, 1};
        EXPECT_EQ(runInChild(lockInChild, &child), c.busy ? 1 : 0);
    }
}

// With POSIX record locks, closing any descriptor of the file would drop all of the process's
// locks on it; here each descriptor's locks live and die with it.
TEST(RangeLock, ClosingOneDescriptorKeepsAnothersLocks) {
    LockFile file;
    Fd keeper(file.path(), Access::ReadWrite);
    ASSERT_STREQ(name(lockRange(keeper, kLockBase + 1, 1)), "Ok");
    {
        Fd closed(file.path(), Access::ReadWrite);
        ASSERT_STREQ(name(lockRange(closed, kLockBase + 2, 1)), "Ok");
        Fd untouched(file.path(), Access::ReadOnly);
    }
    Fd probe(file.path(), Access::ReadWrite);
    EXPECT_STREQ(name(lockRange(probe, kLockBase + 1, 1)), "Busy");
    EXPECT_STREQ(name(lockRange(probe, kLockBase + 2, 1)), "Ok");
    ChildLock child{file.path(), Access::ReadWrite, kLockBase + 1, 1};
    EXPECT_EQ(runInChild(lockInChild, &child), 1);
}

TEST(RangeLock, UnlockReleasesAndOwnLocksNeverConflict) {
    LockFile file;
    Fd a(file.path(), Access::ReadWrite);
    Fd b(file.path(), Access::ReadWrite);
    ASSERT_STREQ(name(lockRange(a, kLockBase, 4)), "Ok");
    EXPECT_STREQ(name(lockRange(a, kLockBase + 2, 4)), "Ok");  // overlaps its own: fine
    EXPECT_FALSE(rangeLockedByOther(a, kLockBase, 6));
    EXPECT_TRUE(rangeLockedByOther(b, kLockBase + 5, 1));

    unlockRange(a, kLockBase, 6);
    EXPECT_FALSE(rangeLockedByOther(b, kLockBase, 6));
    EXPECT_STREQ(name(lockRange(b, kLockBase, 6)), "Ok");
    EXPECT_STREQ(name(lockRange(a, kLockBase + 3, 1)), "Busy");

    // Unlocking part of a range keeps the rest.
    unlockRange(b, kLockBase, 3);
    EXPECT_STREQ(name(lockRange(a, kLockBase + 2, 1)), "Ok");
    EXPECT_STREQ(name(lockRange(a, kLockBase + 3, 1)), "Busy");
}

// ---- offsets beyond the off_t range ----

TEST(RangeLock, HighOffsetsMapBelowTheLargestOffset) {
    struct Case {
        uint64_t offset;
        uint64_t length;
        bool ok;
        uint64_t start;
    } cases[] = {
        {0, 1, true, 0},
        {kDenyByte, 1, true, kDenyByte},
        {k2p63 - 1, 1, true, k2p63 - 1},
        {k2p63 - 1, 2, false, 0},  // would cross into the high half
        {k2p63, 1, true, k2p62},
        {k2p63 + 7, 3, true, k2p62 + 7},
        {k2p63 + k2p62 - 1, 1, true, k2p63 - 1},
        {k2p63 + k2p62 - 1, 2, false, 0},
        {k2p63 + k2p62, 1, true, k2p62},  // folded onto the same region
        {UINT64_MAX, 1, true, k2p63 - 1},
        {UINT64_MAX, 2, false, 0},
        {UINT64_MAX - 9, 10, true, k2p63 - 10},
        {5, 0, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "offset " << c.offset << " length " << c.length);
        auto span = detail::mapLockRange(c.offset, c.length);
        ASSERT_EQ(span.has_value(), c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(static_cast<uint64_t>(span->start), c.start);
        EXPECT_EQ(static_cast<uint64_t>(span->length), c.length);
    }
}

// What the table above promises is what the kernel sees: a high lock is found at its image.
TEST(RangeLock, HighOffsetLocksConflictAtTheirImage) {
    LockFile file;
    struct Case {
        uint64_t offset;
        uint64_t image;
        off_t reportedLength;  // the kernel reports a lock ending at the last byte as length 0
    } cases[] = {
        {k2p63, k2p62, 1}, {k2p63 + 0x1234, k2p62 + 0x1234, 1}, {UINT64_MAX, k2p63 - 1, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.offset);
        Fd holder(file.path(), Access::ReadWrite);
        Fd other(file.path(), Access::ReadWrite);
        ASSERT_STREQ(name(lockRange(holder, c.offset, 1)), "Ok");
        EXPECT_STREQ(name(lockRange(other, c.offset, 1)), "Busy");
        EXPECT_STREQ(name(lockRange(other, c.offset - 1, 1)), "Ok");

        struct flock fl;
        std::memset(&fl, 0, sizeof fl);
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = static_cast<off_t>(c.image);
        fl.l_len = 1;
        ASSERT_EQ(fcntl(other, F_OFD_GETLK, &fl), 0);
        EXPECT_EQ(fl.l_type, F_WRLCK);
        EXPECT_EQ(static_cast<uint64_t>(fl.l_start), c.image);
        EXPECT_EQ(fl.l_len, c.reportedLength);
    }
}

TEST(RangeLock, UnrepresentableRangesFail) {
    LockFile file;
    Fd fd(file.path(), Access::ReadWrite);
    EXPECT_STREQ(name(lockRange(fd, k2p63 - 1, 2)), "Failed");
    EXPECT_STREQ(name(lockRange(fd, UINT64_MAX, 2)), "Failed");
    EXPECT_STREQ(name(lockRange(fd, kLockBase, 0)), "Failed");
    EXPECT_FALSE(rangeLockedByOther(fd, kLockBase, 0));
}

// ---- failures of the lock call ----

int gLockErrno;
int gLockCalls;
int failingLock(int, int, struct flock*) {
    ++gLockCalls;
    errno = gLockErrno;
    return -1;
}

TEST(RangeLock, LockErrorsMapToResult) {
    LockFile file;
    Fd fd(file.path(), Access::ReadWrite);
    RestoreSysCalls restore;
    sys().fcntlLock = failingLock;
    struct Case {
        int err;
        LockResult result;
    } cases[] = {{EAGAIN, LockResult::Busy},
                 {EACCES, LockResult::Busy},
                 {ENOLCK, LockResult::Failed},
                 {EINVAL, LockResult::Failed},
                 {EBADF, LockResult::Failed}};
    for (const auto& c : cases) {
        gLockErrno = c.err;
        gLockCalls = 0;
        EXPECT_STREQ(name(lockRange(fd, kLockBase, 1)), name(c.result)) << "errno " << c.err;
        EXPECT_EQ(gLockCalls, 1);
        EXPECT_FALSE(rangeLockedByOther(fd, kLockBase, 1));
    }
    resetSysCalls();
    EXPECT_STREQ(name(lockRange(fd, kLockBase, 1)), "Ok");
}

int gSeenType;
int gSeenCmd;
int recordingLock(int fd, int cmd, struct flock* fl) {
    gSeenType = fl->l_type;
    gSeenCmd = cmd;
    EXPECT_EQ(fl->l_pid, 0);
    return defaultSysCalls().fcntlLock(fd, cmd, fl);
}

// The kind of lock follows the descriptor's access; unlocking and probing use their own.
TEST(RangeLock, LockKindFollowsAccess) {
    LockFile file;
    Fd reader(file.path(), Access::ReadOnly);
    Fd writer(file.path(), Access::ReadWrite);
    RestoreSysCalls restore;
    sys().fcntlLock = recordingLock;
    struct Case {
        int fd;
        int type;
    } cases[] = {{reader, F_RDLCK}, {writer, F_WRLCK}};
    for (const auto& c : cases) {
        lockRange(c.fd, kLockBase + 50, 1);
        EXPECT_EQ(gSeenType, c.type);
        EXPECT_EQ(gSeenCmd, F_OFD_SETLK);
        unlockRange(c.fd, kLockBase + 50, 1);
        EXPECT_EQ(gSeenType, F_UNLCK);
        EXPECT_EQ(gSeenCmd, F_OFD_SETLK);
        rangeLockedByOther(c.fd, kLockBase + 50, 1);
        EXPECT_EQ(gSeenCmd, F_OFD_GETLK);
    }
}

}  // namespace
}  // namespace mdnio::platform
