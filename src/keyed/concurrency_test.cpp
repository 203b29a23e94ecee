// Several threads of one environment and several processes on one classic file: shared caches,
// changes seen across processes, busy headers and records, a process killed while it holds the
// header lock, and a mixed load from which every acknowledged change must survive.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>

#include "frame/frame.h"
#include "keyed/testing.h"
#include "testutil.h"

using namespace mdnio;
using namespace mdnio::keyed;
using namespace mdnio::keyed::test;

namespace {

constexpr char kSep = static_cast<char>(0x8A);

ClassicLayout sharedLayout(bool blockMode) {
    return layout(blockMode, 1024, 60, 8,
                  {{{seg(common::kKeyAreaField, 0, 8)}}, {{seg(1, 0, 10, common::kOptUpper)}}});
}

MdkFile* openIn(MdkEnv* env, const std::string& path) {
    int32_t err = 0;
    MdkFile* f = MDK_OpenExt(env, path.c_str(), nullptr, 0, 0, &err);
    return f;
}

int32_t put(MdkFile* f, const std::string& key, const std::string& data) {
    return MDK_write(f, data.data(), static_cast<int32_t>(data.size()), key.data(),
                     static_cast<int32_t>(key.size()));
}

using mdnio::test::Baton;

class Concurrency : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        path = dir.file("c.dat");
        build(path, sharedLayout(GetParam()));
    }
    void TearDown() override { expectSound(path); }
    mdnio::test::TempDir dir;
    std::string path;
};

TEST_P(Concurrency, HandlesOfOneEnvironmentShareOneCache) {
    MdkEnv* env = MDK_AllocEnv();
    MdkFile* a = openIn(env, path);
    MdkFile* b = openIn(env, path);
    ASSERT_NE(a, MDK_INVALID_FILE);
    ASSERT_NE(b, MDK_INVALID_FILE);
    EXPECT_EQ(a->shared, b->shared);
    ASSERT_EQ(put(a, "k1", "one"), 0);
    ASSERT_EQ(MDK_seek(b, "k1", 2, 1), 0);
    ASSERT_EQ(MDK_close(a), 0);
    char buf[64];
    EXPECT_EQ(MDK_read(b, buf, sizeof buf, MDK_READ_CURRENT), 8 + 3);  // b still works
    // Another environment has its own block and its own descriptor.
    MdkEnv* other = MDK_AllocEnv();
    MdkFile* c = openIn(other, path);
    EXPECT_NE(c->shared, b->shared);
    MDK_DeAllocEnv(other);
    MDK_DeAllocEnv(env);
}

int insertInChild(void* arg) {
    auto* path = static_cast<std::string*>(arg);
    MdkEnv* env = MDK_AllocEnv();
    MdkFile* f = openIn(env, *path);
    if (f == MDK_INVALID_FILE) return 2;
    int rc = put(f, "fromkid", "hello");
    MDK_DeAllocEnv(env);
    return rc == 0 ? 0 : 3;
}

TEST_P(Concurrency, AChangeByAnotherProcessIsSeenAtTheNextCall) {
    MdkEnv* env = MDK_AllocEnv();
    MdkFile* f = openIn(env, path);
    ASSERT_EQ(put(f, "aaa", "x"), 0);
    ASSERT_EQ(MDK_seek(f, "fromkid", 7, 1), -1);  // blocks are cached now
    ASSERT_EQ(mdnio::test::runInChild(insertInChild, &path), 0);
    EXPECT_EQ(MDK_seek(f, "fromkid", 7, 1), 0);
    EXPECT_EQ(MDGetEnvMode(f, -4), 2);
    MDK_DeAllocEnv(env);
}

// The child holds the header lock (a transaction that changed the file) and a record lock
// until the parent tells it to let go.
int holdLocks(void* arg) {
    auto* args = static_cast<std::pair<std::string*, Baton*>*>(arg);
    Baton& baton = *args->second;
    MdkEnv* env = MDK_AllocEnv();
    MdkFile* f = openIn(env, *args->first);
    if (f == MDK_INVALID_FILE) return 2;
    char buf[64];
    if (MDK_seek(f, "held", 4, 1) != 0) return 3;
    if (MDK_read(f, buf, sizeof buf, MDK_READ_CURRENT | MDK_READ_LOCK) < 0) return 4;
    Baton::give(baton.toParent[1]);  // record held
    if (!Baton::take(baton.toChild[0])) return 5;
    if (MDK_BeginTX(env) != 0 || put(f, "txrec", "pending") != 0) return 6;
    Baton::give(baton.toParent[1]);  // header held
    if (!Baton::take(baton.toChild[0])) return 7;
    if (MDK_CommitTX(env) != 0) return 8;
    MDK_DeAllocEnv(env);
    return 0;
}

TEST_P(Concurrency, NoWaitModeAnswersBusyAtOnce) {
    MdkEnv* env = MDK_AllocEnv();
    ASSERT_EQ(MDSetEnvMode(env, 3, 0x0C), 0);  // no waiting for records (4) nor headers (8)
    MdkFile* f = openIn(env, path);
    ASSERT_EQ(put(f, "held", "locked record"), 0);
    ASSERT_EQ(put(f, "free", "other record"), 0);
    Baton baton;
    std::pair<std::string*, Baton*> args{&path, &baton};
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) _exit(holdLocks(&args));
    ASSERT_TRUE(Baton::take(baton.toParent[0]));
    char buf[64];
    ASSERT_EQ(MDK_seek(f, "held", 4, 1), 0);
    EXPECT_EQ(MDK_read(f, buf, sizeof buf, MDK_READ_CURRENT), -1);
    EXPECT_EQ(MDK_geterrno(f), MDK_E_BUSY);
    ASSERT_EQ(MDK_seek(f, "free", 4, 1), 0);
    EXPECT_GT(MDK_read(f, buf, sizeof buf, MDK_READ_CURRENT), 0);
    Baton::give(baton.toChild[1]);
    ASSERT_TRUE(Baton::take(baton.toParent[0]));
    // The child's transaction holds the header: writers are kept out, and nothing of the
    // transaction is visible yet.
    EXPECT_EQ(put(f, "mine", "x"), -1);
    EXPECT_EQ(MDK_geterrno(f), MDK_E_HEADERBUSY);
    EXPECT_EQ(MDK_seek(f, "txrec", 5, 1), -1);
    Baton::give(baton.toChild[1]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(MDK_seek(f, "txrec", 5, 1), 0);
    EXPECT_EQ(put(f, "mine", "x"), 0);
    MDK_DeAllocEnv(env);
}

// In a process of its own, without waiting: 1 when the record `held` is busy, 2 when `free`
// can be read, 4 when a new record can be written (the header lock is free).
int probeInChild(void* arg) {
    const std::string& path = *static_cast<std::string*>(arg);
    MdkEnv* env = MDK_AllocEnv();
    MDSetEnvMode(env, 3, 0x0C);
    MdkFile* f = openIn(env, path);
    if (f == MDK_INVALID_FILE) return 64;
    int result = 0;
    char buf[64];
    if (MDK_seek(f, "held", 4, 1) == 0 && MDK_read(f, buf, sizeof buf, MDK_READ_CURRENT) == -1 &&
        MDK_geterrno(f) == MDK_E_BUSY)
        result |= 1;
    if (MDK_seek(f, "free", 4, 1) == 0 && MDK_read(f, buf, sizeof buf, MDK_READ_CURRENT) > 0)
        result |= 2;
    if (put(f, "child", "c") == 0) result |= 4;
    MDK_DeAllocEnv(env);
    return result;
}

// The end of a write's header-lock period gives back the header lock and the written record's
// lock, and nothing else: a record another handle of the environment holds (its lock lies
// between the two) stays locked.
TEST_P(Concurrency, AWriteGivesBackOnlyItsOwnLocks) {
    MdkEnv* env = MDK_AllocEnv();
    MdkFile* writer = openIn(env, path);
    MdkFile* holder = openIn(env, path);
    ASSERT_EQ(put(writer, "held", "held record"), 0);
    ASSERT_EQ(put(writer, "free", "free record"), 0);
    char buf[64];
    ASSERT_EQ(MDK_seek(holder, "held", 4, 1), 0);
    ASSERT_GT(MDK_read(holder, buf, sizeof buf, MDK_READ_CURRENT | MDK_READ_LOCK), 0);
    ASSERT_EQ(put(writer, "free", "free record, changed"), 0);
    EXPECT_EQ(mdnio::test::runInChild(probeInChild, &path), 1 | 2 | 4);
    ASSERT_EQ(MDK_UnlockRecord(holder, -1), 0);
    EXPECT_EQ(mdnio::test::runInChild(probeInChild, &path), 2 | 4);
    MDK_DeAllocEnv(env);
}

int writeThenHang(void* arg) {
    auto* args = static_cast<std::pair<std::string*, Baton*>*>(arg);
    MdkEnv* env = MDK_AllocEnv();
    MdkFile* f = openIn(env, *args->first);
    if (f == MDK_INVALID_FILE) return 2;
    MDK_BeginTX(env);
    for (int i = 0; i < 200; i++)
        put(f, "dead" + std::to_string(i), std::string(40, 'd'));
    Baton::give(args->second->toParent[1]);
    for (;;)
        pause();
}

TEST_P(Concurrency, AProcessKilledHoldingTheHeaderLeavesTheFileUsable) {
    {
        MdkEnv* env = MDK_AllocEnv();
        MdkFile* f = openIn(env, path);
        for (int i = 0; i < 50; i++)
            ASSERT_EQ(put(f, "live" + std::to_string(i), "ok"), 0);
        MDK_DeAllocEnv(env);
    }
    Baton baton;
    std::pair<std::string*, Baton*> args{&path, &baton};
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) _exit(writeThenHang(&args));
    ASSERT_TRUE(Baton::take(baton.toParent[0]));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    expectSound(path);
    MdkEnv* env = MDK_AllocEnv();
    ASSERT_EQ(MDSetEnvMode(env, 3, 0x0C), 0);  // the dead process's locks are gone
    MdkFile* f = openIn(env, path);
    EXPECT_EQ(MDGetEnvMode(f, -4), 50);
    EXPECT_EQ(put(f, "after", "works"), 0);
    EXPECT_EQ(MDK_seek(f, "dead0", 5, 1), -1);
    MDK_DeAllocEnv(env);
}

// One actor of the mixed load: deterministic operations on its own keys, so that the final
// state can be computed again from the seed.
struct Actor {
    int id;
    int operations;
    std::map<std::string, std::string> expected;

    std::string key(int n) const { return "a" + std::to_string(id) + "_" + std::to_string(n); }

    // Runs the operations on `f`; answers the number of calls that failed.
    int run(MdkFile* f) {
        std::mt19937 rng(static_cast<unsigned>(1000 + id));
        int failures = 0;
        char buf[128];
        for (int i = 0; i < operations; i++) {
            std::string k = key(static_cast<int>(rng() % 40));
            int what = static_cast<int>(rng() % 4);
            std::string value = "v" + std::to_string(rng() % 1000) + kSep + "t";
            if (what <= 1) {
                if (put(f, k, value) != 0) failures++;
                expected[k] = value;
            } else if (what == 2) {
                int32_t rc = MDK_remove(f, k.data(), static_cast<int32_t>(k.size()));
                bool had = expected.erase(k) > 0;
                if ((rc == 0) != had) failures++;
            } else {
                int32_t rc = MDK_seek(f, k.data(), static_cast<int32_t>(k.size()), 1);
                bool has = expected.count(k) > 0;
                if ((rc == 0) != has) failures++;
                if (has && rc == 0) {
                    int32_t n = MDK_read(f, buf, sizeof buf, MDK_READ_CURRENT);
                    if (n < 8 || std::string(buf + 8, static_cast<size_t>(n - 8)) != expected[k])
                        failures++;
                }
            }
        }
        return failures;
    }
};

int actorProcess(void* arg) {
    auto* args = static_cast<std::pair<std::string*, int>*>(arg);
    MdkEnv* env = MDK_AllocEnv();
    MdkFile* f = openIn(env, *args->first);
    if (f == MDK_INVALID_FILE) return 2;
    Actor actor{args->second, 400, {}};
    int failures = actor.run(f);
    MDK_DeAllocEnv(env);
    return failures == 0 ? 0 : 10;
}

TEST_P(Concurrency, ThreadsAndProcessesLoseNothing) {
    MdkEnv* env = MDK_AllocEnv();
    std::vector<Actor> actors;
    for (int i = 0; i < 4; i++)
        actors.push_back({i, 400, {}});
    std::vector<MdkFile*> handles;
    for (int i = 0; i < 4; i++)
        handles.push_back(openIn(env, path));
    // Two processes of their own alongside the four threads.
    std::vector<pid_t> children;
    std::vector<std::pair<std::string*, int>> args = {{&path, 10}, {&path, 11}};
    std::fflush(nullptr);
    for (auto& a : args) {
        pid_t pid = fork();
        if (pid == 0) _exit(actorProcess(&a));
        children.push_back(pid);
    }
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; i++)
        threads.emplace_back([&, i] {
            failures += actors[static_cast<size_t>(i)].run(handles[static_cast<size_t>(i)]);
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    // Every acknowledged change is there: replay the processes' actors to know their state.
    for (int id : {10, 11}) {
        Actor replay{id, 400, {}};
        mdnio::test::TempDir scratch;
        std::string other = scratch.file("replay.dat");
        build(other, sharedLayout(GetParam()));
        MdkEnv* e = MDK_AllocEnv();
        replay.run(openIn(e, other));
        MDK_DeAllocEnv(e);
        actors.push_back(replay);
    }
    MdkFile* f = handles[0];
    size_t total = 0;
    char buf[128];
    for (const Actor& a : actors) {
        total += a.expected.size();
        for (const auto& [k, v] : a.expected) {
            ASSERT_EQ(MDK_seek(f, k.data(), static_cast<int32_t>(k.size()), 1), 0) << k;
            int32_t n = MDK_read(f, buf, sizeof buf, MDK_READ_CURRENT);
            EXPECT_EQ(std::string(buf + 8, static_cast<size_t>(n - 8)), v) << k;
        }
    }
    EXPECT_EQ(MDGetEnvMode(f, -4), static_cast<intptr_t>(total));
    MDK_DeAllocEnv(env);
}

INSTANTIATE_TEST_SUITE_P(Storage, Concurrency, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "block" : "slot"; });

}  // namespace
