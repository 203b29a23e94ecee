// Reading records: options, positions, buffer sizes, the end of the file.
#include <cstring>

#include "test_files.h"

namespace mdnio::indexed::test {
namespace {

using ReadTest = IndexedTest;

TEST_F(ReadTest, OptionsMoveFromTheCurrentRecord) {
    MdkFile* f = open(make(numberedFile(10)));
    struct Case {
        int32_t start;
        int32_t option;
        int32_t offset;
        int32_t position;
        int32_t error;  // 0: the read succeeds
        int32_t after;  // the current record afterwards (also the record read)
    };
    const Case cases[] = {
        {4, MDK_READ_CURRENT, 0, 0, 0, 4},
        {4, MDK_READ_NEXT, 0, 0, 0, 5},
        {4, MDK_READ_PRIOR, 0, 0, 0, 3},
        {4, MDK_READ_CURRENT | MDK_READ_LOCK, 0, 0, 0, 4},
        {9, MDK_READ_NEXT, 0, 0, MDK_E_EOF, 9},   // past the last record
        {0, MDK_READ_PRIOR, 0, 0, MDK_E_EOF, 0},  // before the first
        {10, MDK_READ_CURRENT, 0, 0, MDK_E_EOF, 10},
        {4, 0, 0, 0, MDK_E_INTERNAL, 4},
        {4, 4, 0, 0, MDK_E_INTERNAL, 4},
        {4, MDK_READ_NEXT | MDK_READ_UNLOCK, 0, 0, MDK_E_INTERNAL, 4},
        {4, MDK_READ_CURRENT, 16, 0, MDK_E_RECOFFSET, 4},
        {4, MDK_READ_NEXT, 0, 7, 0, 7},  // a position reads that record
        {4, 9, 0, 2, 0, 2},              // whatever the option
        {4, MDK_READ_NEXT, 0, 10, MDK_E_EOF, 4},
        {4, MDK_READ_NEXT, 0, -2, MDK_E_EOF, 4},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(MDK_setpos(f, c.start), 0);
        char buf[16];
        std::memset(buf, '#', sizeof buf);
        int32_t rc = MDK_ExtReadDirect(f, buf, sizeof buf, c.option, c.offset, c.position);
        std::string what = "from " + std::to_string(c.start) + " option " +
                           std::to_string(c.option) + " position " + std::to_string(c.position);
        if (c.error) {
            EXPECT_EQ(rc, -1) << what;
            EXPECT_EQ(MDK_geterrno(f), c.error) << what;
        } else {
            ASSERT_EQ(rc, 16) << what;
            char key[9];
            std::snprintf(key, sizeof key, "%08d", c.after);
            EXPECT_EQ(std::string(buf, 8), key) << what;
            EXPECT_EQ(std::string(buf + 8, 8), padded("rec" + std::to_string(c.after), 8)) << what;
        }
        EXPECT_EQ(MDK_getpos(f), c.after) << what;
        MDK_UnlockRecord(f, -1);
    }
    MDK_close(f);
}

TEST_F(ReadTest, BufferSizesDecideWhatIsCopied) {
    // Record length 6; a record of 6 octets after the 8 digits.
    FileImage image = numberedFile(4, 6);
    image.records[2] = "ABCDEF";
    MdkFile* f = open(make(image));
    struct Case {
        int32_t length;
        int32_t result;
        const char* copied;  // the bytes the buffer must start with
    };
    const Case cases[] = {
        {0, -2, ""},
        {5, -2, "00000"},
        {8, 8, "00000002"},
        {11, -2, "00000002ABC"},
        {14, 14, "00000002ABCDEF"},
        {40, 14, "00000002ABCDEF"},
        {-4, -2, ""},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(MDK_setpos(f, 2), 0);
        std::vector<char> buf(40, '#');
        EXPECT_EQ(MDK_read(f, buf.data(), c.length, MDK_READ_CURRENT), c.result) << c.length;
        size_t copied = std::strlen(c.copied);
        EXPECT_EQ(std::string(buf.data(), copied), c.copied) << c.length;
        EXPECT_EQ(std::string(buf.data() + copied, 40 - copied), std::string(40 - copied, '#'))
            << c.length << ": written past what fits";
    }
    MDK_close(f);
}

TEST_F(ReadTest, NullBufferMovesAndAnswersTheSizeNeeded) {
    MdkFile* f = open(make(numberedFile(5, 12)));
    ASSERT_EQ(MDK_setpos(f, 1), 0);
    EXPECT_EQ(MDK_read(f, nullptr, 0, MDK_READ_NEXT), 8 + 12);
    EXPECT_EQ(MDK_getpos(f), 2);
    const char* key = reinterpret_cast<const char*>(MDGetEnvMode(f, -7));
    EXPECT_EQ(std::string(key, 8), "00000002");
    MDK_close(f);
}

TEST_F(ReadTest, ReadingToTheEndAndBack) {
    MdkFile* f = open(make(numberedFile(6)));
    std::vector<std::string> forwards;
    forwards.push_back(readCurrent(f, 8));
    char buf[16];
    while (MDK_read(f, buf, sizeof buf, MDK_READ_NEXT) == 16)
        forwards.push_back(std::string(buf + 8, 8));
    EXPECT_EQ(MDK_geterrno(f), MDK_E_EOF);
    ASSERT_EQ(forwards.size(), 6u);
    for (size_t i = 0; i < forwards.size(); i++)
        EXPECT_EQ(forwards[i], padded("rec" + std::to_string(i), 8));
    std::vector<std::string> backwards;
    while (MDK_read(f, buf, sizeof buf, MDK_READ_PRIOR) == 16)
        backwards.push_back(std::string(buf + 8, 8));
    EXPECT_EQ(backwards.size(), 5u);
    EXPECT_EQ(MDK_getpos(f), 0);
    MDK_close(f);
}

TEST_F(ReadTest, BytesPastTheRecordCountAreNoRecord) {
    // A writer that stopped between its record and its header leaves a record the count does
    // not cover; reading it would hand out what no write completed.
    FileImage image = numberedFile(3);
    image.records.push_back("orphan");
    MdkFile* f = open(make(image));
    ASSERT_EQ(MDK_setpos(f, 2), 0);
    EXPECT_EQ(MDK_read(f, nullptr, 0, MDK_READ_NEXT), -1);
    EXPECT_EQ(MDK_geterrno(f), MDK_E_EOF);
    EXPECT_EQ(MDK_getpos(f), 2);
    MDK_close(f);
}

// A file cut short lacks records its count promises: reading one fails with the read code (a
// scan would otherwise end there as if the file ended, and hand out part of it as the whole).
TEST_F(ReadTest, RecordsTheCountPromisesButTheFileLacksFailToRead) {
    const FileImage image = numberedFile(20, 40);  // 1312 bytes
    struct Case {
        size_t length;  // bytes left of the file
        int delivered;  // whole records left
    };
    const Case cases[] = {{1302, 19}, {1272, 19}, {712, 5}, {512, 0}};
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes = image.bytes();
        bytes.resize(c.length);
        std::string path = dir.file("cut.ind");
        writeFile(path, bytes);
        MdkFile* f = open(path, MDK_OPEN_READONLY);
        EXPECT_EQ(MDGetEnvMode(f, -4), 20);
        std::vector<char> buf(48);
        int read = 0;
        int32_t rc = MDK_read(f, buf.data(), 48, MDK_READ_CURRENT);
        for (; rc == 48; rc = MDK_read(f, buf.data(), 48, MDK_READ_NEXT)) {
            EXPECT_EQ(std::string(buf.begin() + 8, buf.end()),
                      padded("rec" + std::to_string(read), 40));
            read++;
        }
        EXPECT_EQ(rc, -1) << c.length;
        EXPECT_EQ(MDK_geterrno(f), MDK_E_READ) << c.length;
        EXPECT_EQ(read, c.delivered) << c.length;
        // Asked for by position, the first missing record fails the same way.
        EXPECT_EQ(MDK_ExtReadDirect(f, buf.data(), 48, MDK_READ_CURRENT, 0, 19), -1);
        EXPECT_EQ(MDK_geterrno(f), MDK_E_READ) << c.length;
        MDK_close(f);
    }
}

TEST_F(ReadTest, RecordsAppendedByAnotherHandleAreSeen) {
    std::string path = make(numberedFile(3));
    MdkFile* reader = open(path, MDK_OPEN_READONLY);
    MdkFile* writer = open(path);
    for (int n = 3; n < 6; n++) {
        std::string key = std::to_string(n);
        ASSERT_EQ(MDK_write(writer, "more", 4, key.c_str(), static_cast<int32_t>(key.size())), 0);
    }
    ASSERT_EQ(MDK_setpos(reader, 2), 0);
    char buf[16];
    for (int n = 3; n < 6; n++) {
        ASSERT_EQ(MDK_read(reader, buf, sizeof buf, MDK_READ_NEXT), 16) << n;
        EXPECT_EQ(std::string(buf + 8, 8), padded("more", 8));
    }
    EXPECT_EQ(MDK_read(reader, buf, sizeof buf, MDK_READ_NEXT), -1);
    EXPECT_EQ(MDK_geterrno(reader), MDK_E_EOF);
    EXPECT_EQ(MDGetEnvMode(reader, -4), 6);
    MDK_close(writer);
    MDK_close(reader);
}

}  // namespace
}  // namespace mdnio::indexed::test
