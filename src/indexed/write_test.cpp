// Writing records: in place, appending at the count, the limits, the header on disk.
#include <cstring>

#include "indexed/verify.h"
#include "platform/platform.h"
#include "test_files.h"

namespace mdnio::indexed::test {
namespace {

using WriteTest = IndexedTest;

std::string header20(const std::string& path) {
    std::vector<uint8_t> all = readFile(path);
    return std::string(all.begin(), all.begin() + 20);
}

void expectSound(const std::string& path) {
    IndexedVerifyReport report = verifyIndexedFile(path);
    for (const std::string& p : report.problems)
        ADD_FAILURE() << path << ": " << p;
}

TEST_F(WriteTest, WritingAtTheCountAppends) {
    std::string path = make(numberedFile(10));
    MdkFile* f = open(path);
    ASSERT_EQ(MDK_write(f, "ten", 3, "00000010", 8), 0);
    std::vector<uint8_t> all = readFile(path);
    ASSERT_EQ(all.size(), 512u + 11 * 8);
    const uint8_t count[4] = {0x00, 0x00, 0x00, 0x0B};
    EXPECT_EQ(std::memcmp(all.data() + 14, count, 4), 0);
    EXPECT_EQ(recordOnDisk(path, 8, 10), padded("ten", 8));
    EXPECT_EQ(MDGetEnvMode(f, -4), 11);
    EXPECT_EQ(MDK_getpos(f), 10);
    const uint8_t* copy = reinterpret_cast<const uint8_t*>(MDGetEnvMode(f, -1));
    EXPECT_EQ(std::memcmp(copy, all.data(), 20), 0);
    expectSound(path);

    // Record 12 would leave record 11 unwritten.
    std::vector<uint8_t> before = readFile(path);
    EXPECT_EQ(MDK_write(f, "twelve", 6, "12", 2), -1);
    EXPECT_EQ(MDK_geterrno(f), MDK_E_EOF);
    EXPECT_EQ(readFile(path), before);
    EXPECT_EQ(MDK_getpos(f), 10);
    MDK_close(f);
}

TEST_F(WriteTest, OverwritingKeepsTheCountAndTheOtherRecords) {
    std::string path = make(numberedFile(5));
    std::string headerBefore = header20(path);
    MdkFile* f = open(path);
    ASSERT_EQ(MDK_write(f, "new3", 4, "3", 1), 0);
    ASSERT_EQ(MDK_update(f, "upd0", 4, "", 0), 0);  // no key digits: record 0
    EXPECT_EQ(header20(path), headerBefore);
    EXPECT_EQ(recordOnDisk(path, 8, 0), padded("upd0", 8));
    EXPECT_EQ(recordOnDisk(path, 8, 2), padded("rec2", 8));
    EXPECT_EQ(recordOnDisk(path, 8, 3), padded("new3", 8));
    EXPECT_EQ(recordOnDisk(path, 8, 4), padded("rec4", 8));
    expectSound(path);
    MDK_close(f);
}

TEST_F(WriteTest, DataIsCutOrZeroFilledToTheRecordLength) {
    std::string path = make(numberedFile(4, 4));
    MdkFile* f = open(path);
    ASSERT_EQ(MDK_write(f, "ABCDEFGHIJ", 10, "1", 1), 0);
    EXPECT_EQ(recordOnDisk(path, 4, 1), "ABCD");
    EXPECT_EQ(recordOnDisk(path, 4, 2), padded("rec2", 4));
    ASSERT_EQ(MDK_write(f, "xy", 2, "2", 1), 0);
    EXPECT_EQ(recordOnDisk(path, 4, 2), std::string("xy\0\0", 4));
    ASSERT_EQ(MDK_write(f, nullptr, 0, "3", 1), 0);
    EXPECT_EQ(recordOnDisk(path, 4, 3), std::string(4, '\0'));
    ASSERT_EQ(MDK_write(f, "LONGERTHANFOUR", 14, "4", 1), 0);  // an append, cut as well
    EXPECT_EQ(readFile(path).size(), 512u + 5 * 4);
    EXPECT_EQ(recordOnDisk(path, 4, 4), "LONG");
    expectSound(path);
    MDK_close(f);
}

TEST_F(WriteTest, RefusedWritesLeaveTheFileAlone) {
    struct Case {
        const char* what;
        uint32_t count;
        uint32_t max;
        const char* data;
        int32_t dataLength;
        const char* key;
        int32_t keyLength;
        int32_t mode;
        int32_t offset;
        int32_t error;
    };
    const Case cases[] = {
        {"full at the maximum", 10, 10, "x", 1, "00000010", 8, MDK_WRITE_EITHER, 0, MDK_E_FULL},
        {"past the maximum", 10, 5, "x", 1, "7", 1, MDK_WRITE_EITHER, 0, MDK_E_FULL},
        {"past the count", 10, 0, "x", 1, "11", 2, MDK_WRITE_EITHER, 0, MDK_E_EOF},
        {"nine digits", 10, 0, "x", 1, "000000001", 9, MDK_WRITE_EITHER, 0, MDK_E_LENGTH},
        {"a letter", 10, 0, "x", 1, "1a", 2, MDK_WRITE_EITHER, 0, MDK_E_KEYNUM},
        {"no key bytes", 10, 0, "x", 1, nullptr, 2, MDK_WRITE_EITHER, 0, MDK_E_LENGTH},
        {"negative data length", 10, 0, "x", -1, "1", 1, MDK_WRITE_EITHER, 0, MDK_E_LENGTH},
        {"no data bytes", 10, 0, nullptr, 4, "1", 1, MDK_WRITE_EITHER, 0, MDK_E_LENGTH},
        {"insert over a record", 10, 0, "x", 1, "4", 1, MDK_WRITE_INSERT, 0, MDK_E_DUPLICATE},
        {"partial rewrite", 10, 0, "x", 1, "4", 1, MDK_WRITE_EITHER, 3, MDK_E_RECOFFSET},
    };
    for (const Case& c : cases) {
        std::string path = make(numberedFile(c.count, 8, c.max), "refused.ind");
        std::vector<uint8_t> before = readFile(path);
        MdkFile* f = open(path);
        ASSERT_EQ(MDK_setpos(f, 2), 0);
        EXPECT_EQ(MDK_ExtWrite(f, c.data, c.dataLength, c.key, c.keyLength, c.mode, c.offset), -1)
            << c.what;
        EXPECT_EQ(MDK_geterrno(f), c.error) << c.what;
        EXPECT_EQ(MDK_getpos(f), 2) << c.what;
        EXPECT_EQ(readFile(path), before) << c.what;
        MDK_close(f);
    }
}

TEST_F(WriteTest, InsertAppendsAndUpdateWritesEverywhere) {
    std::string path = make(numberedFile(3));
    MdkFile* f = open(path);
    EXPECT_EQ(MDK_insert(f, "ins3", 4, "3", 1), 0);
    EXPECT_EQ(MDK_update(f, "upd4", 4, "4", 1), 0);  // an update at the count appends too
    EXPECT_EQ(MDK_update(f, "upd1", 4, "1", 1), 0);
    EXPECT_EQ(countOnDisk(path), 5u);
    EXPECT_EQ(recordOnDisk(path, 8, 1), padded("upd1", 8));
    EXPECT_EQ(recordOnDisk(path, 8, 3), padded("ins3", 8));
    EXPECT_EQ(recordOnDisk(path, 8, 4), padded("upd4", 8));
    expectSound(path);
    MDK_close(f);
}

TEST_F(WriteTest, ARefusedInsertReportsTheNewCount) {
    // The handle saw 3 records at open; another handle appended two since.
    std::string path = make(numberedFile(3));
    MdkFile* mine = open(path);
    MdkFile* other = open(path);
    ASSERT_EQ(MDK_write(other, "o3", 2, "3", 1), 0);
    ASSERT_EQ(MDK_write(other, "o4", 2, "4", 1), 0);
    EXPECT_EQ(MDGetEnvMode(mine, -4), 3);
    EXPECT_EQ(MDK_insert(mine, "m", 1, "3", 1), -1);
    EXPECT_EQ(MDK_geterrno(mine), MDK_E_DUPLICATE);
    EXPECT_EQ(MDGetEnvMode(mine, -4), 5);
    EXPECT_EQ(MDK_insert(mine, "m5", 2, "5", 1), 0);
    EXPECT_EQ(recordOnDisk(path, 8, 3), padded("o3", 8));
    EXPECT_EQ(recordOnDisk(path, 8, 5), padded("m5", 8));
    expectSound(path);
    MDK_close(other);
    MDK_close(mine);
}

TEST_F(WriteTest, WritesWaitForTheHeaderLock) {
    std::string path = make(numberedFile(3));
    MdkFile* f = open(path);
    ASSERT_EQ(MDSetEnvMode(env, 3, 0x0C), 0);  // neither header nor record locks wait

    // Another descriptor holds the header lock byte.
    int holder = platform::openFile(path.c_str(), platform::Access::ReadWrite, false, nullptr);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(platform::lockRange(holder, platform::kLockBase + 0x100, 1),
              platform::LockResult::Ok);
    std::vector<uint8_t> before = readFile(path);
    EXPECT_EQ(MDK_write(f, "x", 1, "3", 1), -1);
    EXPECT_EQ(MDK_geterrno(f), MDK_E_BUSY);
    EXPECT_EQ(MDK_write(f, "x", 1, "1", 1), -1);
    EXPECT_EQ(MDK_geterrno(f), MDK_E_BUSY);
    EXPECT_EQ(readFile(path), before);

    // The failed writes gave the header lock back (they never got it) and hold nothing else.
    platform::unlockRange(holder, platform::kLockBase + 0x100, 1);
    EXPECT_EQ(MDK_write(f, "x", 1, "3", 1), 0);
    EXPECT_FALSE(platform::rangeLockedByOther(holder, platform::kLockBase, 0x10000));
    platform::closeFile(holder);
    EXPECT_EQ(countOnDisk(path), 4u);
    MDK_close(f);
}

TEST_F(WriteTest, AHeaderThatNoLongerDescribesTheFileStopsWrites) {
    std::string path = make(numberedFile(3));
    MdkFile* f = open(path);
    // The file is replaced under the handle by one with another record length.
    FileImage other = numberedFile(3, 16);
    int fd = platform::openFile(path.c_str(), platform::Access::ReadWrite, false, nullptr);
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> bytes = other.bytes();
    ASSERT_EQ(platform::writeAt(fd, bytes.data(), bytes.size(), 0).count,
              static_cast<int64_t>(bytes.size()));
    platform::closeFile(fd);
    EXPECT_EQ(MDK_write(f, "x", 1, "3", 1), -1);
    EXPECT_EQ(MDK_geterrno(f), MDK_E_INDEXHEADER);
    EXPECT_EQ(readFile(path), bytes);
    MDK_close(f);
}

// A record count that damaged bytes made larger than the file: an append at that count would
// grow the file by hundreds of megabytes (a file the verifier would then find sound), and a
// rewrite would trust a count the file belies.  Every write is refused with 29 before anything
// is written; the records that are there still read, and the verifier reports the damage.
TEST_F(WriteTest, ACountBeyondTheRecordsOnDiskStopsEveryWrite) {
    const std::vector<uint8_t> sound = numberedFile(20, 40).bytes();
    ASSERT_EQ(sound.size(), 1312u);
    struct Damage {
        const char* what;
        std::vector<std::pair<size_t, uint8_t>> changes;  // offset, new byte
        uint32_t count;                                   // as the header then reads
    };
    const Damage damages[] = {
        {"offset 15 to 0x7C", {{15, 0x7C}}, 8126484},
        {"offsets 14 and 15 to 0x05 and 0x7C", {{14, 0x05}, {15, 0x7C}}, 92012564},
        {"one record more than the file holds", {{17, 21}}, 21},
    };
    struct Write {
        const char* key;  // null: the count itself
        int32_t mode;
    };
    const Write writes[] = {{nullptr, MDK_WRITE_INSERT},
                            {nullptr, MDK_WRITE_EITHER},
                            {"20", MDK_WRITE_INSERT},
                            {"3", MDK_WRITE_UPDATE}};
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.what);
        std::vector<uint8_t> bytes = sound;
        for (const auto& [at, value] : d.changes)
            bytes[at] = value;
        std::string path = dir.file("damaged.ind");
        writeFile(path, bytes);
        ASSERT_EQ(countOnDisk(path), d.count);

        MdkFile* f = open(path);
        for (const Write& w : writes) {
            std::string key = w.key ? w.key : std::to_string(d.count);
            EXPECT_EQ(
                MDK_ExtWrite(f, "new", 3, key.c_str(), static_cast<int32_t>(key.size()), w.mode, 0),
                -1)
                << key;
            EXPECT_EQ(MDK_geterrno(f), MDK_E_INDEXHEADER) << key;
            ASSERT_EQ(readFile(path), bytes) << key;
        }
        ASSERT_EQ(MDK_setpos(f, 3), 0);
        EXPECT_EQ(readCurrent(f, 40), padded("rec3", 40));
        MDK_close(f);

        IndexedVerifyReport report = verifyIndexedFile(path);
        ASSERT_EQ(report.problems.size(), 1u);
        EXPECT_NE(report.problems[0].find("fewer"), std::string::npos) << report.problems[0];
    }
}

TEST_F(WriteTest, WrittenRecordsReadBackAfterReopening) {
    std::string path = make(numberedFile(0, 10));
    MdkFile* f = open(path);
    for (int n = 0; n < 25; n++) {
        std::string data = "item" + std::to_string(n * n);
        char key[9];
        std::snprintf(key, sizeof key, "%08d", n);
        ASSERT_EQ(MDK_write(f, data.data(), static_cast<int32_t>(data.size()), key, 8), 0) << n;
    }
    MDK_close(f);
    expectSound(path);
    f = open(path);
    EXPECT_EQ(MDGetEnvMode(f, -4), 25);
    for (int n = 24; n >= 0; n--) {
        ASSERT_EQ(MDK_setpos(f, n), 0);
        EXPECT_EQ(readCurrent(f, 10), padded("item" + std::to_string(n * n), 10));
    }
    MDK_close(f);
}

}  // namespace
}  // namespace mdnio::indexed::test
