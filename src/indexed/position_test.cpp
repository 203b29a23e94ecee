// Positioning: seek by key digits, set and get position, get key.
#include <cstring>

#include "test_files.h"

namespace mdnio::indexed::test {
namespace {

using PositionTest = IndexedTest;

TEST_F(PositionTest, SeekTakesUpToEightDigitsOfKeyOne) {
    MdkFile* f = open(make(numberedFile(200)));
    struct Case {
        const char* key;
        int32_t length;
        int32_t keyNumber;
        int32_t error;     // 0: accepted
        int32_t position;  // the current record afterwards
    };
    const Case cases[] = {
        {"00000123", 8, 1, 0, 123},
        {"123", 3, 1, 0, 123},
        {"00000007", 8, 0, 0, 7},  // key number 0 is the same key
        {"7", 1, 0, 0, 7},
        {"", 0, 1, 0, 0},                 // no key digits: record 0
        {"99999999", 8, 1, 0, 99999999},  // beyond the end: the read will say so
        {"123456789", 9, 1, MDK_E_LENGTH, -1},
        {"12", -1, 1, MDK_E_LENGTH, -1},
        {"12a", 3, 1, MDK_E_KEYNUM, -1},
        {"-12", 3, 1, MDK_E_KEYNUM, -1},
        {" 12", 3, 1, MDK_E_KEYNUM, -1},
        {"12", 2, 2, MDK_E_KEYNUM, -1},
        {"12", 2, -1, MDK_E_KEYNUM, -1},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(MDK_setpos(f, 55), 0);
        int32_t rc = MDK_seek(f, c.key, c.length, c.keyNumber);
        if (c.error) {
            EXPECT_EQ(rc, -1) << c.key;
            EXPECT_EQ(MDK_geterrno(f), c.error) << c.key;
            EXPECT_EQ(MDK_getpos(f), 55) << c.key << ": a refused seek moved";
        } else {
            EXPECT_EQ(rc, 0) << c.key;
            EXPECT_EQ(MDK_getpos(f), c.position) << c.key;
        }
    }
    EXPECT_EQ(MDK_seek(f, nullptr, 3, 1), -1);
    EXPECT_EQ(MDK_geterrno(f), MDK_E_LENGTH);
    MDK_close(f);
}

TEST_F(PositionTest, LeadingZerosAddressTheSameRecord) {
    std::string path = make(numberedFile(20));
    MdkFile* f = open(path);
    ASSERT_EQ(MDK_write(f, "by8", 3, "00000012", 8), 0);
    ASSERT_EQ(MDK_seek(f, "12", 2, 1), 0);
    EXPECT_EQ(readCurrent(f, 8), padded("by8", 8));
    ASSERT_EQ(MDK_write(f, "by2", 3, "12", 2), 0);
    ASSERT_EQ(MDK_seek(f, "00000012", 8, 1), 0);
    EXPECT_EQ(readCurrent(f, 8), padded("by2", 8));
    EXPECT_EQ(recordOnDisk(path, 8, 12), padded("by2", 8));
    EXPECT_EQ(recordOnDisk(path, 8, 11), padded("rec11", 8));
    EXPECT_EQ(recordOnDisk(path, 8, 13), padded("rec13", 8));
    MDK_close(f);
}

TEST_F(PositionTest, SetposStoresAnyNumberAndReadsCheckIt) {
    MdkFile* f = open(make(numberedFile(5)));
    for (int32_t n : {0, 4, 5, 1000, -3, 123456789}) {
        EXPECT_EQ(MDK_setpos(f, n), 0);
        EXPECT_EQ(MDK_getpos(f), n);
    }
    ASSERT_EQ(MDK_setpos(f, 4), 0);
    EXPECT_EQ(readCurrent(f, 8), padded("rec4", 8));
    ASSERT_EQ(MDK_setpos(f, 5), 0);
    EXPECT_EQ(MDK_read(f, nullptr, 0, MDK_READ_CURRENT), -1);
    EXPECT_EQ(MDK_geterrno(f), MDK_E_EOF);
    ASSERT_EQ(MDK_setpos(f, -1), 0);
    EXPECT_EQ(MDK_read(f, nullptr, 0, MDK_READ_CURRENT), -1);
    EXPECT_EQ(MDK_geterrno(f), MDK_E_EOF);
    EXPECT_EQ(MDK_getpos(f), -1);  // failed reads leave the position
    MDK_close(f);
}

TEST_F(PositionTest, GetKeyWritesNineBytesOnlyWhenTheyFit) {
    MdkFile* f = open(make(numberedFile(5)));
    struct Case {
        int32_t current;
        int32_t bufferLength;  // -1: no buffer
        int32_t result;
        int32_t error;        // when the result is -1
        const char* written;  // the 9 bytes, or null when nothing may be written
    };
    const Case cases[] = {
        {123, 9, 8, 0, "00000123"},
        {123, 32, 8, 0, "00000123"},
        {0, 9, 8, 0, "00000000"},
        {99999999, 9, 8, 0, "99999999"},
        {123, 8, -1, MDK_E_LENGTH, nullptr},
        {123, 0, -1, MDK_E_LENGTH, nullptr},
        {123, -1, -1, MDK_E_LENGTH, nullptr},
        {100000000, 32, 0, 0, nullptr},  // nine digits: no key
        {-1, 32, 0, 0, nullptr},         // negative: no key
    };
    for (const Case& c : cases) {
        ASSERT_EQ(MDK_setpos(f, c.current), 0);
        std::vector<char> buf(32, '#');
        char* out = c.bufferLength < 0 ? nullptr : buf.data();
        int32_t length = c.bufferLength < 0 ? 32 : c.bufferLength;
        EXPECT_EQ(MDK_GetKey(f, out, length, 0), c.result) << c.current << "/" << length;
        if (c.result == -1) {
            EXPECT_EQ(MDK_geterrno(f), c.error);
        }
        if (c.written) {
            EXPECT_EQ(std::string(buf.data(), 9), std::string(c.written, 9));
            EXPECT_EQ(std::string(buf.data() + 9, 23), std::string(23, '#'))
                << "written past the nine bytes";
        } else {
            EXPECT_EQ(std::string(buf.data(), 32), std::string(32, '#')) << c.current;
        }
    }
    MDK_close(f);
}

}  // namespace
}  // namespace mdnio::indexed::test
