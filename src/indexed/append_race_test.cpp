// Two processes appending to one file at once: every record lands under its own number.
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <set>
#include <thread>

#include "indexed/builder.h"
#include "indexed/verify.h"
#include "test_files.h"

namespace mdnio::indexed::test {
namespace {

constexpr int kRecordLength = 24;
constexpr int kPerWriter = 1000;

struct Writer {
    std::string path;
    int id;
    std::atomic<int>* started;  // in memory shared by the two processes
};

// Waits until both writers have started, so that their appends overlap however the forks are
// scheduled.  Bounded: a writer whose partner never comes goes ahead alone (and the checks
// below still hold) rather than hang.
void waitForPartner(std::atomic<int>* started) {
    started->fetch_add(1);
    for (long spins = 0; started->load() < 2 && spins < 100'000'000; spins++)
        std::this_thread::yield();
}

// The child's work: its own environment and handle, 1000 inserts each at the count it last
// saw.  An insert that finds its number taken learns the count the refusal read and tries the
// next number; a busy header (the environment does not wait) is tried again.  Exit codes above
// 0 name what went wrong.
int appendAll(void* arg) {
    const Writer& w = *static_cast<const Writer*>(arg);
    MdkEnv* env = MDK_AllocEnv();
    if (!env || MDSetEnvMode(env, 3, 0x0C) != 0) return 2;
    int32_t error = 0;
    MdkFile* f = MDK_OpenExt(env, w.path.c_str(), nullptr, 0, 0, &error);
    if (f == MDK_INVALID_FILE) return 3;
    waitForPartner(w.started);
    int64_t next = MDGetEnvMode(f, -4);
    long attempts = 0;
    for (int seq = 0; seq < kPerWriter; seq++) {
        char record[kRecordLength + 1];
        std::snprintf(record, sizeof record, "writer %d seq %04d", w.id, seq);
        for (;;) {
            if (++attempts > 10'000'000) return 4;  // no progress: fail instead of hanging
            char key[9];
            std::snprintf(key, sizeof key, "%08lld", static_cast<long long>(next));
            if (MDK_insert(f, record, kRecordLength, key, 8) == 0) break;
            int32_t code = MDK_geterrno(f);
            if (code == MDK_E_DUPLICATE) {
                next = std::max<int64_t>(next + 1, MDGetEnvMode(f, -4));
            } else if (code == MDK_E_BUSY) {
                std::this_thread::yield();
            } else {
                return 10 + code;
            }
        }
        next++;
    }
    MDK_close(f);
    MDK_DeAllocEnv(env);
    return 0;
}

TEST(AppendRaceTest, TwoProcessesNeverTakeTheSameRecordNumber) {
    TempDir dir;
    std::string path = dir.file("race.ind");
    ASSERT_EQ(buildIndexedFile(path, kRecordLength, 0), 0);

    void* shared = mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(shared, MAP_FAILED);
    auto* started = new (shared) std::atomic<int>(0);
    Writer writers[2] = {{path, 1, started}, {path, 2, started}};
    int status[2] = {-1, -1};
    {
        // Each thread forks one writer and waits for it, so the two run side by side.
        std::jthread a([&] { status[0] = mdnio::test::runInChild(appendAll, &writers[0]); });
        std::jthread b([&] { status[1] = mdnio::test::runInChild(appendAll, &writers[1]); });
    }
    munmap(shared, sizeof(std::atomic<int>));
    ASSERT_EQ(status[0], 0);
    ASSERT_EQ(status[1], 0);

    EXPECT_EQ(countOnDisk(path), 2u * kPerWriter);
    IndexedVerifyReport report = verifyIndexedFile(path);
    EXPECT_TRUE(report.ok()) << (report.ok() ? "" : report.problems.front());

    // Every record names one writer and one sequence number; each writer's numbers are all
    // there, once, in the order it wrote them.
    std::vector<uint8_t> bytes = readFile(path);
    std::set<std::pair<int, int>> seen;
    int lastSeq[3] = {-1, -1, -1};
    for (int n = 0; n < 2 * kPerWriter; n++) {
        std::string record = recordIn(bytes, kRecordLength, n);
        int id = 0, seq = 0;
        ASSERT_EQ(std::sscanf(record.c_str(), "writer %d seq %d", &id, &seq), 2)
            << "record " << n << ": " << record;
        ASSERT_TRUE(id == 1 || id == 2) << record;
        EXPECT_TRUE(seen.insert({id, seq}).second) << "duplicate " << record;
        EXPECT_GT(seq, lastSeq[id]) << "out of order " << record;
        lastSeq[id] = seq;
    }
    EXPECT_EQ(seen.size(), 2u * kPerWriter);
    EXPECT_EQ(lastSeq[1], kPerWriter - 1);
    EXPECT_EQ(lastSeq[2], kPerWriter - 1);
}

}  // namespace
}  // namespace mdnio::indexed::test
