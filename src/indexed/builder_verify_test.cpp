// The builder of empty indexed files and the verifier of indexed files.
#include <algorithm>

#include "indexed/builder.h"
#include "indexed/verify.h"
#include "test_files.h"

namespace mdnio::indexed::test {
namespace {

using BuilderTest = IndexedTest;
using VerifierTest = IndexedTest;

TEST_F(BuilderTest, HeaderBytesFollowTheLayout) {
    struct Case {
        int recordLength;
        uint32_t maxRecords;
        SeparatorChoice separator;
        std::vector<uint8_t> fields;  // bytes 8 to 19
    };
    const Case cases[] = {
        {80, 0, SeparatorChoice::standard(), {0x00, 0x50, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x00}},
        {300,
         1000,
         SeparatorChoice::of('|'),
         {0x01, 0x2C, 0x00, 0x00, 0x03, 0xE8, 0, 0, 0, 0, 0x08, '|'}},
        {32767,
         0x01020304,
         SeparatorChoice::none(),
         {0x7F, 0xFF, 0x01, 0x02, 0x03, 0x04, 0, 0, 0, 0, 0x10, 0x00}},
        {1, 0, SeparatorChoice::of(0x8A), {0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0x08, 0x8A}},
    };
    int i = 0;
    for (const Case& c : cases) {
        std::string path = dir.file("built" + std::to_string(i++) + ".ind");
        ASSERT_EQ(buildIndexedFile(path, c.recordLength, c.maxRecords, c.separator), 0);
        std::vector<uint8_t> bytes = readFile(path);
        ASSERT_EQ(bytes.size(), 512u);
        EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 8), "[Mdnind]");
        EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 8, bytes.begin() + 20), c.fields)
            << c.recordLength;
        EXPECT_TRUE(std::all_of(bytes.begin() + 20, bytes.end(), [](uint8_t b) { return b == 0; }));
        EXPECT_TRUE(verifyIndexedFile(path).ok());
    }
}

TEST_F(BuilderTest, BuiltFilesOpenWithWhatTheyDeclare) {
    std::string path = dir.file("built.ind");
    ASSERT_EQ(buildIndexedFile(path, 20, 3, SeparatorChoice::none()), 0);
    MdkFile* f = open(path);
    EXPECT_EQ(MDGetEnvMode(f, -10), -1);
    EXPECT_EQ(MDGetEnvMode(f, -5), 20);
    EXPECT_EQ(MDGetEnvMode(f, -4), 0);
    EXPECT_EQ(MDK_read(f, nullptr, 0, MDK_READ_CURRENT), -1);
    EXPECT_EQ(MDK_geterrno(f), MDK_E_EOF);
    for (const char* key : {"0", "1", "2"})
        ASSERT_EQ(MDK_write(f, key, 1, key, 1), 0) << key;
    EXPECT_EQ(MDK_write(f, "3", 1, "3", 1), -1);
    EXPECT_EQ(MDK_geterrno(f), MDK_E_FULL);
    EXPECT_TRUE(verifyIndexedFile(path).ok());
    MDK_close(f);
}

TEST_F(BuilderTest, RefusesWhatItCannotMake) {
    std::string path = dir.file("x.ind");
    for (int length : {0, -1, 32768}) {
        EXPECT_EQ(buildIndexedFile(path, length, 0), MDK_E_LENGTH) << length;
    }
    ASSERT_EQ(buildIndexedFile(path, 10, 0), 0);
    EXPECT_EQ(buildIndexedFile(path, 10, 0), MDK_E_OPEN);  // exists already
    EXPECT_EQ(buildIndexedFile(dir.file("no/such/dir.ind"), 10, 0), MDK_E_OPEN);
}

TEST_F(VerifierTest, NamesEachProblem) {
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        const char* problem;  // a word the problem must contain; null: sound
    };
    auto image = [](uint32_t count, uint32_t max, size_t records) {
        FileImage f = numberedFile(count, 8, max);
        f.records.resize(records, "r");
        return f;
    };
    FileImage badMagic = image(2, 0, 2);
    badMagic.magic = "[Mdnkey]";
    FileImage zeroLength = image(0, 0, 0);
    zeroLength.recordLength = 0;
    std::vector<uint8_t> tiny = image(0, 0, 0).bytes();
    tiny.resize(10);
    std::vector<uint8_t> cutHeader = image(0, 0, 0).bytes();
    cutHeader.resize(100);
    std::vector<uint8_t> halfRecord = image(2, 0, 2).bytes();
    halfRecord.resize(halfRecord.size() - 3);
    const Case cases[] = {
        {"sound", image(3, 0, 3).bytes(), nullptr},
        {"sound at the maximum", image(3, 3, 3).bytes(), nullptr},
        {"old magic",
         [&] {
             FileImage f = image(1, 0, 1);
             f.magic = "[Tjwind]";
             return f.bytes();
         }(),
         nullptr},
        {"count above the records", image(5, 0, 3).bytes(), "fewer"},
        {"records beyond the count", image(3, 0, 5).bytes(), "more"},
        {"half a record", halfRecord, "fewer"},
        {"count above the maximum", image(4, 3, 4).bytes(), "maximum"},
        {"another magic", badMagic.bytes(), "magic"},
        {"record length 0", zeroLength.bytes(), "record length"},
        {"ends inside the header", cutHeader, "fewer"},
        {"shorter than the header fields", tiny, "shorter"},
    };
    for (const Case& c : cases) {
        std::string path = dir.file("v.ind");
        writeFile(path, c.bytes);
        IndexedVerifyReport report = verifyIndexedFile(path);
        if (!c.problem) {
            EXPECT_TRUE(report.ok()) << c.what << ": " << report.problems.front();
            continue;
        }
        ASSERT_EQ(report.problems.size(), 1u) << c.what;
        EXPECT_NE(report.problems[0].find(c.problem), std::string::npos)
            << c.what << ": " << report.problems[0];
    }
    IndexedVerifyReport missing = verifyIndexedFile(dir.file("missing.ind"));
    ASSERT_FALSE(missing.ok());
    EXPECT_NE(missing.problems[0].find("cannot be opened"), std::string::npos);
}

TEST_F(VerifierTest, CatchesACountCorruptedOnDisk) {
    std::string path = dir.file("c.ind");
    ASSERT_EQ(buildIndexedFile(path, 8, 0), 0);
    MdkFile* f = open(path);
    for (const char* key : {"0", "1", "2"})
        ASSERT_EQ(MDK_write(f, "data", 4, key, 1), 0);
    MDK_close(f);
    ASSERT_TRUE(verifyIndexedFile(path).ok());
    std::vector<uint8_t> bytes = readFile(path);
    bytes[17] = 2;  // count 3 becomes 2: one record no count covers
    writeFile(path, bytes);
    IndexedVerifyReport report = verifyIndexedFile(path);
    ASSERT_EQ(report.problems.size(), 1u);
    EXPECT_NE(report.problems[0].find("more"), std::string::npos) << report.problems[0];
}

}  // namespace
}  // namespace mdnio::indexed::test
