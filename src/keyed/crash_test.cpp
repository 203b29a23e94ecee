// A writer process killed at random moments, again and again, while it inserts, updates and
// removes records (records in pieces, compressed, block splits), outside transactions and in
// transactions of a few calls, in block mode and slot mode.  After every kill the file opens
// (read-only first or for writing first, in turn), the verifier finds it sound, every call (or
// commit) that returned is in it, and of the call or transaction in progress either all or
// nothing.  The next writer goes on from there.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "keyed/format.h"
#include "keyed/survival_testing.h"

using namespace mdnio;
using namespace mdnio::keyed;
using namespace mdnio::keyed::test;

namespace {

constexpr int kRounds = 40;
constexpr int kStepsPerRound = 400;
// The writer is killed this long at most after it opened the file.
constexpr int kLongestPauseUs = 20000;

// The calls of a round, in groups: one call each, or the calls of one transaction.
std::vector<size_t> groupEnds(size_t steps, bool transactions, std::mt19937& rng) {
    std::vector<size_t> ends;
    for (size_t at = 0; at < steps;) {
        at = std::min(steps, at + (transactions ? 1 + rng() % 6 : 1));
        ends.push_back(at);
    }
    return ends;
}

// The writer: reports through `out` that it opened the file (0 calls done), then runs the
// groups and reports after each group that returned how many calls are done.  Exits 2 when a
// call fails (it never should).
[[noreturn]] void writer(const std::string& path, const std::vector<Step>& steps,
                         const std::vector<size_t>& ends, bool transactions, int out) {
    MdkEnv* env = MDK_AllocEnv();
    MdkFile* f = MDK_OpenExt(env, path.c_str(), nullptr, 0, 0, nullptr);
    // A first read of everything: the pages a forked process copies on its first writes are
    // copied before the pause before the kill starts.
    Records warm;
    int32_t error = 0;
    uint32_t done = 0;
    if (f == MDK_INVALID_FILE || !readRecords(f, warm, &error) ||
        write(out, &done, sizeof done) != sizeof done)
        _exit(2);
    size_t at = 0;
    for (size_t end : ends) {
        if (transactions && MDK_BeginTX(env) != 0) _exit(2);
        for (; at < end; at++)
            if (runStep(f, steps[at]) != 0) _exit(2);
        if (transactions && MDK_CommitTX(env) != 0) _exit(2);
        done = static_cast<uint32_t>(at);
        if (write(out, &done, sizeof done) != sizeof done) _exit(2);
    }
    _exit(0);
}

// The last count the writer reported before it died.
uint32_t lastReport(int in) {
    uint32_t done = 0, next = 0;
    while (read(in, &next, sizeof next) == static_cast<ssize_t>(sizeof next))
        done = next;
    return done;
}

Records applied(Records model, const std::vector<Step>& steps, size_t count) {
    for (size_t i = 0; i < count; i++)
        applyStep(model, steps[i]);
    return model;
}

class KilledWriter : public ::testing::TestWithParam<std::tuple<bool, bool>> {};

TEST_P(KilledWriter, KeepsEveryCallThatReturnedAndNothingHalfDone) {
    const auto [blockMode, transactions] = GetParam();
    mdnio::test::TempDir dir;
    const std::string path = dir.file("k.dat");
    build(path, survivalLayout(blockMode));
    std::mt19937 rng(blockMode * 2 + transactions + 11);
    Records model;
    int marked = 0;
    for (int round = 0; round < kRounds; round++) {
        const std::vector<Step> steps = makeSteps(model, 1000 + round, kStepsPerRound, blockMode);
        const std::vector<size_t> ends = groupEnds(steps.size(), transactions, rng);
        int pipeFds[2];
        ASSERT_EQ(pipe(pipeFds), 0);
        const pid_t pid = fork();
        if (pid == 0) {
            close(pipeFds[0]);
            writer(path, steps, ends, transactions, pipeFds[1]);
        }
        close(pipeFds[1]);
        uint32_t opened = 0;
        ASSERT_EQ(read(pipeFds[0], &opened, sizeof opened), static_cast<ssize_t>(sizeof opened));
        usleep(static_cast<useconds_t>(rng() % kLongestPauseUs));
        kill(pid, SIGKILL);
        int code = 0;
        const bool killed = killedBySigkill(pid, &code);
        const uint32_t done = lastReport(pipeFds[0]);
        close(pipeFds[0]);
        ASSERT_TRUE(killed || code == 0) << "the writer failed in round " << round;
        if (FileImage::of(path).files[0][kOffFlagsB] & kCommitting) marked++;

        // The group in progress at the kill landed whole or not at all.
        const auto next = std::upper_bound(ends.begin(), ends.end(), size_t{done});
        const Records returned = applied(model, steps, done);
        const Records withNext = next == ends.end() ? returned : applied(model, steps, *next);
        const bool readOnlyFirst = round % 2 == 0;
        const Records found = recordsOf(path, readOnlyFirst ? MDK_OPEN_READONLY : 0);
        ASSERT_TRUE(found == returned || found == withNext)
            << "round " << round << ": " << done << " calls returned, the file holds "
            << found.size() << " records where " << returned.size() << " or " << withNext.size()
            << " were expected";
        EXPECT_EQ(recordsOf(path, readOnlyFirst ? 0 : MDK_OPEN_READONLY), found);
        expectSound(path);
        if (HasFailure()) return;
        model = found;
    }
    // Most kills land inside a call's writes: the file was left marked and was put back.
    EXPECT_GT(marked, 0);
}

INSTANTIATE_TEST_SUITE_P(Writers, KilledWriter,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) ? "block" : "slot") +
                                    (std::get<1>(info.param) ? "_transactions" : "_calls");
                         });

}  // namespace
