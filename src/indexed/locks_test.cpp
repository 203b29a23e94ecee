// Record locks: a locking read keeps its record from other writers until it is unlocked or
// written.  Every handle has its own descriptor, so two handles of one process conflict as two
// processes would.
#include "platform/platform.h"
#include "test_files.h"

namespace mdnio::indexed::test {
namespace {

class RecordLockTest : public IndexedTest {
  protected:
    void SetUp() override {
        IndexedTest::SetUp();
        ASSERT_EQ(MDSetEnvMode(env, 3, 0x0C), 0);  // neither header nor record locks wait
        path = make(numberedFile(10));
    }

    int32_t readLocked(MdkFile* f, int32_t record) {
        return MDK_ExtReadDirect(f, nullptr, 0, MDK_READ_CURRENT | MDK_READ_LOCK, 0, record);
    }

    // Answers 0 when `f` could write `record`, else its error code.
    int32_t tryWrite(MdkFile* f, int32_t record) {
        std::string key = std::to_string(record);
        if (MDK_write(f, "w", 1, key.c_str(), static_cast<int32_t>(key.size())) == 0) return 0;
        return MDK_geterrno(f);
    }

    static int32_t offsetOf(int32_t record) { return 512 + record * 8; }

    std::string path;
};

TEST_F(RecordLockTest, UnlockReleasesByOffsetCurrentRecordOrAll) {
    struct Case {
        const char* what;
        int32_t which;  // the argument of MDK_UnlockRecord; -2: the offset of record 3
        bool frees3, frees5;
    };
    const Case cases[] = {
        {"record 3 by offset", -2, true, false},
        {"the current record (5)", 0, false, true},
        {"all", -1, true, true},
        {"an offset nothing holds", offsetOf(4), false, false},
    };
    for (const Case& c : cases) {
        MdkFile* holder = open(path);
        MdkFile* writer = open(path);
        ASSERT_EQ(readLocked(holder, 3), 16) << c.what;
        ASSERT_EQ(readLocked(holder, 5), 16) << c.what;
        EXPECT_EQ(tryWrite(writer, 3), MDK_E_BUSY) << c.what;
        EXPECT_EQ(tryWrite(writer, 5), MDK_E_BUSY) << c.what;
        EXPECT_EQ(tryWrite(writer, 4), 0) << c.what << ": an unlocked record";

        EXPECT_EQ(MDK_UnlockRecord(holder, c.which == -2 ? offsetOf(3) : c.which), 0) << c.what;
        EXPECT_EQ(tryWrite(writer, 3), c.frees3 ? 0 : MDK_E_BUSY) << c.what;
        EXPECT_EQ(tryWrite(writer, 5), c.frees5 ? 0 : MDK_E_BUSY) << c.what;
        MDK_close(writer);
        MDK_close(holder);
    }
}

TEST_F(RecordLockTest, PlainReadsNeitherTakeNorWaitForLocks) {
    MdkFile* holder = open(path);
    MdkFile* other = open(path);
    ASSERT_EQ(readLocked(holder, 3), 16);
    EXPECT_EQ(MDK_ExtReadDirect(other, nullptr, 0, MDK_READ_CURRENT, 0, 3), 16);
    ASSERT_EQ(MDK_ExtReadDirect(holder, nullptr, 0, MDK_READ_CURRENT, 0, 6), 16);
    EXPECT_EQ(tryWrite(other, 6), 0);
    MDK_close(other);
    MDK_close(holder);
}

TEST_F(RecordLockTest, TheHoldersOwnWriteReleasesItsLocks) {
    MdkFile* holder = open(path);
    MdkFile* writer = open(path);
    ASSERT_EQ(readLocked(holder, 3), 16);
    ASSERT_EQ(readLocked(holder, 7), 16);
    EXPECT_EQ(tryWrite(holder, 3), 0);
    EXPECT_EQ(tryWrite(writer, 3), 0);
    EXPECT_EQ(tryWrite(writer, 7), 0);
    MDK_close(writer);
    MDK_close(holder);
}

TEST_F(RecordLockTest, ReadOnlyHandlesShareTheirLocksAndKeepWritersOut) {
    MdkFile* readerA = open(path, MDK_OPEN_READONLY);
    MdkFile* readerB = open(path, MDK_OPEN_READONLY);
    MdkFile* writer = open(path);
    EXPECT_EQ(readLocked(readerA, 2), 16);
    EXPECT_EQ(readLocked(readerB, 2), 16);
    EXPECT_EQ(tryWrite(writer, 2), MDK_E_BUSY);
    EXPECT_EQ(MDK_UnlockRecord(readerA, -1), 0);
    EXPECT_EQ(tryWrite(writer, 2), MDK_E_BUSY);
    EXPECT_EQ(MDK_UnlockRecord(readerB, offsetOf(2)), 0);
    EXPECT_EQ(tryWrite(writer, 2), 0);
    MDK_close(writer);
    MDK_close(readerB);
    MDK_close(readerA);
}

TEST_F(RecordLockTest, ClosingGivesTheLocksBack) {
    MdkFile* holder = open(path);
    MdkFile* writer = open(path);
    ASSERT_EQ(readLocked(holder, 3), 16);
    EXPECT_EQ(tryWrite(writer, 3), MDK_E_BUSY);
    MDK_close(holder);
    EXPECT_EQ(tryWrite(writer, 3), 0);
    MDK_close(writer);
}

TEST_F(RecordLockTest, ALockingReadOfABusyRecordFails) {
    MdkFile* holder = open(path);
    MdkFile* other = open(path);
    ASSERT_EQ(readLocked(holder, 3), 16);
    ASSERT_EQ(MDK_setpos(other, 1), 0);
    EXPECT_EQ(readLocked(other, 3), -1);
    EXPECT_EQ(MDK_geterrno(other), MDK_E_BUSY);
    EXPECT_EQ(MDK_getpos(other), 1);
    MDK_close(other);
    MDK_close(holder);
}

}  // namespace
}  // namespace mdnio::indexed::test
