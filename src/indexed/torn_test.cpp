// Rewrites and appends of indexed files stopped at any one of their writes, by a failing disk or
// a killed writer: no record is left half old, half new, and the record count counts only whole
// records.  The next writer, or the next opener (one that may only read too), puts a stopped
// rewrite back.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "common/journal.h"
#include "indexed/test_files.h"
#include "platform/platform.h"

using namespace mdnio;
using namespace mdnio::indexed::test;

namespace {

constexpr int16_t kLength = 300;
constexpr size_t kPage = 4096;

// How a write is stopped: the disk fails it or cuts it short, or the process is killed before
// it or between two of its pages (where the system lets a kill stop a write).
enum class Stop { Failed, Short, Kill, KillBetweenPages };

struct Plan {
    Stop stop = Stop::Failed;
    int at = 0;  // the write stopped, counted over every pwrite of the call
    int seen = 0;
    bool counting = false;
    bool fired = false;
    bool shortPending = false;
};
Plan gPlan;

ssize_t plannedPwrite(int fd, const void* buf, size_t n, off_t off) {
    const auto write = platform::defaultSysCalls().pwrite;
    Plan& p = gPlan;
    if (p.shortPending) {
        p.shortPending = false;
        errno = ENOSPC;
        return -1;
    }
    if (!p.counting || p.fired || p.seen++ < p.at) return write(fd, buf, n, off);
    p.fired = true;
    switch (p.stop) {
        case Stop::Failed:
            errno = EIO;
            return -1;
        case Stop::Short:
            p.shortPending = true;
            return write(fd, buf, n / 2, off);
        case Stop::KillBetweenPages:
            write(fd, buf, std::min(n, kPage - static_cast<size_t>(off) % kPage), off);
            [[fallthrough]];
        case Stop::Kill:
            kill(getpid(), SIGKILL);
            pause();
    }
    return -1;
}

void* refuseMapping(void*, size_t, int, int, int, off_t) {
    errno = ENODEV;
    return MAP_FAILED;
}

struct Call {
    const char* name;
    int record;  // the record written: a rewrite, or at the count an append
};

class TornWrites : public ::testing::Test {
  protected:
    void SetUp() override {
        image = numberedFile(30, kLength);
        pristine = image.bytes();
    }
    void TearDown() override { platform::resetSysCalls(); }

    // The file as a successful write of `record` leaves it.
    std::vector<uint8_t> written(int record) const {
        FileImage done = image;
        if (record == static_cast<int>(done.records.size())) {
            done.records.push_back(newData);
            done.recordCount++;
        } else {
            done.records[static_cast<size_t>(record)] = newData;
        }
        return done.bytes();
    }

    // Writes `record` in a fresh environment: 0 or -1.
    int32_t writeRecord(int record) {
        MdkEnv* env = MDK_AllocEnv();
        int32_t err = 0;
        MdkFile* f = MDK_OpenExt(env, path.c_str(), nullptr, 0, 0, &err);
        EXPECT_NE(f, MDK_INVALID_FILE) << err;
        char key[9];
        std::snprintf(key, sizeof key, "%08d", record);
        gPlan.counting = true;
        int32_t rc = MDK_write(f, newData.data(), static_cast<int32_t>(newData.size()), key, 8);
        gPlan.counting = false;
        MDK_DeAllocEnv(env);
        return rc;
    }

    // Opens and closes the file (the open puts a stopped rewrite back): its bytes then.
    std::vector<uint8_t> afterAnOpen(int32_t flags = 0) {
        MdkEnv* env = MDK_AllocEnv();
        int32_t err = 0;
        MdkFile* f = MDK_OpenExt(env, path.c_str(), nullptr, 0, flags, &err);
        EXPECT_NE(f, MDK_INVALID_FILE) << err;
        MDK_DeAllocEnv(env);
        return readFile(path);
    }

    // The file holds exactly `expected`, or (after an append stopped past the count) that and
    // bytes past its last counted record.
    static bool holds(const std::vector<uint8_t>& file, const std::vector<uint8_t>& expected) {
        return file.size() >= expected.size() &&
               std::equal(expected.begin(), expected.end(), file.begin());
    }

    // The call stopped at write `at`; false when it made fewer writes.
    bool stopAt(const Call& call, Stop stop, int at) {
        writeFile(path, pristine);
        unlink(common::journalPath(path.c_str()).c_str());
        gPlan = Plan{};
        gPlan.stop = stop;
        gPlan.at = at;
        const bool kill = stop == Stop::Kill || stop == Stop::KillBetweenPages;
        bool stopped = false;
        if (kill) {
            const pid_t pid = fork();
            if (pid == 0) {
                platform::sys().mmap = refuseMapping;
                platform::sys().pwrite = plannedPwrite;
                _exit(writeRecord(call.record) == 0 ? 0 : 1);
            }
            int status = 0;
            waitpid(pid, &status, 0);
            stopped = WIFSIGNALED(status);
            EXPECT_TRUE(stopped || WEXITSTATUS(status) == 0);
        } else {
            platform::sys().mmap = refuseMapping;
            platform::sys().pwrite = plannedPwrite;
            const int32_t rc = writeRecord(call.record);
            platform::resetSysCalls();
            stopped = gPlan.fired;
            EXPECT_EQ(rc, stopped ? -1 : 0);
            // A failed call put its rewrite back before it returned.
            EXPECT_TRUE(!stopped || holds(readFile(path), pristine)) << "at write " << at;
        }
        const std::vector<uint8_t> file = afterAnOpen(at % 2 ? MDK_OPEN_READONLY : 0);
        EXPECT_TRUE(holds(file, pristine) || holds(file, written(call.record)))
            << "stopped at write " << at;
        return stopped;
    }

    TempDir dir;
    std::string path = dir.file("t.dat");
    FileImage image;
    std::vector<uint8_t> pristine;
    std::string newData = std::string(kLength, 'N');
};

TEST_F(TornWrites, NoRecordIsLeftHalfWrittenWhereverTheWriteStops) {
    // Record 11 lies across the page boundary at 4096 (bytes 3812..4111), record 5 inside a
    // page; record 30 is an append.
    for (const Call& call : {Call{"rewrite across a page", 11}, Call{"rewrite inside a page", 5},
                             Call{"append", 30}}) {
        for (Stop stop : {Stop::Failed, Stop::Short, Stop::Kill, Stop::KillBetweenPages}) {
            SCOPED_TRACE(std::string(call.name) + ", stop " +
                         std::to_string(static_cast<int>(stop)));
            int at = 0;
            while (stopAt(call, stop, at)) {
                if (HasFailure()) return;
                ASSERT_LT(++at, 20);
            }
            EXPECT_GE(at, 2);  // the record and the journal or the header
        }
    }
}

// A rewrite left torn, met by an opener that may only read: put back through a writable
// descriptor of its own, or refused with 49 when it may not open one.
TEST_F(TornWrites, AReadOnlyOpenerPutsATornRewriteBackOrRefuses) {
    writeFile(path, pristine);
    gPlan = Plan{};
    gPlan.stop = Stop::KillBetweenPages;
    gPlan.at = 1;  // the record, after its journal
    const pid_t pid = fork();
    if (pid == 0) {
        platform::sys().mmap = refuseMapping;
        platform::sys().pwrite = plannedPwrite;
        _exit(writeRecord(11) == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    const std::vector<uint8_t> torn = readFile(path);
    ASSERT_FALSE(holds(torn, pristine));
    ASSERT_FALSE(holds(torn, written(11)));
    EXPECT_EQ(mdnio::test::readOnlyOpenErrorWithoutWriteAccess(path), MDK_E_HALFWRITTEN);
    EXPECT_EQ(readFile(path), torn);
    EXPECT_EQ(afterAnOpen(MDK_OPEN_READONLY), pristine);
}

}  // namespace
