// Opening indexed files: the header as the handle reports it, refused headers, close.
#include <algorithm>
#include <cstring>
#include <functional>

#include "frame/handle.h"
#include "platform/platform.h"
#include "test_files.h"

namespace mdnio::indexed::test {
namespace {

using OpenIndexedTest = IndexedTest;

// Descriptors of refused opens and of closed handles must be gone: an exclusive open of the
// file succeeds only when no other descriptor has it open.
bool nobodyHasItOpen(const std::string& path) {
    int fd = platform::openFile(path.c_str(), platform::Access::ReadWrite, true, nullptr);
    if (fd < 0) return false;
    platform::closeFile(fd);
    return true;
}

TEST_F(OpenIndexedTest, FileWrittenByteByByteReadsAsLaidOut) {
    // Record length 5, no maximum, 3 records, separator '|'.
    const uint8_t header[20] = {'[',  'M',  'd',  'n',  'i',  'n',  'd',  ']',  0x00, 0x05,
                                0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x08, '|'};
    // The file is sized once and written in place: growing a vector from a fixed array (the
    // 20 header bytes, then the 512) makes GCC 12 at -O3 see a copy past the array it came from.
    const char* records[] = {"alpha", "bravo", "charl"};
    std::vector<uint8_t> bytes(512 + 5 * std::size(records), 0);
    std::copy(std::begin(header), std::end(header), bytes.begin());
    for (size_t i = 0; i < std::size(records); i++)
        std::memcpy(&bytes[512 + 5 * i], records[i], 5);
    std::string path = dir.file("hand.ind");
    writeFile(path, bytes);

    MdkFile* f = open(path);
    char buf[13];
    ASSERT_EQ(MDK_read(f, buf, sizeof buf, MDK_READ_CURRENT), 13);
    EXPECT_EQ(std::string(buf, 13), "00000000alpha");
    ASSERT_EQ(MDK_read(f, buf, sizeof buf, MDK_READ_NEXT), 13);
    EXPECT_EQ(std::string(buf, 13), "00000001bravo");
    ASSERT_EQ(MDK_read(f, buf, sizeof buf, MDK_READ_NEXT), 13);
    EXPECT_EQ(std::string(buf, 13), "00000002charl");
    EXPECT_EQ(MDK_read(f, buf, sizeof buf, MDK_READ_NEXT), -1);
    EXPECT_EQ(MDK_geterrno(f), MDK_E_EOF);

    EXPECT_EQ(MDGetEnvMode(f, MDK_FILE_SHARED_FLAGS), 0);
    EXPECT_EQ(MDGetEnvMode(f, MDK_FILE_SEPARATOR), '|');
    EXPECT_EQ(MDGetEnvMode(f, MDK_FILE_READONLY_MARK), 0);  // never marked read-only
    EXPECT_EQ(MDGetEnvMode(f, MDK_FILE_KEY_AREA_WIDTH), 8);
    EXPECT_EQ(MDGetEnvMode(f, MDK_FILE_LONGEST_KEY), 8);
    EXPECT_EQ(MDGetEnvMode(f, MDK_FILE_MAX_DATA_LENGTH), 5);
    EXPECT_EQ(MDGetEnvMode(f, MDK_FILE_RECORD_COUNT), 3);
    EXPECT_EQ(MDGetEnvMode(f, MDK_FILE_KEY_BUFFER_SIZE), 8);
    EXPECT_EQ(MDGetEnvMode(f, MDK_FILE_BUFFER_SIZE), 8 + 5 + 9);  // key buffer + record buffer
    const char* key = reinterpret_cast<const char*>(MDGetEnvMode(f, MDK_FILE_CURRENT_KEY));
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(std::string(key, 8), "00000002");  // the current key: the last record read
    const uint8_t* copy = reinterpret_cast<const uint8_t*>(MDGetEnvMode(f, MDK_FILE_HEADER));
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(std::memcmp(copy, header, 20), 0);
    EXPECT_EQ(MDK_close(f), 0);
}

TEST_F(OpenIndexedTest, SeparatorFollowsTheFlags) {
    struct Case {
        const char* magic;
        uint8_t flags;
        uint8_t byte;
        intptr_t separator;
    };
    const Case cases[] = {
        {"[Mdnind]", 0x00, '|', 0x8A}, {"[Mdnind]", 0x08, '|', '|'}, {"[Mdnind]", 0x10, '|', -1},
        {"[Mdnind]", 0x18, '|', -1},   {"[Tjwind]", 0x08, ';', ';'}, {"[Tjwind]", 0x00, 0, 0x8A},
    };
    for (const Case& c : cases) {
        FileImage image = numberedFile(2);
        image.magic = c.magic;
        image.flags = c.flags;
        image.separator = c.byte;
        MdkFile* f = open(make(image));
        ASSERT_NE(f, MDK_INVALID_FILE);
        EXPECT_EQ(MDGetEnvMode(f, -10), c.separator) << c.magic << " flags " << int(c.flags);
        EXPECT_EQ(readCurrent(f, 8), padded("rec0", 8)) << c.magic;
        MDK_close(f);
    }
}

TEST_F(OpenIndexedTest, HeadersWithoutAUsableRecordLengthAreRefused) {
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
    };
    FileImage zero = numberedFile(0);
    zero.recordLength = 0;
    FileImage negative = numberedFile(0);
    negative.recordLength = -3;
    std::vector<uint8_t> shortHeader = numberedFile(0).bytes();
    shortHeader.resize(19);
    const Case cases[] = {
        {"record length 0", zero.bytes()},
        {"negative record length", negative.bytes()},
        {"header cut at 19 bytes", shortHeader},
    };
    for (const Case& c : cases) {
        std::string path = dir.file("bad.ind");
        writeFile(path, c.bytes);
        int32_t error = 0;
        EXPECT_EQ(MDK_OpenExt(env, path.c_str(), nullptr, 0, 0, &error), MDK_INVALID_FILE)
            << c.what;
        EXPECT_EQ(error, MDK_E_FILETYPE) << c.what;
        EXPECT_TRUE(nobodyHasItOpen(path)) << c.what << ": descriptor left open";
    }
}

TEST_F(OpenIndexedTest, CloseReleasesTheHandleAndItsDescriptor) {
    std::string path = make(numberedFile(3));
    MdkFile* a = open(path);
    MdkFile* b = open(path);
    EXPECT_EQ(env->openFiles, b);  // newest first
    EXPECT_EQ(b->next, a);
    EXPECT_FALSE(nobodyHasItOpen(path));
    EXPECT_EQ(MDK_close(b), 0);
    EXPECT_EQ(env->openFiles, a);
    EXPECT_EQ(MDK_close(a), 0);
    EXPECT_EQ(env->openFiles, nullptr);
    EXPECT_TRUE(nobodyHasItOpen(path));

    // An environment freed with an indexed file still open closes it.
    MdkEnv* other = MDK_AllocEnv();
    ASSERT_NE(MDK_OpenExt(other, path.c_str(), nullptr, 0, 0, nullptr), MDK_INVALID_FILE);
    MDK_DeAllocEnv(other);
    EXPECT_TRUE(nobodyHasItOpen(path));
}

TEST_F(OpenIndexedTest, ReadOnlyHandleRefusesWrites) {
    std::string path = make(numberedFile(3));
    std::vector<uint8_t> before = readFile(path);
    MdkFile* f = open(path, MDK_OPEN_READONLY);
    EXPECT_EQ(MDK_write(f, "new", 3, "00000001", 8), -1);
    EXPECT_EQ(MDK_geterrno(f), MDK_E_READONLY);
    EXPECT_EQ(MDK_write(f, "new", 3, "00000003", 8), -1);
    EXPECT_EQ(MDK_geterrno(f), MDK_E_READONLY);
    EXPECT_EQ(readFile(path), before);
    EXPECT_EQ(readCurrent(f, 8), padded("rec0", 8));  // reading still works
    MDK_close(f);
}

TEST_F(OpenIndexedTest, OperationsWithoutMeaningForRecordNumbersAreRefused) {
    MdkFile* f = open(make(numberedFile(3)));
    char buf[64];
    struct Case {
        const char* call;
        std::function<int32_t()> run;
    };
    const Case cases[] = {
        {"remove", [&] { return MDK_remove(f, "00000001", 8); }},
        {"remove current", [&] { return MDK_remove(f, nullptr, 0); }},
        {"dict", [&] { return MDK_dict(f, 0, buf, sizeof buf); }},
        {"dict add", [&] { return MDK_dict_add(f, 0, "x", 1); }},
        {"key adjust", [&] { return MDK_keyadjust(f, buf, 8, 1); }},
        {"raw read mode", [&] { return MDK_RawReadMode(f, 1); }},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(MDK_seek(f, "1", 1, 2), -1);  // leaves 6, so each refusal must store its 5
        EXPECT_EQ(c.run(), -1) << c.call;
        EXPECT_EQ(MDK_geterrno(f), MDK_E_FILETYPE) << c.call;
    }
    EXPECT_EQ(countOnDisk(dir.file("f.ind")), 3u);
    EXPECT_EQ(readCurrent(f, 8), padded("rec0", 8));
    MDK_close(f);
}

}  // namespace
}  // namespace mdnio::indexed::test
