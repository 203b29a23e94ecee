#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <string>

#include "frame/frame.h"
#include "keyed/builder.h"
#include "open/resolve.h"
#include "platform/test_support.h"
#include "testutil.h"

using namespace mdnio;
using mdnio::test::TempDir;
using mdnio::test::writeFile;

namespace {

class OpenTest : public ::testing::Test {
  protected:
    void SetUp() override { env = MDK_AllocEnv(); }
    void TearDown() override {
        platform::resetSysCalls();
        MDK_DeAllocEnv(env);
    }

    // resolveName with its out-arguments; answers the descriptor (or -1).
    int resolve(const std::string& name, int32_t flags = 0, MdkEnv* in = nullptr) {
        kind = readWrite = error = 0;
        std::memset(resolved, 0, sizeof resolved);
        return resolveName(in ? in : env, name.c_str(), flags, resolved, &kind, &readWrite, &error);
    }

    MdkEnv* env = nullptr;
    TempDir dir;
    char resolved[kNameSize];
    int32_t kind = 0, readWrite = 0, error = 0;
};

TEST_F(OpenTest, KindFromTheMagic) {
    struct Case {
        const char* bytes;
        int32_t kind;  // 0: refused with 5
    };
    const Case cases[] = {
        {"[Mdnind]rest", MDK_KIND_INDEXED},
        {"[Mdnkey]rest", MDK_KIND_KEYED},
        {"[Mdnky2]rest", MDK_KIND_KEYED2},
        {"[Tjwind]rest", MDK_KIND_INDEXED},
        {"[Tjwkey]rest", MDK_KIND_KEYED},
        {"[MDNKEY]rest", 0},
        {"[Mdnkey", 0},
        {"", 0},
        {"[Other]]rest", 0},
    };
    for (const Case& c : cases) {
        std::string path = dir.file("f.dat");
        writeFile(path, std::string(c.bytes));
        int fd = resolve(path);
        if (c.kind) {
            ASSERT_GE(fd, 0) << c.bytes;
            EXPECT_EQ(kind, c.kind) << c.bytes;
            EXPECT_EQ(readWrite, 1);
            EXPECT_STREQ(resolved, path.c_str());
            platform::closeFile(fd);
        } else {
            EXPECT_EQ(fd, -1) << c.bytes;
            EXPECT_EQ(error, MDK_E_FILETYPE) << c.bytes;
        }
    }
}

TEST_F(OpenTest, OpenExtReportsThroughTheErrorArgument) {
    int32_t err = -1;
    EXPECT_EQ(MDK_OpenExt(env, dir.file("missing.dat").c_str(), nullptr, 0, 0, &err),
              MDK_INVALID_FILE);
    EXPECT_EQ(err, MDK_E_NOFILE);
    writeFile(dir.file("short"), std::string("[Mdn"));
    EXPECT_EQ(MDK_OpenExt(env, dir.file("short").c_str(), nullptr, 0, 0, &err), MDK_INVALID_FILE);
    EXPECT_EQ(err, MDK_E_FILETYPE);
    EXPECT_EQ(MDK_OpenExt(env, "", nullptr, 0, 0, &err), MDK_INVALID_FILE);
    EXPECT_EQ(err, MDK_E_OPEN);
    EXPECT_EQ(MDK_OpenExt(env, nullptr, nullptr, 0, 0, nullptr), MDK_INVALID_FILE);
    EXPECT_EQ(MDK_open(dir.file("missing.dat").c_str()), MDK_INVALID_FILE);
}

TEST_F(OpenTest, NamesLongerThanTheBuffersAreRefused) {
    std::string longName = dir.path() + "/" + std::string(300, 'x');
    EXPECT_EQ(resolve(longName), -1);
    EXPECT_EQ(error, MDK_E_OPEN);
    EXPECT_EQ(resolve("[rmt:host;1]" + std::string(300, 'y')), -1);
    EXPECT_EQ(error, MDK_E_OPEN);
}

TEST_F(OpenTest, RelativeNamesJoinTheCurrentDirectory) {
    writeFile(dir.file("rel.dat"), std::string("[Mdnkey]"));
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    int fd = resolve("rel.dat");
    ASSERT_EQ(chdir(old), 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(std::string(resolved), std::string(cwd) + "/rel.dat");
    platform::closeFile(fd);
}

TEST_F(OpenTest, ViewAndRemoteNamesOpenNothingLocally) {
    // A view: nothing is opened, so a name of no existing file is not "does not exist".
    EXPECT_EQ(resolve("customers@views"), 0);
    EXPECT_EQ(kind, MDK_KIND_VIEW);
    EXPECT_EQ(resolve("[RMT:server;5000]/data/cust.dat", MDK_OPEN_READONLY), 0);
    EXPECT_EQ(kind, MDK_KIND_REMOTE);
    EXPECT_EQ(readWrite, 0);
    EXPECT_STREQ(resolved, "server;5000]/data/cust.dat");
    EXPECT_EQ(resolve("[rmt:server;5000]x@y"), 0);
    EXPECT_EQ(kind, MDK_KIND_REMOTE);  // the remote test comes first
    // No engine for views in this build; a remote name goes to the network, where nobody
    // listens on port 1 of this machine.
    int32_t err = 0;
    EXPECT_EQ(MDK_OpenExt(env, "customers@views", nullptr, 0, 0, &err), MDK_INVALID_FILE);
    EXPECT_EQ(err, MDK_E_FILETYPE);
    EXPECT_EQ(MDK_OpenExt(env, "[Rmt:127.0.0.1;1]f", nullptr, 0, 0, &err), MDK_INVALID_FILE);
    EXPECT_EQ(err, MDK_E_NETWORK);
}

// Only the last part of a path names a view: an "@" in a directory is part of a local path.
TEST_F(OpenTest, AtSignInADirectoryIsALocalPath) {
    std::string exports = dir.file("exports");
    std::string at = exports + "/a@b";
    ASSERT_EQ(mkdir(exports.c_str(), 0777), 0);
    ASSERT_EQ(mkdir(at.c_str(), 0777), 0);
    writeFile(at + "/x.dat", std::string("[Mdnind]"));

    int fd = resolve(at + "/x.dat");
    ASSERT_GE(fd, 0) << "error " << error;
    EXPECT_EQ(kind, MDK_KIND_INDEXED);
    EXPECT_EQ(std::string(resolved), at + "/x.dat");
    platform::closeFile(fd);

    // The same relative to the current directory, as a user types it.
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    fd = resolve("exports/a@b/x.dat");
    int32_t relativeKind = kind;
    ASSERT_EQ(chdir(old), 0);
    ASSERT_GE(fd, 0) << "error " << error;
    EXPECT_EQ(relativeKind, MDK_KIND_INDEXED);
    platform::closeFile(fd);

    // A missing file there is missing, not a view.
    EXPECT_EQ(resolve(at + "/none.dat"), -1);
    EXPECT_EQ(error, MDK_E_NOFILE);
    // An "@" in the last part still names a view, wherever it stands.
    for (std::string view :
         {at + "/cust@views", std::string("exports/a@b/v@w"), std::string("@")}) {
        EXPECT_EQ(resolve(view), 0) << view;
        EXPECT_EQ(kind, MDK_KIND_VIEW) << view;
    }
}

// Names that are not regular files are refused at once with 1, whatever the flags; none of
// the opens may wait (a FIFO without a writer would hold a read-only open for ever).
TEST_F(OpenTest, NamesThatAreNotRegularFilesAreRefusedAtOnce) {
    platform::test::SpecialNames special(dir.path());
    ASSERT_TRUE(special.made());
    platform::sys().open = platform::test::neverWaitingOpen;
    platform::test::gBlockingFifoOpen = false;
    const int32_t flagsTried[] = {0, MDK_OPEN_READONLY, MDK_OPEN_EXCLUSIVE,
                                  MDK_OPEN_READONLY | MDK_OPEN_EXCLUSIVE};
    for (const std::string& path : special.all()) {
        for (int32_t flags : flagsTried) {
            int32_t err = -1;
            EXPECT_EQ(MDK_OpenExt(env, path.c_str(), nullptr, 0, flags, &err), MDK_INVALID_FILE);
            EXPECT_EQ(err, MDK_E_OPEN) << path << " flags " << flags;
            ASSERT_FALSE(platform::test::gBlockingFifoOpen) << path << " flags " << flags;
        }
    }
    // The listing callbacks list such names and give their modes, and a search below one of
    // them finds nothing, all without waiting.
    char name[256];
    EXPECT_EQ(mdk_callback.findFirst(env, (special.fifo + "/*").c_str(), name), -1);
    EXPECT_TRUE(S_ISFIFO(mdk_callback.fileMode(env, special.fifo.c_str())));
    std::set<std::string> found;
    intptr_t h = mdk_callback.findFirst(env, (dir.path() + "/*").c_str(), name);
    ASSERT_NE(h, -1);
    for (found.insert(name); mdk_callback.findNext(env, h, name);)
        found.insert(name);
    mdk_callback.findClose(env, h);
    EXPECT_EQ(found, (std::set<std::string>{"fifo", "subdir", "sock"}));
    ASSERT_FALSE(platform::test::gBlockingFifoOpen);

    // The same with the real system calls: reached only when nothing above waited.
    platform::resetSysCalls();
    int32_t err = -1;
    EXPECT_EQ(MDK_OpenExt(env, special.fifo.c_str(), nullptr, 0, MDK_OPEN_READONLY, &err),
              MDK_INVALID_FILE);
    EXPECT_EQ(err, MDK_E_OPEN);
}

int denyReadWrite(const char* path, int flags, mode_t mode) {
    if ((flags & O_ACCMODE) == O_RDWR) {
        errno = EACCES;
        return -1;
    }
    return platform::defaultSysCalls().open(path, flags, mode);
}

TEST_F(OpenTest, ReadOnlyFallback) {
    std::string path = dir.file("ro.dat");
    writeFile(path, std::string("[Mdnkey]"));
    platform::sys().open = denyReadWrite;
    EXPECT_EQ(resolve(path), -1);
    EXPECT_EQ(error, MDK_E_OPEN);
    ASSERT_EQ(MDSetEnvMode(env, 4, 1), 0);
    int fd = resolve(path);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(readWrite, 0);  // opened, but for reading only
    platform::closeFile(fd);
    // Asked read-only in the first place: no fallback needed.
    ASSERT_EQ(MDSetEnvMode(env, 4, 0), 1);
    fd = resolve(path, MDK_OPEN_READONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(readWrite, 0);
    platform::closeFile(fd);
}

// The file seems to end after 4 bytes.
TEST_F(OpenTest, ReadOnlyFallbackHandleRefusesWrites) {
    std::string path = dir.file("classic.dat");
    keyed::ClassicLayout l;
    l.blockSize = 1024;
    l.recordSize = 20;
    l.keyAreaSize = 4;
    common::Segment s;
    s.field = common::kKeyAreaField;
    s.length = 4;
    l.keys.segments = {s};
    common::KeyDesc k;
    k.segmentCount = 1;
    l.keys.keys = {k};
    std::string why;
    ASSERT_EQ(keyed::buildClassicFile(path, l, &why), 0) << why;
    platform::sys().open = denyReadWrite;
    int32_t err = 0;
    EXPECT_EQ(MDK_OpenExt(env, path.c_str(), nullptr, 0, 0, &err), MDK_INVALID_FILE);
    EXPECT_EQ(err, MDK_E_OPEN);
    ASSERT_EQ(MDSetEnvMode(env, 4, 1), 0);
    MdkFile* f = MDK_OpenExt(env, path.c_str(), nullptr, 0, 0, &err);
    ASSERT_NE(f, MDK_INVALID_FILE) << err;
    EXPECT_EQ(MDK_write(f, "data", 4, "key", 3), -1);
    EXPECT_EQ(MDK_geterrno(f), MDK_E_READONLY);
    EXPECT_EQ(MDK_seek(f, "key", 3, 1), -1);
    EXPECT_EQ(MDK_geterrno(f), MDK_E_KEY);  // reading works: the file is empty
    EXPECT_EQ(MDK_close(f), 0);
}

ssize_t shortRead(int fd, void* buf, size_t n, off_t off) {
    if (off >= 4) return 0;
    return platform::defaultSysCalls().pread(fd, buf, std::min<size_t>(n, 4 - off), off);
}

int failLock(int, int, struct flock*) {
    errno = ENOLCK;
    return -1;
}

TEST_F(OpenTest, InjectedFailuresReachTheirCodes) {
    std::string path = dir.file("k.dat");
    writeFile(path, std::string("[Mdnkey]"));
    platform::sys().pread = shortRead;
    EXPECT_EQ(resolve(path), -1);
    EXPECT_EQ(error, MDK_E_FILETYPE);
    platform::resetSysCalls();
    platform::sys().fcntlLock = failLock;
    EXPECT_EQ(resolve(path), -1);
    EXPECT_EQ(error, MDK_E_OPEN);
}

struct ChildOpen {
    std::string path;
    int32_t flags;
};

// In a forked process: 0 when the open succeeded, else the error code.
int openInChild(void* arg) {
    auto* c = static_cast<ChildOpen*>(arg);
    MdkEnv* env = MDK_AllocEnv();
    char resolved[kNameSize];
    int32_t kind = 0, rw = 0, err = 0;
    int fd = resolveName(env, c->path.c_str(), c->flags, resolved, &kind, &rw, &err);
    if (fd >= 0) platform::closeFile(fd);
    return fd >= 0 ? 0 : err;
}

TEST_F(OpenTest, ExclusiveOpenDeniesOtherOpeners) {
    std::string path = dir.file("x.dat");
    writeFile(path, std::string("[Mdnkey]"));
    MdkEnv* other = MDK_AllocEnv();
    int fd = resolve(path, MDK_OPEN_EXCLUSIVE);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(resolve(path, 0, other), -1);
    EXPECT_EQ(error, MDK_E_OPEN);
    EXPECT_EQ(resolve(path, MDK_OPEN_READONLY, other), -1);
    ChildOpen child{path, 0};
    EXPECT_EQ(test::runInChild(openInChild, &child), MDK_E_OPEN);
    platform::closeFile(fd);
    EXPECT_EQ(test::runInChild(openInChild, &child), 0);

    // An ordinary opener keeps an exclusive one out, also when both only read.
    fd = resolve(path, MDK_OPEN_READONLY);
    ASSERT_GE(fd, 0);
    ChildOpen exclusive{path, MDK_OPEN_EXCLUSIVE | MDK_OPEN_READONLY};
    EXPECT_EQ(test::runInChild(openInChild, &exclusive), MDK_E_OPEN);
    EXPECT_EQ(resolve(path, MDK_OPEN_EXCLUSIVE, other), -1);
    platform::closeFile(fd);
    MDK_DeAllocEnv(other);
}

TEST_F(OpenTest, ListingCallbacks) {
    for (const char* n : {"a.dat", "b.dat", "c.txt", "dd.dat"})
        writeFile(dir.file(n), std::string("x"));
    char name[256];
    std::set<std::string> found;
    intptr_t h = mdk_callback.findFirst(env, (dir.path() + "/?.dat").c_str(), name);
    ASSERT_NE(h, -1);
    found.insert(name);
    while (mdk_callback.findNext(env, h, name))
        found.insert(name);
    EXPECT_EQ(mdk_callback.findClose(env, h), 0);
    EXPECT_EQ(found, (std::set<std::string>{"a.dat", "b.dat"}));
    EXPECT_EQ(mdk_callback.findFirst(env, (dir.path() + "/*.none").c_str(), name), -1);
    EXPECT_EQ(mdk_callback.findFirst(env, "[rmt:h;1]*.dat", name), -1);

    int32_t fileMode = mdk_callback.fileMode(env, dir.file("a.dat").c_str());
    int32_t dirMode = mdk_callback.fileMode(env, dir.path().c_str());
    EXPECT_TRUE(S_ISREG(fileMode));
    EXPECT_TRUE(S_ISDIR(dirMode));
    EXPECT_EQ(mdk_callback.fileMode(env, dir.file("none").c_str()), -1);
    EXPECT_EQ(mdk_callback.serverCommand(env, "a", "b", "c", "d", "e", "f"), -1);
}

}  // namespace
