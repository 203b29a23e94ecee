// Restricted reads of classic files, which read runs of records in one optimistic period: finds
// that lie several runs apart, the end of the range and of the file, a file another process
// changes while the runs are read, and a record another process holds in the middle of a run.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <poll.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "keyed/testing.h"
#include "testutil.h"

using namespace mdnio;
using namespace mdnio::keyed;
using namespace mdnio::keyed::test;

namespace {

constexpr char kSep = static_cast<char>(0x8A);
constexpr int kRecords = 1000;

std::string key(int i) {
    char k[13];  // room for any int, so that no key is ever cut
    std::snprintf(k, sizeof k, "k%05d", i);
    return k;
}

// Record i is tagged Y when i is a multiple of 150 (0, 150, ... 900: found several runs apart),
// N otherwise; `text` is free to change.
std::string data(int i, const std::string& text = "first") {
    return std::string(1, i % 150 == 0 ? 'Y' : 'N') + kSep + text;
}

class RestrictedRun : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        path = dir.file("runs.dat");
        build(path, layout(GetParam(), 1024, 40, 6, {{{seg(common::kKeyAreaField, 0, 6)}}}));
        env = MDK_AllocEnv();
        file = open(env);
        ASSERT_NE(file, MDK_INVALID_FILE);
        // Written in a scattered order, so that the physical order is not the key order.
        for (int n = 0; n < kRecords; n++) {
            const int i = n * 7 % kRecords;
            std::string d = data(i);
            ASSERT_EQ(MDK_insert(file, d.data(), static_cast<int32_t>(d.size()), key(i).data(), 6),
                      0);
        }
        putTagProgram(file);
    }
    void TearDown() override {
        if (file != MDK_INVALID_FILE) MDK_close(file);
        MDK_DeAllocEnv(env);
        expectSound(path);
    }
    // The program of every scan here: the tag is Y.
    static void putTagProgram(MdkFile* f) {
        MdkRestrictEntry tag{};
        tag.fieldNumber = 1;
        tag.op = MDK_OP_EQ;
        tag.length = 1;
        tag.value = "Y";
        ASSERT_EQ(MDK_PutRestrictInfo(f, 0, &tag), 0);
    }
    MdkFile* open(MdkEnv* e) {
        int32_t err = 0;
        return MDK_OpenExt(e, path.c_str(), nullptr, 0, 0, &err);
    }
    // The keys a restricted scan hands out, from the start of key 1 (or of the physical order),
    // up to `endKey` when one is given; `last` gets the answer that ended the scan.
    std::vector<std::string> scan(MdkFile* f, bool physical, const std::string& endKey,
                                  int32_t* last) {
        std::vector<std::string> keys;
        if (physical) {
            EXPECT_EQ(MDK_seek(f, "", 0, MDK_SEEK_PHYSICAL), 0);
        } else {
            MDK_seek(f, "", 0, 1);  // before the first record
        }
        char buf[64];
        char keyOut[16];
        uint8_t keyLength = 0;
        for (;;) {
            const int32_t n = MDK_RestrictedRead(
                f, buf, sizeof buf, MDK_READ_NEXT, keyOut, &keyLength,
                endKey.empty() ? nullptr : endKey.data(), static_cast<int32_t>(endKey.size()), 2);
            if (n < 0) {
                *last = n;
                break;
            }
            EXPECT_EQ(buf[6], 'Y');
            keys.emplace_back(buf, 6);
            if (!physical) {  // the physical order moves no key
                EXPECT_EQ(keyLength, 6);
                EXPECT_EQ(std::string(keyOut, 6), keys.back());
            }
        }
        if (physical) MDK_RawReadMode(f, 0);
        return keys;
    }
    static std::vector<std::string> tagged(int below) {
        std::vector<std::string> keys;
        for (int i = 0; i < below; i += 150)
            keys.push_back(key(i));
        return keys;
    }

    mdnio::test::TempDir dir;
    std::string path;
    MdkEnv* env = nullptr;
    MdkFile* file = MDK_INVALID_FILE;
};

TEST_P(RestrictedRun, FindsRecordsSeveralRunsApartAndTheEnd) {
    int32_t last = 0;
    EXPECT_EQ(scan(file, false, "", &last), tagged(kRecords));
    EXPECT_EQ(last, -4);
    // The range ends inside a run of skipped records.
    EXPECT_EQ(scan(file, false, key(500), &last), tagged(501));
    EXPECT_EQ(last, -4);
    if (GetParam()) {  // physical order: block mode only
        std::vector<std::string> keys = scan(file, true, "", &last);
        EXPECT_EQ(last, -4);
        EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()).size(), keys.size());
        std::sort(keys.begin(), keys.end());
        EXPECT_EQ(keys, tagged(kRecords));
    }
}

// Another process rewrites untagged records all the time: runs read while it does are read
// again, and every scan still hands out exactly the tagged records.
TEST_P(RestrictedRun, ScansWhileAnotherProcessWritesSeeEveryTaggedRecordOnce) {
    int stop[2];
    ASSERT_EQ(pipe(stop), 0);
    std::fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(stop[1]);
        MdkEnv* e = MDK_AllocEnv();
        MdkFile* f = open(e);
        if (f == MDK_INVALID_FILE) _exit(2);
        for (int round = 0;; round++) {
            for (int i = 1; i < kRecords; i += 37) {
                if (i % 150 == 0) continue;
                std::string d = data(i, round % 2 ? "second" : "first");
                if (MDK_update(f, d.data(), static_cast<int32_t>(d.size()), key(i).data(), 6) != 0)
                    _exit(3);
            }
            pollfd p{stop[0], POLLIN, 0};
            if (poll(&p, 1, 0) > 0) break;
        }
        MDK_close(f);
        MDK_DeAllocEnv(e);
        _exit(0);
    }
    close(stop[0]);
    for (int round = 0; round < 20; round++) {
        int32_t last = 0;
        ASSERT_EQ(scan(file, false, "", &last), tagged(kRecords)) << round;
        ASSERT_EQ(last, -4);
        if (GetParam()) {
            std::vector<std::string> keys = scan(file, true, "", &last);
            std::sort(keys.begin(), keys.end());
            ASSERT_EQ(keys, tagged(kRecords)) << round;
        }
    }
    close(stop[1]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A record another process holds locked, in the middle of a run of skipped records: the scan
// stops there with 23 (no waiting asked for), as a read of that record would, and goes past it
// once the lock is given back.
TEST_P(RestrictedRun, ARecordHeldByAnotherProcessInARunAnswersBusy) {
    MDK_close(file);
    ASSERT_EQ(MDSetEnvMode(env, 3, 0x0C), 0);  // no waiting for records nor headers
    file = open(env);
    ASSERT_NE(file, MDK_INVALID_FILE);
    putTagProgram(file);
    int toParent[2], toChild[2];
    ASSERT_EQ(pipe(toParent), 0);
    ASSERT_EQ(pipe(toChild), 0);
    std::fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        MdkEnv* e = MDK_AllocEnv();
        MdkFile* f = open(e);
        char buf[64];
        char c = 1;
        if (f == MDK_INVALID_FILE || MDK_seek(f, key(200).data(), 6, 1) != 0 ||
            MDK_read(f, buf, sizeof buf, MDK_READ_CURRENT | 0x1000) < 0)
            _exit(2);
        if (write(toParent[1], &c, 1) != 1 || read(toChild[0], &c, 1) != 1) _exit(3);
        MDK_close(f);  // gives the lock back
        MDK_DeAllocEnv(e);
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(toParent[0], &c, 1), 1);
    char buf[64];
    ASSERT_EQ(MDK_seek(file, key(151).data(), 6, 1), 0);
    EXPECT_EQ(MDK_RestrictedRead(file, buf, sizeof buf, MDK_READ_CURRENT, nullptr, nullptr, nullptr,
                                 0, 2),
              -1);
    EXPECT_EQ(MDK_geterrno(file), MDK_E_BUSY);
    ASSERT_EQ(write(toChild[1], &c, 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ASSERT_EQ(MDK_seek(file, key(151).data(), 6, 1), 0);
    ASSERT_GT(MDK_RestrictedRead(file, buf, sizeof buf, MDK_READ_CURRENT, nullptr, nullptr, nullptr,
                                 0, 2),
              0);
    EXPECT_EQ(std::string(buf, 6), key(300));
    for (int fd : {toParent[0], toParent[1], toChild[0], toChild[1]})
        close(fd);
}

INSTANTIATE_TEST_SUITE_P(Modes, RestrictedRun, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "block" : "slot"; });

}  // namespace
