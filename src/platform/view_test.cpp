#include <linux/perf_event.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "testutil.h"

namespace mdnio::platform {
namespace {

using mdnio::test::TempDir;

class ViewTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::vector<uint8_t> bytes(8192);
        for (size_t i = 0; i < bytes.size(); i++)
            bytes[i] = static_cast<uint8_t>(i * 13 + 5);
        mdnio::test::writeFile(path_, bytes);
        OpenResult r;
        fd_ = openFile(path_.c_str(), Access::ReadWrite, false, &r);
        ASSERT_GE(fd_, 0);
        ASSERT_TRUE(view_.open(fd_, true));
    }
    void TearDown() override {
        view_.close();
        closeFile(fd_);
    }

    TempDir dir_;
    std::string path_ = dir_.file("data");
    int fd_ = -1;
    FileView view_;
};

TEST_F(ViewTest, ReadsTheFileAndWhatIsWrittenLater) {
    uint8_t got[100];
    ASSERT_TRUE(view_.read(got, sizeof got, 4000));
    for (size_t i = 0; i < sizeof got; i++)
        ASSERT_EQ(got[i], static_cast<uint8_t>((4000 + i) * 13 + 5));

    // A write through the descriptor shows at once, also one that grows the file.
    const char text[] = "written after the view was made";
    ASSERT_EQ(writeAt(fd_, text, sizeof text, 100).count, static_cast<int64_t>(sizeof text));
    ASSERT_EQ(writeAt(fd_, text, sizeof text, 20000).count, static_cast<int64_t>(sizeof text));
    char back[sizeof text];
    ASSERT_TRUE(view_.read(back, sizeof back, 100));
    EXPECT_STREQ(back, text);
    ASSERT_TRUE(view_.read(back, sizeof back, 20000));
    EXPECT_STREQ(back, text);
}

TEST_F(ViewTest, RefusesBytesPastTheEnd) {
    uint8_t got[16];
    EXPECT_FALSE(view_.read(got, sizeof got, 8192 - 8));
    EXPECT_FALSE(view_.read(got, sizeof got, 8192));
    EXPECT_FALSE(view_.read(got, sizeof got, -1));
    EXPECT_FALSE(view_.read(got, sizeof got, INT64_MAX - 4));
    EXPECT_TRUE(view_.read(got, sizeof got, 8192 - 16));
}

TEST_F(ViewTest, AFileCutShortBehindItsBackFailsTheReadInsteadOfTheProcess) {
    uint8_t got[512];
    ASSERT_TRUE(view_.read(got, sizeof got, 6000));  // the view knows 8192 bytes
    // Another program shortens the file; the view's length is stale and the pages are gone.
    ASSERT_EQ(::truncate(path_.c_str(), 1000), 0);
    EXPECT_FALSE(view_.read(got, sizeof got, 6000));
    EXPECT_FALSE(view_.read(got, sizeof got, 6000));
    EXPECT_TRUE(view_.read(got, 100, 0));
    // Once it is long again, the view reads it again.
    std::vector<uint8_t> fill(8192, 0x5A);
    ASSERT_EQ(writeAt(fd_, fill.data(), fill.size(), 0).count, 8192);
    ASSERT_TRUE(view_.read(got, sizeof got, 6000));
    EXPECT_EQ(got[0], 0x5A);
}

// A reader run over the mapping sees the file's bytes where they lie; it runs only for bytes
// inside the file, and a file cut short under it fails the run instead of the process.
TEST_F(ViewTest, AReaderRunsOverTheBytesUnderOneGuard) {
    struct Seen {
        size_t n = 0;
        uint8_t first = 0, last = 0;
        int runs = 0;
    } seen;
    auto reader = [](const uint8_t* bytes, size_t n, void* context) {
        auto* s = static_cast<Seen*>(context);
        s->runs++;
        s->n = n;
        s->first = bytes[0];
        s->last = bytes[n - 1];
    };
    ASSERT_TRUE(view_.readWith(4096, 4096, reader, &seen));
    EXPECT_EQ(seen.runs, 1);
    EXPECT_EQ(seen.n, 4096u);
    EXPECT_EQ(seen.first, static_cast<uint8_t>(4096 * 13 + 5));
    EXPECT_EQ(seen.last, static_cast<uint8_t>(8191 * 13 + 5));
    // Past the end, or reaching past it: refused without running.
    EXPECT_FALSE(view_.readWith(8192, 16, reader, &seen));
    EXPECT_FALSE(view_.readWith(4096, 4097, reader, &seen));
    EXPECT_FALSE(view_.readWith(-1, 16, reader, &seen));
    EXPECT_EQ(seen.runs, 1);
    // Another program shortens the file while the view still takes it for 8192 bytes: the
    // reader's touch of a page that is gone ends the run, not the process.
    ASSERT_EQ(::truncate(path_.c_str(), 1000), 0);
    seen = {};
    EXPECT_FALSE(view_.readWith(4096, 4096, reader, &seen));
    EXPECT_EQ(seen.runs, 1);
    EXPECT_TRUE(view_.readWith(0, 1000, reader, &seen));
    EXPECT_EQ(seen.n, 1000u);
}

TEST_F(ViewTest, WritesReachTheFileAsWritesThroughTheDescriptorWould) {
    const char text[] = "written through the mapping";
    ASSERT_TRUE(view_.write(text, sizeof text, 5000));
    char back[sizeof text] = {};
    ASSERT_EQ(readAt(fd_, back, sizeof back, 5000).count, static_cast<int64_t>(sizeof back));
    EXPECT_STREQ(back, text);
    // Another descriptor of the file (as another process would have) sees it too.
    OpenResult r;
    int other = openFile(path_.c_str(), Access::ReadOnly, false, &r);
    ASSERT_GE(other, 0);
    std::memset(back, 0, sizeof back);
    ASSERT_EQ(readAt(other, back, sizeof back, 5000).count, static_cast<int64_t>(sizeof back));
    EXPECT_STREQ(back, text);
    closeFile(other);
    EXPECT_EQ(fileLength(fd_), 8192);  // a write inside the file leaves its length alone
}

TEST_F(ViewTest, WritesNeverGrowTheFile) {
    uint8_t block[64] = {1, 2, 3};
    EXPECT_FALSE(view_.write(block, sizeof block, 8192 - 32));  // would run past the end
    EXPECT_FALSE(view_.write(block, sizeof block, 8192));
    EXPECT_FALSE(view_.write(block, sizeof block, -1));
    EXPECT_FALSE(view_.write(block, sizeof block, INT64_MAX - 4));
    EXPECT_EQ(fileLength(fd_), 8192);
    // Once the descriptor made the file longer and the view was told, the view takes the write.
    ASSERT_EQ(writeAt(fd_, block, sizeof block, 8192).count, 64);
    view_.grew(8192 + 64);
    block[0] = 9;
    ASSERT_TRUE(view_.write(block, sizeof block, 8192));
    uint8_t back[64];
    ASSERT_EQ(readAt(fd_, back, sizeof back, 8192).count, 64);
    EXPECT_EQ(back[0], 9);
}

TEST_F(ViewTest, AReadOnlyViewRefusesWrites) {
    OpenResult r;
    int fd = openFile(path_.c_str(), Access::ReadOnly, false, &r);
    ASSERT_GE(fd, 0);
    FileView view;
    ASSERT_TRUE(view.open(fd, true));  // a read-only descriptor gets a read-only mapping
    uint8_t got[8];
    EXPECT_TRUE(view.read(got, sizeof got, 0));
    EXPECT_FALSE(view.write(got, sizeof got, 0));
    view.close();
    closeFile(fd);
}

TEST_F(ViewTest, AWriteIntoAFileCutShortBehindItsBackFailsInsteadOfTheProcess) {
    uint8_t block[512];
    std::memset(block, 0x33, sizeof block);
    ASSERT_TRUE(view_.write(block, sizeof block, 6000));
    ASSERT_EQ(::truncate(path_.c_str(), 1000), 0);
    EXPECT_FALSE(view_.write(block, sizeof block, 6000));
    EXPECT_EQ(fileLength(fd_), 1000);  // the failed write did not bring the bytes back
    EXPECT_TRUE(view_.read(block, 100, 0));
}

// A file cut back to the middle of a page by another descriptor: the rest of that page is still
// mapped, and a write there would not fault but be lost.  Told the file shrank, the view
// measures it again and refuses the write, which then goes through the descriptor.
TEST_F(ViewTest, AWriteAfterTheFileWasCutBackIsNotLostInItsLastPage) {
    ASSERT_EQ(::truncate(path_.c_str(), 5000), 0);
    const uint8_t bytes[4] = {1, 2, 3, 4};
    view_.shrank(5000);
    EXPECT_FALSE(view_.write(bytes, sizeof bytes, 6000));
    EXPECT_TRUE(view_.write(bytes, sizeof bytes, 4000));  // inside: through the mapping
    // Without being told, the view trusts the length it knew: the write "succeeds" and the
    // bytes are nowhere in the file.
    FileView unaware;
    ASSERT_EQ(::truncate(path_.c_str(), 8192), 0);
    ASSERT_TRUE(unaware.open(fd_, true));
    ASSERT_EQ(::truncate(path_.c_str(), 5000), 0);
    EXPECT_TRUE(unaware.write(bytes, sizeof bytes, 6000));
    EXPECT_EQ(fileLength(fd_), 5000);
    unaware.close();
}

// A mapping the system refuses leaves the view closed: reads and writes answer false and the
// caller goes through the descriptor.
TEST_F(ViewTest, AMappingRefusedLeavesTheViewClosed) {
    sys().mmap = [](void*, size_t, int, int, int, off_t) -> void* {
        errno = ENOMEM;
        return MAP_FAILED;
    };
    FileView refused;
    EXPECT_FALSE(refused.open(fd_, true));
    resetSysCalls();
    uint8_t got[8];
    EXPECT_FALSE(refused.isOpen());
    EXPECT_FALSE(refused.read(got, sizeof got, 0));
    EXPECT_FALSE(refused.write(got, sizeof got, 0));
}

// Whether this system can ready pages of a mapping for writing with one call.
bool systemReadiesPages() {
#ifdef MADV_POPULATE_WRITE
    void* p = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return false;
    bool ok = ::madvise(p, 4096, MADV_POPULATE_WRITE) == 0;
    ::munmap(p, 4096);
    return ok;
#else
    return false;
#endif
}

// Traps the process takes on its pages, as the system's software counter counts them (faults
// a system call takes on the process's behalf are not traps and are not counted).
class TrapCounter {
  public:
    TrapCounter() {
        perf_event_attr attr{};
        attr.size = sizeof attr;
        attr.type = PERF_TYPE_SOFTWARE;
        attr.config = PERF_COUNT_SW_PAGE_FAULTS;
        fd_ = static_cast<int>(::syscall(SYS_perf_event_open, &attr, 0, -1, -1, 0));
    }
    ~TrapCounter() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool works() const { return fd_ >= 0; }
    long count() const {
        uint64_t n = 0;
        return ::read(fd_, &n, sizeof n) == static_cast<ssize_t>(sizeof n) ? static_cast<long>(n)
                                                                           : -1;
    }

  private:
    int fd_ = -1;
};

// A file of `pages` pages this process has not mapped yet, open for writing.
struct FreshFile {
    explicit FreshFile(size_t pages) {
        mdnio::test::writeFile(path, std::vector<uint8_t>(pages * 4096, 0));
        OpenResult r;
        fd = openFile(path.c_str(), Access::ReadWrite, false, &r);
    }
    ~FreshFile() {
        view.close();
        if (fd >= 0) closeFile(fd);
    }
    TempDir dir;
    std::string path = dir.file("fresh");
    int fd = -1;
    FileView view;
};

// The first write to each page readies it with one system call instead of taking a trap: a byte
// written into each of many pages the view has only read so far (which the system maps
// read-only) costs (almost) no page fault, and every byte reaches the file.
TEST(ViewPages, FirstWritesToPagesTakeNoFault) {
    if (!systemReadiesPages()) GTEST_SKIP() << "the system cannot ready pages for writing";
    constexpr size_t kPages = 256;
    FreshFile file(kPages);
    ASSERT_GE(file.fd, 0);
    ASSERT_TRUE(file.view.open(file.fd, true));
    for (size_t page = 0; page < kPages; page++) {
        uint8_t b = 1;
        ASSERT_TRUE(file.view.read(&b, 1, static_cast<int64_t>(page * 4096)));
        ASSERT_EQ(b, 0);
    }
    TrapCounter traps;
    if (!traps.works()) GTEST_SKIP() << "the system does not count page faults here";
    const long before = traps.count();
    for (size_t page = 0; page < kPages; page++) {
        const auto b = static_cast<uint8_t>(page + 1);
        ASSERT_TRUE(file.view.write(&b, 1, static_cast<int64_t>(page * 4096 + 100)));
    }
    // One fault a page without readying; what is left is the test's own memory.
    EXPECT_LT(traps.count() - before, static_cast<long>(kPages / 2));
    for (size_t page = 0; page < kPages; page++) {
        uint8_t b = 0;
        ASSERT_EQ(readAt(file.fd, &b, 1, static_cast<int64_t>(page * 4096 + 100)).count, 1);
        ASSERT_EQ(b, static_cast<uint8_t>(page + 1)) << page;
    }
}

// Readying pages the file no longer reaches fails quietly: the write fails, not the process.
TEST(ViewPages, AWriteToPagesCutOffBeforeTheyWereReadiedFails) {
    FreshFile file(8);
    ASSERT_GE(file.fd, 0);
    ASSERT_TRUE(file.view.open(file.fd, true));
    ASSERT_EQ(::truncate(file.path.c_str(), 4096), 0);
    uint8_t block[2 * 4096];
    std::memset(block, 0x5A, sizeof block);
    EXPECT_FALSE(file.view.write(block, sizeof block, 5 * 4096));
    EXPECT_EQ(fileLength(file.fd), 4096);
    EXPECT_TRUE(file.view.read(block, 100, 0));  // what is left is still read
}

// The guard catches only the copies of a view: any other SIGBUS still ends the process.
int touchPastTheEnd(void* arg) {
    const std::string& path = *static_cast<const std::string*>(arg);
    OpenResult r;
    int fd = openFile(path.c_str(), Access::ReadOnly, false, &r);
    FileView view;
    if (fd < 0 || !view.open(fd, false)) return 3;
    void* map = ::mmap(nullptr, 65536, PROT_READ, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) return 4;
    volatile const unsigned char* p = static_cast<const unsigned char*>(map);
    unsigned char c = p[40000];  // past the end of an 8192-byte file
    return c == 0 ? 10 : 11;     // the fault was swallowed
}

TEST_F(ViewTest, OtherFaultsStillReachTheDefaultAction) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(touchPastTheEnd(&path_));
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    // Killed by SIGBUS, or ended by a handler installed before the guard (a sanitizer's
    // aborts or exits with its own code): anything but finishing the read.
    if (WIFSIGNALED(status)) {
        int sig = WTERMSIG(status);
        EXPECT_TRUE(sig == SIGBUS || sig == SIGABRT) << sig;
    } else {
        int code = WEXITSTATUS(status);
        EXPECT_TRUE(code != 0 && code != 3 && code != 4 && code != 10 && code != 11) << code;
    }
}

}  // namespace
}  // namespace mdnio::platform
