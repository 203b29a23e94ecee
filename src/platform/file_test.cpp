#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/test_support.h"
#include "testutil.h"

namespace mdnio::platform {
namespace {

using mdnio::test::runInChild;
using mdnio::test::TempDir;
using test::openDescriptorCount;
using test::RestoreSysCalls;

const char* name(OpenResult r) {
    switch (r) {
        case OpenResult::Ok:
            return "Ok";
        case OpenResult::NotFound:
            return "NotFound";
        case OpenResult::AccessDenied:
            return "AccessDenied";
        case OpenResult::Busy:
            return "Busy";
        case OpenResult::NotRegular:
            return "NotRegular";
        case OpenResult::Failed:
            return "Failed";
    }
    return "?";
}

// A descriptor from openFile, closed with closeFile.
class Opened {
  public:
    Opened(const std::string& path, Access access, bool exclusive)
        : fd_(openFile(path.c_str(), access, exclusive, &result_)) {}
    ~Opened() { closeFile(fd_); }
    Opened(const Opened&) = delete;
    Opened& operator=(const Opened&) = delete;
    int fd() const { return fd_; }
    OpenResult result() const { return result_; }
    void close() {
        closeFile(fd_);
        fd_ = -1;
    }

  private:
    OpenResult result_ = OpenResult::Failed;
    int fd_;
};

struct OpenMode {
    Access access;
    bool exclusive;
};

// ---- opening and creating ----

int gOpenErrno;
int failingOpen(const char*, int, mode_t) {
    errno = gOpenErrno;
    return -1;
}

TEST(OpenFile, ErrorsMapToResult) {
    TempDir dir;
    std::string path = dir.file("f");
    mdnio::test::writeFile(path, "x");
    RestoreSysCalls restore;
    sys().open = failingOpen;
    struct Case {
        int err;
        OpenResult result;
    } cases[] = {{ENOENT, OpenResult::NotFound},     {ENOTDIR, OpenResult::NotFound},
                 {EACCES, OpenResult::AccessDenied}, {EPERM, OpenResult::AccessDenied},
                 {EROFS, OpenResult::AccessDenied},  {EIO, OpenResult::Failed},
                 {EMFILE, OpenResult::Failed},       {EISDIR, OpenResult::NotRegular},
                 {ENXIO, OpenResult::NotRegular}};
    for (const auto& c : cases) {
        gOpenErrno = c.err;
        OpenResult r = OpenResult::Ok;
        EXPECT_EQ(openFile(path.c_str(), Access::ReadOnly, false, &r), -1);
        EXPECT_STREQ(name(r), name(c.result)) << "errno " << c.err;
    }
}

TEST(OpenFile, MissingPathsAreNotFoundAndNeverCreated) {
    TempDir dir;
    mdnio::test::writeFile(dir.file("plain"), "x");
    for (const std::string& path : {dir.file("missing"), dir.file("plain/below")}) {
        for (Access access : {Access::ReadOnly, Access::ReadWrite}) {
            Opened f(path, access, false);
            EXPECT_EQ(f.fd(), -1) << path;
            EXPECT_STREQ(name(f.result()), "NotFound") << path;
        }
    }
    EXPECT_NE(access(dir.file("missing").c_str(), F_OK), 0);
}

TEST(OpenFile, DescriptorHasRequestedAccessAndClosesOnExec) {
    TempDir dir;
    std::string path = dir.file("f");
    mdnio::test::writeFile(path, "x");
    struct Case {
        Access access;
        bool exclusive;
        bool writable;
    } cases[] = {{Access::ReadOnly, false, false},
                 {Access::ReadOnly, true, false},
                 {Access::ReadWrite, false, true},
                 {Access::ReadWrite, true, true}};
    for (const auto& c : cases) {
        Opened f(path, c.access, c.exclusive);
        ASSERT_GE(f.fd(), 0);
        EXPECT_EQ(isWritable(f.fd()), c.writable);
        EXPECT_TRUE(fcntl(f.fd(), F_GETFD) & FD_CLOEXEC);
    }
}

TEST(CreateFile, CreatesOnlyNewFiles) {
    TempDir dir;
    std::string path = dir.file("new");
    int fd = createFile(path.c_str());
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(isWritable(fd));
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_EQ(writeAt(fd, "abc", 3, 0).count, 3);
    closeFile(fd);

    EXPECT_EQ(createFile(path.c_str()), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(mdnio::test::readFile(path), (std::vector<uint8_t>{'a', 'b', 'c'}));
    EXPECT_EQ(createFile(dir.file("missing/new").c_str()), -1);
}

// A FIFO, a directory, a socket or a device never holds a data file: every open refuses it at
// once (a FIFO without a writer would block an ordinary open for ever) and leaves nothing open.
TEST(OpenFile, RefusesWhatIsNotARegularFileWithoutWaiting) {
    TempDir dir;
    test::SpecialNames special(dir.path());
    ASSERT_TRUE(special.made());
    RestoreSysCalls restore;
    sys().open = test::neverWaitingOpen;
    test::gBlockingFifoOpen = false;
    const OpenMode modes[] = {{Access::ReadOnly, false},
                              {Access::ReadOnly, true},
                              {Access::ReadWrite, false},
                              {Access::ReadWrite, true}};
    for (const std::string& path : special.all()) {
        for (const OpenMode& mode : modes) {
            SCOPED_TRACE(path + (mode.access == Access::ReadOnly ? " ro" : " rw") +
                         (mode.exclusive ? "+excl" : ""));
            const int before = openDescriptorCount();
            {
                Opened f(path, mode.access, mode.exclusive);
                EXPECT_EQ(f.fd(), -1);
                EXPECT_STREQ(name(f.result()), "NotRegular");
            }
            EXPECT_EQ(openDescriptorCount(), before);
            ASSERT_FALSE(test::gBlockingFifoOpen) << "an open waited for a writer";
        }
    }
}
// A file beside a data file (its journal) gets the data file's permissions, whoever makes it,
// and is opened again as it stands when it exists.
TEST(OpenOrCreateLike, TakesTheModelsPermissionsAndKeepsWhatExists) {
    TempDir dir;
    std::string model = dir.file("model");
    mdnio::test::writeFile(model, std::string("m"));
    ASSERT_EQ(::chmod(model.c_str(), 0640), 0);
    int like = openPlain(model.c_str());
    ASSERT_GE(like, 0);
    mode_t old = ::umask(0);
    std::string path = dir.file("beside");
    int fd = openOrCreateLike(path.c_str(), like);
    ::umask(old);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(isWritable(fd));
    EXPECT_EQ(fileMode(path.c_str()) & 0777, 0640);
    EXPECT_EQ(writeAt(fd, "xyz", 3, 0).count, 3);
    closeFile(fd);
    fd = openOrCreateLike(path.c_str(), like);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fileLength(fd), 3);
    closeFile(fd);
    closeFile(like);
    EXPECT_TRUE(syncDirectoryOf(path.c_str()));
    EXPECT_TRUE(removeFile(path.c_str()));
    EXPECT_EQ(openPlain(path.c_str()), -1);
    EXPECT_FALSE(removeFile(path.c_str()));
}

// A regular file's descriptor waits for its reads and writes as usual: the open's no-wait flag
// is gone, and when it cannot be taken away the open is refused, leaving nothing open.
TEST(OpenFile, RegularFilesGetWaitingDescriptorsOnly) {
    TempDir dir;
    std::string path = dir.file("f");
    mdnio::test::writeFile(path, "x");
    for (Access access : {Access::ReadOnly, Access::ReadWrite}) {
        Opened f(path, access, false);
        ASSERT_GE(f.fd(), 0);
        EXPECT_EQ(fcntl(f.fd(), F_GETFL) & O_NONBLOCK, 0);
    }
    RestoreSysCalls restore;
    sys().fcntlFlags = [](int, int, int) {
        errno = EBADF;
        return -1;
    };
    const int before = openDescriptorCount();
    {
        Opened f(path, Access::ReadWrite, false);
        EXPECT_EQ(f.fd(), -1);
        EXPECT_STREQ(name(f.result()), "Failed");
    }
    EXPECT_EQ(openDescriptorCount(), before);
}

// ---- the deny lock ----

struct ChildOpen {
    std::string path;
    OpenMode mode;
};

// Exit status: 0 opened, 1 busy, 2 anything else.
int openInChild(void* arg) {
    auto* c = static_cast<ChildOpen*>(arg);
    OpenResult r;
    int fd = openFile(c->path.c_str(), c->mode.access, c->mode.exclusive, &r);
    closeFile(fd);
    return r == OpenResult::Ok ? 0 : r == OpenResult::Busy ? 1 : 2;
}

// Whoever comes second loses when either side is exclusive, in this process or another.
TEST(DenyLock, ExclusiveOpenersExcludeEveryoneElse) {
    TempDir dir;
    std::string path = dir.file("f");
    mdnio::test::writeFile(path, "data");
    const OpenMode ro{Access::ReadOnly, false}, rw{Access::ReadWrite, false},
        roExcl{Access::ReadOnly, true}, rwExcl{Access::ReadWrite, true};
    struct Case {
        OpenMode first;
        OpenMode second;
        bool busy;
    } cases[] = {
        {ro, ro, false},    {ro, rw, false},    {rw, rw, false},        {rw, ro, false},
        {rwExcl, ro, true}, {rwExcl, rw, true}, {rwExcl, rwExcl, true}, {rwExcl, roExcl, true},
        {roExcl, ro, true}, {roExcl, rw, true}, {roExcl, roExcl, true}, {ro, rwExcl, true},
        {ro, roExcl, true}, {rw, rwExcl, true}, {rw, roExcl, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "first " << (c.first.access == Access::ReadOnly ? "ro" : "rw")
                     << (c.first.exclusive ? "+excl" : "") << ", second "
                     << (c.second.access == Access::ReadOnly ? "ro" : "rw")
                     << (c.second.exclusive ? "+excl" : ""));
        Opened first(path, c.first.access, c.first.exclusive);
        ASSERT_STREQ(name(first.result()), "Ok");

        const int before = openDescriptorCount();
        {
            Opened second(path, c.second.access, c.second.exclusive);
            EXPECT_STREQ(name(second.result()), c.busy ? "Busy" : "Ok");
            EXPECT_EQ(second.fd() == -1, c.busy);
        }
        EXPECT_EQ(openDescriptorCount(), before);  // a refused open leaves nothing open

        ChildOpen child{path, c.second};
        EXPECT_EQ(runInChild(openInChild, &child), c.busy ? 1 : 0);
    }
}

// Closing the exclusive opener, with the extra descriptor of a read-only one, lets others in.
TEST(DenyLock, CloseReleasesTheDenyLock) {
    TempDir dir;
    std::string path = dir.file("f");
    mdnio::test::writeFile(path, "data");
    for (Access access : {Access::ReadOnly, Access::ReadWrite}) {
        const int before = openDescriptorCount();
        Opened exclusive(path, access, true);
        ASSERT_GE(exclusive.fd(), 0);
        ChildOpen child{path, {Access::ReadOnly, false}};
        EXPECT_EQ(runInChild(openInChild, &child), 1);

        exclusive.close();
        EXPECT_EQ(openDescriptorCount(), before);
        EXPECT_EQ(runInChild(openInChild, &child), 0);
        Opened again(path, Access::ReadWrite, true);
        EXPECT_STREQ(name(again.result()), "Ok");
    }
}

TEST(DenyLock, ReadOnlyExclusiveOpenReadsThroughItsDescriptor) {
    TempDir dir;
    std::string path = dir.file("f");
    mdnio::test::writeFile(path, "content");
    Opened f(path, Access::ReadOnly, true);
    ASSERT_GE(f.fd(), 0);
    EXPECT_FALSE(isWritable(f.fd()));
    char buf[8] = {};
    EXPECT_EQ(readAt(f.fd(), buf, 7, 0).count, 7);
    EXPECT_STREQ(buf, "content");
    EXPECT_EQ(writeAt(f.fd(), "x", 1, 0).status, IoStatus::Failed);
    // The exclusive lock is held on kDenyByte by another description than f's own.
    Opened other(path, Access::ReadWrite, false);
    EXPECT_STREQ(name(other.result()), "Busy");
}

int readOnlyOnlyOpen(const char* path, int flags, mode_t mode) {
    if ((flags & O_ACCMODE) != O_RDONLY) {
        errno = EACCES;
        return -1;
    }
    return defaultSysCalls().open(path, flags, mode);
}

TEST(DenyLock, ReadOnlyExclusiveOpenNeedsWriteAccess) {
    TempDir dir;
    std::string path = dir.file("f");
    mdnio::test::writeFile(path, "data");
    RestoreSysCalls restore;
    sys().open = readOnlyOnlyOpen;
    const int before = openDescriptorCount();
    {
        Opened f(path, Access::ReadOnly, true);
        EXPECT_EQ(f.fd(), -1);
        EXPECT_STREQ(name(f.result()), "Failed");
    }
    EXPECT_EQ(openDescriptorCount(), before);
    Opened shared(path, Access::ReadOnly, false);
    EXPECT_STREQ(name(shared.result()), "Ok");
}

int gLockErrno;
int failingLock(int, int, struct flock*) {
    errno = gLockErrno;
    return -1;
}

TEST(DenyLock, LockErrorsRefuseTheOpen) {
    TempDir dir;
    std::string path = dir.file("f");
    mdnio::test::writeFile(path, "data");
    RestoreSysCalls restore;
    sys().fcntlLock = failingLock;
    struct Case {
        int err;
        OpenResult result;
    } cases[] = {{EAGAIN, OpenResult::Busy},
                 {EACCES, OpenResult::Busy},
                 {ENOLCK, OpenResult::Failed},
                 {EINVAL, OpenResult::Failed}};
    for (const auto& c : cases) {
        for (OpenMode mode : {OpenMode{Access::ReadOnly, false}, OpenMode{Access::ReadOnly, true},
                              OpenMode{Access::ReadWrite, true}}) {
            gLockErrno = c.err;
            const int before = openDescriptorCount();
            {
                Opened f(path, mode.access, mode.exclusive);
                EXPECT_EQ(f.fd(), -1);
                EXPECT_STREQ(name(f.result()), name(c.result)) << "errno " << c.err;
            }
            EXPECT_EQ(openDescriptorCount(), before);
        }
    }
}

// The deny lock sits on kDenyByte and nowhere else, so the format's own lock bytes stay free.
TEST(DenyLock, HeldOnTheDenyByteOnly) {
    TempDir dir;
    std::string path = dir.file("f");
    mdnio::test::writeFile(path, "data");
    Opened holder(path, Access::ReadOnly, false);
    Opened probe(path, Access::ReadWrite, false);
    ASSERT_GE(holder.fd(), 0);
    ASSERT_GE(probe.fd(), 0);
    EXPECT_TRUE(rangeLockedByOther(probe.fd(), kDenyByte, 1));
    EXPECT_FALSE(rangeLockedByOther(probe.fd(), kDenyByte - 1, 1));
    EXPECT_FALSE(rangeLockedByOther(probe.fd(), kDenyByte + 1, 1));
    EXPECT_FALSE(rangeLockedByOther(probe.fd(), kLockBase, 0x80000000u));
}

// Two names of one file (a hard link) open the same file; a copy with the same bytes does not.
TEST(FileIdentity, NamesOfOneFileAgreeAndOtherFilesDiffer) {
    TempDir dir;
    const std::string a = dir.file("a.dat"), link = dir.file("b.dat"), copy = dir.file("c.dat");
    mdnio::test::writeFile(a, std::string("same bytes"));
    mdnio::test::writeFile(copy, std::string("same bytes"));
    ASSERT_EQ(::link(a.c_str(), link.c_str()), 0);
    int fds[3];
    FileIdentity ids[3];
    const std::string* names[3] = {&a, &link, &copy};
    for (int i = 0; i < 3; i++) {
        fds[i] = openFile(names[i]->c_str(), Access::ReadOnly, false, nullptr);
        ASSERT_GE(fds[i], 0);
        ASSERT_TRUE(fileIdentity(fds[i], ids[i]));
    }
    EXPECT_EQ(ids[0], ids[1]);
    EXPECT_NE(ids[0], ids[2]);
    for (int fd : fds)
        closeFile(fd);
    EXPECT_FALSE(fileIdentity(-1, ids[0]));
}

}  // namespace
}  // namespace mdnio::platform
