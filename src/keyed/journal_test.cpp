// A call or a commit stopped at any one of its writes, by the disk (a short write, a failed
// write, a full disk, a disk gone for good) or by a kill of its process (before the write, or
// half-way through it): the call fails (or never returns), and the next process to open the
// file, or the next call of a process that had it open, finds the file as it was before the
// call, or, for a kill after the call's last write, as the call left it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <vector>

#include "frame/frame.h"
#include "keyed/format.h"
#include "keyed/survival_testing.h"
#include "platform/platform.h"

using namespace mdnio;
using namespace mdnio::keyed;
using namespace mdnio::keyed::test;

namespace {

enum class Fault { Short, Failed, NoSpace, DiskGone, SyncFailed, Kill, KillTorn };

const char* nameOf(Fault f) {
    static const char* const kNames[] = {"short",       "failed", "no space",          "disk gone",
                                         "sync failed", "kill",   "kill in the middle"};
    return kNames[static_cast<int>(f)];
}

// The write with number `at` (counted from 0 over every pwrite of the call, to the journal, the
// data file or a segment) meets `fault`.
struct Plan {
    Fault fault = Fault::Failed;
    int at = 0;
    int seen = 0;
    bool counting = false;
    bool fired = false;
    bool shortPending = false;  // the rest of a short write finds no room
};
Plan gPlan;

ssize_t plannedPwrite(int fd, const void* buf, size_t n, off_t off) {
    const auto write = platform::defaultSysCalls().pwrite;
    Plan& p = gPlan;
    if (!p.counting) return write(fd, buf, n, off);
    if (p.fired) {
        if (p.fault == Fault::DiskGone || p.shortPending) {
            p.shortPending = false;
            errno = ENOSPC;
            return -1;
        }
        return write(fd, buf, n, off);
    }
    if (p.seen++ < p.at) return write(fd, buf, n, off);
    p.fired = true;
    switch (p.fault) {
        case Fault::Short:
            p.shortPending = true;
            return write(fd, buf, n / 2, off);
        case Fault::Failed:
            errno = EIO;
            return -1;
        case Fault::NoSpace:
        case Fault::DiskGone:
        case Fault::SyncFailed:
            errno = ENOSPC;
            return -1;
        case Fault::KillTorn:
            write(fd, buf, n / 2, off);
            [[fallthrough]];
        case Fault::Kill:
            kill(getpid(), SIGKILL);
            pause();
    }
    return -1;
}

// Syncs count instead of writes for Fault::SyncFailed: the sync with number `at` fails.
int gSyncs = 0;
int plannedFsync(int fd) {
    gSyncs++;
    Plan& p = gPlan;
    if (p.counting && p.fault == Fault::SyncFailed && !p.fired && p.seen++ == p.at) {
        p.fired = true;
        errno = EIO;
        return -1;
    }
    return platform::defaultSysCalls().fsync(fd);
}

// Without the mapping every write of the engine is a pwrite, and each can be made to fail.
void* refuseMapping(void*, size_t, int, int, int, off_t) {
    errno = ENODEV;
    return MAP_FAILED;
}

void planFaults(Fault fault, int at) {
    gPlan = Plan{};
    gPlan.fault = fault;
    gPlan.at = at;
    platform::sys().mmap = refuseMapping;
    platform::sys().pwrite =
        fault == Fault::SyncFailed ? platform::defaultSysCalls().pwrite : plannedPwrite;
    platform::sys().fsync = plannedFsync;
}

// A call of the table: one step, or the steps of a transaction and its commit.
struct Call {
    const char* name;
    std::vector<Step> steps;
    bool transaction;
};

int32_t runCall(MdkEnv* env, MdkFile* f, const Call& call) {
    if (!call.transaction) return runStep(f, call.steps.front());
    if (MDK_BeginTX(env) != 0) return -1;
    for (const Step& s : call.steps) {
        if (runStep(f, s) != 0) {
            MDK_RollbackTX(env);
            return -1;
        }
    }
    return MDK_CommitTX(env);
}

MdkFile* openFile(MdkEnv* env, const std::string& path, int32_t flags = 0) {
    int32_t err = 0;
    MdkFile* f = MDK_OpenExt(env, path.c_str(), nullptr, 0, flags, &err);
    EXPECT_NE(f, MDK_INVALID_FILE) << err;
    return f;
}

class StoppedCalls : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        blockMode = GetParam();
        path = dir.file("s.dat");
        build(path, survivalLayout(blockMode));
        MdkEnv* env = MDK_AllocEnv();
        MdkFile* f = openFile(env, path);
        for (const Step& s : makeSteps({}, 7, 120, blockMode, 160)) {
            ASSERT_EQ(runStep(f, s), 0);
            applyStep(before, s);
        }
        MDK_DeAllocEnv(env);
        pristine = FileImage::of(path);
    }
    void TearDown() override { platform::resetSysCalls(); }

    // The calls of the table, from the file's records.
    std::vector<Call> calls() const {
        const std::string some = before.begin()->first;
        const std::string other = std::next(before.begin(), 5)->first;
        return {
            {"insert", {{Step::Insert, keyOf(401), recordData(401, 3, blockMode)}}, false},
            {"update", {{Step::Update, some, recordData(std::stoi(some), 8, blockMode)}}, false},
            {"remove", {{Step::Remove, other, ""}}, false},
            {"commit", makeSteps(before, 99, 10, blockMode, 200), true},
        };
    }

    Records after(const Call& call) const {
        Records r = before;
        for (const Step& s : call.steps)
            applyStep(r, s);
        return r;
    }

    void expectAsBefore(const char* what) {
        std::string why;
        EXPECT_TRUE(sameAsBefore(pristine, FileImage::of(path), &why)) << what << ": " << why;
    }

    MdkEnv* newEnv() const {
        MdkEnv* env = MDK_AllocEnv();
        if (segmentMegabytes) MDSetEnvMode(env, 5, segmentMegabytes);
        if (syncWrites) MDSetEnvMode(env, MDK_MODE_SYNC_WRITES, 1);
        return env;
    }

    // After a stopped call was undone: the file holds what it held, is sound, and takes the
    // call again (what the stopped call left past the end of the file is no obstacle).
    void expectUndoneAndUsable(const Call& call, const char* what) {
        expectAsBefore(what);
        EXPECT_EQ(recordsOf(path), before);
        expectSound(path);
        MdkEnv* env = newEnv();
        MdkFile* f = openFile(env, path);
        EXPECT_EQ(runCall(env, f, call), 0) << MDK_strerr(f);
        MDK_DeAllocEnv(env);
        EXPECT_EQ(recordsOf(path), after(call));
        expectSound(path);
    }

    // The call meets a failing disk at write `at`, in this process.  False when it ended before
    // making that many writes.
    bool failAt(const Call& call, Fault fault, int at) {
        pristine.restore(path);
        planFaults(fault, at);
        MdkEnv* env = newEnv();
        MdkFile* f = openFile(env, path);
        gPlan.counting = true;
        const int32_t rc = runCall(env, f, call);
        gPlan.counting = false;
        if (!gPlan.fired) {
            EXPECT_EQ(rc, 0) << MDK_strerr(f);
            MDK_DeAllocEnv(env);
            platform::resetSysCalls();
            EXPECT_EQ(recordsOf(path), after(call));
            return false;
        }
        EXPECT_EQ(rc, -1);
        // A disk gone for good once the call had changed the file: putting it back failed
        // too, and the file stays marked, to be put back by whoever comes next.
        if (fault != Fault::DiskGone || !(FileImage::of(path).files[0][kOffFlagsB] & kCommitting))
            expectAsBefore("after the failed call");
        // The disk works again: the process that had the file open reads it as it was.
        Records seen;
        int32_t error = 0;
        EXPECT_TRUE(readRecords(f, seen, &error)) << error;
        EXPECT_EQ(seen, before);
        MDK_DeAllocEnv(env);
        platform::resetSysCalls();
        expectUndoneAndUsable(call, "after the next call");
        return true;
    }

    // The call's process is killed at write `at`: before it, or (every other write) half-way
    // through it.  The file is then repaired by whoever comes next: a process that had it open
    // before the kill (at a later call), a new opener, or a new read-only opener.  False when
    // the call ended before making that many writes.
    bool killAt(const Call& call, int at) {
        pristine.restore(path);
        MdkEnv* old = newEnv();
        MdkFile* opened = openFile(old, path);
        Records seen;
        int32_t error = 0;
        EXPECT_TRUE(readRecords(opened, seen, &error));  // its cache holds the file as it was
        const pid_t pid = fork();
        if (pid == 0) {
            planFaults(at % 2 ? Fault::KillTorn : Fault::Kill, at);
            MdkEnv* env = newEnv();
            MdkFile* f = openFile(env, path);
            gPlan.counting = true;
            _exit(runCall(env, f, call) == 0 ? 0 : 1);
        }
        int code = 0;
        const bool killed = killedBySigkill(pid, &code);
        EXPECT_TRUE(killed || code == 0) << code;
        switch (at % 3) {
            case 0:
                EXPECT_TRUE(readRecords(opened, seen, &error)) << error;
                break;
            case 1:
                seen = recordsOf(path);
                break;
            default:
                seen = recordsOf(path, MDK_OPEN_READONLY);
        }
        MDK_DeAllocEnv(old);
        if (seen == before) {
            expectUndoneAndUsable(call, "after the kill");
        } else {
            EXPECT_EQ(seen, after(call)) << "killed at write " << at;
            EXPECT_EQ(recordsOf(path), seen);
            expectSound(path);
        }
        return killed;
    }

    // The call stopped at each of its writes (or syncs) in turn; answers how many it made.
    int atEveryWrite(const Call& call, Fault fault) {
        SCOPED_TRACE(std::string(call.name) + ", " + nameOf(fault));
        int at = 0;
        while (fault == Fault::Kill ? killAt(call, at) : failAt(call, fault, at)) {
            if (HasFailure() || ++at == 1000) break;
        }
        return at;
    }

    // Leaves the file as a writer killed half-way through `call` (at its write `at`) left it.
    void leaveHalfWritten(const Call& call, int at) {
        pristine.restore(path);
        const pid_t pid = fork();
        if (pid == 0) {
            planFaults(Fault::KillTorn, at);
            MdkEnv* env = newEnv();
            MdkFile* f = openFile(env, path);
            gPlan.counting = true;
            _exit(runCall(env, f, call) == 0 ? 0 : 1);
        }
        int code = 0;
        ASSERT_TRUE(killedBySigkill(pid, &code));
        ASSERT_NE(FileImage::of(path).files[0][kOffFlagsB] & kCommitting, 0);
    }

    bool blockMode = true;
    int32_t segmentMegabytes = 0;  // environment mode 5 of every environment, when not 0
    bool syncWrites = false;       // environment mode 20
    mdnio::test::TempDir dir;
    std::string path;
    Records before;
    FileImage pristine;
};

TEST_P(StoppedCalls, AFailingDiskFailsTheCallAndLeavesTheFileAsItWas) {
    for (const Call& call : calls())
        for (Fault fault : {Fault::Short, Fault::Failed, Fault::NoSpace, Fault::DiskGone})
            EXPECT_GT(atEveryWrite(call, fault), 5);  // the call writes a few times
}

TEST_P(StoppedCalls, AKilledWriterLeavesTheFileAsItWasOrAsTheCallMadeIt) {
    for (const Call& call : calls())
        EXPECT_GT(atEveryWrite(call, Fault::Kill), 5);
}

// An insert that needs a block past the segment size makes the first segment file.  Killed at
// any write, the file goes back to having none: the segment file is removed, or taken over by
// the next insert that needs it.  A later call that fails writing into the segment file leaves
// it as it was.
TEST_P(StoppedCalls, AnInsertThatMakesASegmentFile) {
    if (!blockMode) GTEST_SKIP() << "slot mode has no segment files";
    segmentMegabytes = 1;
    path = dir.file("seg.dat");
    build(path, layout(true, 1024, 200, 8, {{{seg(common::kKeyAreaField, 0, 8)}}}));
    MdkEnv* env = newEnv();
    MdkFile* f = openFile(env, path);
    before.clear();
    // Records of 700 bytes in pieces of 200 take most of a block each.
    auto step = [](int n) { return Step{Step::Insert, keyOf(n), std::string(700, 'a' + n % 26)}; };
    ASSERT_EQ(MDK_BeginTX(env), 0);
    int n = 0;
    for (; n < 900; n++) {
        ASSERT_EQ(runStep(f, step(n)), 0);
        applyStep(before, step(n));
    }
    ASSERT_EQ(MDK_CommitTX(env), 0);
    const std::string first = store::segmentPath(path.c_str(), 1);
    for (; access(first.c_str(), F_OK) != 0; n++) {
        ASSERT_LT(n, 1400);
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        if (st.st_size > 1000000) pristine = FileImage::of(path);  // near the segment size
        ASSERT_EQ(runStep(f, step(n)), 0);
        applyStep(before, step(n));
    }
    MDK_DeAllocEnv(env);
    before.erase(keyOf(n - 1));
    const Call call{"insert into a new segment", {step(n - 1)}, false};
    EXPECT_GT(atEveryWrite(call, Fault::Kill), 5);
    const Call into{"update in the segment", {{Step::Update, keyOf(n - 1), "changed"}}, false};
    before = after(call);
    pristine = FileImage::of(path);
    EXPECT_GE(atEveryWrite(into, Fault::NoSpace), 5);
}

// A process that may only read the file meets a change a killed writer left half-done: it has
// it undone through a writable descriptor of its own when it may open one; when it may not, it
// refuses with 49 rather than read the file as it stands.
TEST_P(StoppedCalls, AReadOnlyOpenerRepairsThroughItsOwnDescriptorOrRefuses) {
    const Call call = calls().back();
    leaveHalfWritten(call, 12);
    EXPECT_EQ(mdnio::test::readOnlyOpenErrorWithoutWriteAccess(path), MDK_E_HALFWRITTEN);
    EXPECT_NE(FileImage::of(path).files[0][kOffFlagsB] & kCommitting, 0);  // nothing written
    EXPECT_EQ(recordsOf(path, MDK_OPEN_READONLY), before);
    expectUndoneAndUsable(call, "after the read-only opener");
}

// A file marked by a writer that keeps no journal (another program, or an older version),
// beside the journal of an earlier call of this library: the journal belongs to another state
// of the file and is not applied.  The mark comes off as it always did (the counter goes back
// by one), and a read-only opener reads the file as it stands instead of failing.
TEST_P(StoppedCalls, AMarkThatNoJournalExplainsIsTakenOffAndNothingIsUndone) {
    const std::vector<Call> table = calls();
    MdkEnv* env = newEnv();
    MdkFile* f = openFile(env, path);
    Records now = before;
    for (const Call& call : {table[1], table[2]}) {
        ASSERT_EQ(runCall(env, f, call), 0);
        for (const Step& step : call.steps)
            applyStep(now, step);
    }
    MDK_DeAllocEnv(env);
    std::vector<uint8_t> bytes = mdnio::test::readFile(path);
    const uint32_t marked = getCounter(bytes.data()) + 1;
    putCounterChecked(bytes.data(), marked);
    bytes[kOffFlagsB] |= kCommitting;
    mdnio::test::writeFile(path, bytes);
    EXPECT_EQ(recordsOf(path, MDK_OPEN_READONLY), now);
    EXPECT_EQ(mdnio::test::readFile(path), bytes);  // a read-only opener writes nothing
    EXPECT_EQ(recordsOf(path), now);
    bytes = mdnio::test::readFile(path);
    EXPECT_EQ(bytes[kOffFlagsB] & kCommitting, 0);
    EXPECT_EQ(getCounter(bytes.data()), marked - 1);
    expectSound(path);
}

// With environment mode 20 a call and a commit sync the journal before their first write in
// place and the data file before they return; a sync that fails fails the call, and the file
// is as it was.  Without the mode nothing is synced.
TEST_P(StoppedCalls, SyncedWritesFailWithTheirSyncAndAreNotSyncedWithoutTheMode) {
    for (const Call& call : calls()) {
        platform::sys().fsync = plannedFsync;
        gPlan = Plan{};
        gSyncs = 0;
        MdkEnv* env = newEnv();
        MdkFile* f = openFile(env, path);
        ASSERT_EQ(runCall(env, f, call), 0);
        MDK_DeAllocEnv(env);
        platform::resetSysCalls();
        EXPECT_EQ(gSyncs, 0) << call.name;
        pristine.restore(path);
    }
    syncWrites = true;
    for (const Call& call : calls())
        EXPECT_GE(atEveryWrite(call, Fault::SyncFailed), 3);
}

INSTANTIATE_TEST_SUITE_P(Storage, StoppedCalls, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "block" : "slot"; });

}  // namespace
