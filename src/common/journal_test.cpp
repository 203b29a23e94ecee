// The rollback journal's format: what a reader takes from a journal, and what it refuses (a
// torn entry, the tail of an older period, damage).
#include "common/journal.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "testutil.h"

using namespace mdnio;
using namespace mdnio::common;

namespace {

struct Saved {
    uint32_t file;
    int64_t offset;
    std::vector<uint8_t> bytes;
};

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = static_cast<uint8_t>(seed + i * 7);
    return v;
}

class Journal : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        data = dir.file("d.dat");
        test::writeFile(data, std::string(100, 'd'));
        like = platform::openPlain(data.c_str());
        ASSERT_GE(like, 0);
        path = journalPath(data.c_str());
        ASSERT_TRUE(w.open(path.c_str(), like, GetParam()));
    }
    void TearDown() override {
        w.close();
        platform::closeFile(like);
    }

    // Begins a period with `stamp` and writes `entries` in batches of `batch`.
    void journal(uint64_t stamp, const std::vector<Saved>& entries, size_t batch = 2) {
        w.begin(stamp);
        for (size_t i = 0; i < entries.size(); i++) {
            const Saved& e = entries[i];
            uint8_t* at = w.add(e.file, e.offset, static_cast<uint32_t>(e.bytes.size()));
            std::copy(e.bytes.begin(), e.bytes.end(), at);
            if ((i + 1) % batch == 0) {
                ASSERT_TRUE(w.write());
            }
        }
        ASSERT_TRUE(w.write());
    }

    // What a reader finds, entry bytes included.
    std::vector<Saved> readBack(JournalState expect = JournalState::Valid,
                                uint64_t* stamp = nullptr) {
        int fd = platform::openPlain(path.c_str());
        EXPECT_GE(fd, 0);
        JournalContents j;
        EXPECT_EQ(readJournal(fd, j), expect);
        if (stamp) *stamp = j.stamp;
        std::vector<Saved> out;
        for (const JournalEntry& e : j.entries) {
            Saved s{e.file, e.offset, std::vector<uint8_t>(e.length)};
            EXPECT_TRUE(readEntryBytes(fd, e, s.bytes.data()));
            out.push_back(s);
        }
        platform::closeFile(fd);
        return out;
    }

    // What a reader finds in the journal `bytes` with one bit of byte `at` flipped.
    std::vector<Saved> readDamaged(std::vector<uint8_t> bytes, size_t at, JournalState expect) {
        bytes[at] ^= 0x10;
        test::writeFile(path, bytes);
        return readBack(expect);
    }

    void expectSame(const std::vector<Saved>& got, const std::vector<Saved>& want) {
        ASSERT_EQ(got.size(), want.size());
        for (size_t i = 0; i < got.size(); i++) {
            EXPECT_EQ(got[i].file, want[i].file) << i;
            EXPECT_EQ(got[i].offset, want[i].offset) << i;
            EXPECT_EQ(got[i].bytes, want[i].bytes) << i;
        }
    }

    test::TempDir dir;
    std::string data, path;
    int like = -1;
    JournalWriter w;
};

const std::vector<Saved> kFive = {
    {0, 0, pattern(256, 1)}, {0, 4096, pattern(64, 2)},      {3, 8192, pattern(4096, 3)},
    {0, 512, pattern(1, 4)}, {31, 1 << 30, pattern(300, 5)},
};

// The entries come back as written; then the same entries again under a new period, fewer of
// them: the old ones stay in the file after the new ones, complete and with their own sound
// checksums, and do not count.
TEST_P(Journal, EntriesReadBackAsWrittenAndAnOlderLongerTailDoesNotCount) {
    for (const std::vector<Saved>& entries : {kFive, std::vector<Saved>{kFive[0], kFive[1]}}) {
        const uint64_t stamp = 70 + entries.size();
        journal(stamp, entries);
        uint64_t found = 0;
        expectSame(readBack(JournalState::Valid, &found), entries);
        EXPECT_EQ(found, stamp);
    }
}

TEST_P(Journal, ATornEntryEndsTheJournal) {
    journal(1, kFive);
    std::vector<uint8_t> bytes = test::readFile(path);
    // Cut inside the fourth entry's saved bytes, and in its checksum.
    size_t fourth = kJournalHeaderSize;
    for (int i = 0; i < 3; i++)
        fourth += kJournalEntryHead + kFive[i].bytes.size() + kJournalEntryTail;
    for (size_t cut : {fourth + 3, fourth + kJournalEntryHead + 1 + 4}) {
        ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(cut)), 0);
        expectSame(readBack(), {kFive[0], kFive[1], kFive[2]});
        test::writeFile(path, bytes);
    }
}

TEST_P(Journal, AChangedByteEndsTheJournalAtItsEntry) {
    journal(1, kFive);
    std::vector<uint8_t> bytes = test::readFile(path);
    const size_t second = kJournalHeaderSize + kJournalEntryHead + 256 + kJournalEntryTail;
    for (size_t at :
         {second, second + 5, second + kJournalEntryHead + 10, second + kJournalEntryHead + 64})
        expectSame(readDamaged(bytes, at, JournalState::Valid), {kFive[0]});
}

TEST_P(Journal, AHeaderThatDoesNotCountIsNoJournal) {
    journal(1, kFive);
    std::vector<uint8_t> bytes = test::readFile(path);
    for (size_t at : {size_t{0}, size_t{9}, size_t{17}, size_t{30}})
        EXPECT_TRUE(readDamaged(bytes, at, JournalState::Absent).empty()) << at;
    test::writeFile(path, std::vector<uint8_t>(bytes.begin(), bytes.begin() + 20));
    EXPECT_TRUE(readBack(JournalState::Absent).empty());
}

TEST_P(Journal, ACutEntryKeepsItsFirstBytesOrGoes) {
    w.begin(5);
    std::vector<uint8_t> a = pattern(100, 9);
    std::copy(a.begin(), a.end(), w.add(1, 10, 100));
    w.cutLast(40);
    std::copy(a.begin(), a.end(), w.add(2, 20, 100));
    w.cutLast(0);
    std::copy(a.begin(), a.begin() + 8, w.add(3, 30, 8));
    ASSERT_TRUE(w.write());
    expectSame(readBack(), {{1, 10, std::vector<uint8_t>(a.begin(), a.begin() + 40)},
                            {3, 30, std::vector<uint8_t>(a.begin(), a.begin() + 8)}});
}

TEST_P(Journal, ALargeJournalIsCutBackAfterItsPeriodAndWrittenAgain) {
    std::vector<Saved> big;
    for (int i = 0; i < 40; i++)
        big.push_back({0, i * 65536, pattern(65536, static_cast<uint8_t>(i))});
    journal(1, big, 7);
    EXPECT_GT(platform::fileLength(w.fd()), int64_t{1} << 21);
    w.trim(int64_t{1} << 20);
    EXPECT_EQ(platform::fileLength(w.fd()), 4096);
    journal(2, {kFive[2], kFive[3]});
    expectSame(readBack(), {kFive[2], kFive[3]});
    const int64_t small = platform::fileLength(w.fd());
    w.trim(int64_t{1} << 20);  // small: kept
    EXPECT_EQ(platform::fileLength(w.fd()), small);
}

// A new journal is a page of zeros (no journal); one written counts until it is discarded, for
// its writer and for anyone who reads it.
TEST_P(Journal, CountsFromItsWriteUntilItIsDiscarded) {
    EXPECT_EQ(platform::fileLength(w.fd()), 4096);
    EXPECT_FALSE(w.live());
    journal(3, kFive);
    EXPECT_TRUE(w.live());
    EXPECT_TRUE(w.discard());
    EXPECT_FALSE(w.live());
    EXPECT_TRUE(readBack(JournalState::Absent).empty());
}

INSTANTIATE_TEST_SUITE_P(Writes, Journal, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "mapped" : "plain"; });

TEST(JournalChecksum, EveryBitAndTheSeedCount) {
    for (size_t n : {0u, 1u, 7u, 8u, 31u, 32u, 33u, 100u, 257u}) {
        std::vector<uint8_t> bytes = pattern(n, 3);
        const uint64_t sum = journalChecksum(bytes.data(), n, 42);
        EXPECT_NE(journalChecksum(bytes.data(), n, 43), sum) << n;
        for (size_t i = 0; i < n; i++) {
            for (int bit = 0; bit < 8; bit++) {
                bytes[i] ^= static_cast<uint8_t>(1 << bit);
                EXPECT_NE(journalChecksum(bytes.data(), n, 42), sum) << n << " " << i;
                bytes[i] ^= static_cast<uint8_t>(1 << bit);
            }
        }
        // One byte more (a zero) is another sum too.
        bytes.push_back(0);
        EXPECT_NE(journalChecksum(bytes.data(), n + 1, 42), sum) << n;
    }
}

}  // namespace
