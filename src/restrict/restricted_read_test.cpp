// The restricted read over the sample table, in a classic keyed file and in an indexed file:
// every operator, numeric and byte comparisons, the key area and data fields, the key range,
// the modes, and the failures.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "restrict/sample_files.h"

namespace mdnio::filter::test {
namespace {

constexpr int32_t kNum = MDK_OP_NUMERIC;

struct ReadCase {
    const char* name;
    std::vector<EntryRow> entries;
    std::vector<int> expected;  // people handed out, in key order
    int32_t mode = 2;
    int endPerson = 0;  // the end key is this person's key (0: no end key)
    size_t endLength = kKeyLength;
    bool rangeEnds = false;  // the scan ends at the end key rather than the end of the file
    int32_t error = 0;       // the scan fails with this code instead of ending
};

const std::vector<int> kEveryone = {1, 2, 3, 4, 5, 6, 7, 8};

const ReadCase kReadCases[] = {
    // Byte comparisons, one per operator.
    {"equal", {{0, 2, 0, 0, MDK_OP_EQ, 0, "Berlin"}}, {1, 3, 7}},
    {"not equal", {{0, 2, 0, 0, MDK_OP_NE, 0, "Berlin"}}, {2, 4, 5, 6, 8}},
    {"less or equal to a one-byte M", {{0, 1, 0, 0, MDK_OP_LE, 0, "M"}}, {1, 2, 3, 4, 5, 6}},
    {"less", {{0, 1, 0, 0, MDK_OP_LT, 0, "M"}}, {1, 2, 3, 4, 5}},
    {"greater or equal", {{0, 1, 0, 0, MDK_OP_GE, 0, "M"}}, {6, 7, 8}},
    {"greater", {{0, 1, 0, 0, MDK_OP_GT, 0, "M"}}, {7, 8}},
    {"no operator always holds", {{0, 1, 0, 0, MDK_OP_NONE, 0, "x"}}, kEveryone},
    {"offset inside a field", {{0, 1, 1, 0, MDK_OP_EQ, 0, "a"}}, {2, 4, 7}},

    // Numeric comparisons: balances in cents, compared in units with scale 2.
    {"numeric equal, scale 2", {{0, 3, 0, 10, kNum | MDK_OP_EQ, 2, "12.5"}}, {1, 4}},
    {"numeric not equal", {{0, 3, 0, 10, kNum | MDK_OP_NE, 2, "12.50"}}, {2, 3, 5, 6, 7}},
    {"numeric less (trailing minus)", {{0, 3, 0, 10, kNum | MDK_OP_LT, 2, "0"}}, {3}},
    {"numeric less or equal", {{0, 3, 0, 10, kNum | MDK_OP_LE, 2, "10"}}, {3, 6, 7}},
    {"numeric greater or equal", {{0, 3, 0, 10, kNum | MDK_OP_GE, 2, "300"}}, {2, 5}},
    {"numeric greater, constant with exponent",
     {{0, 3, 0, 10, kNum | MDK_OP_GT, 2, "1E+01"}},
     {1, 2, 4, 5}},
    {"numeric, a field that is no number matches nothing",
     {{0, 3, 0, 10, kNum, 2, "0"}},
     {1, 2, 3, 4, 5, 6, 7}},
    {"numeric width", {{0, 3, 0, 2, kNum | MDK_OP_EQ, 0, "12"}}, {1, 4}},
    {"numeric offset", {{0, 3, 2, 10, kNum | MDK_OP_EQ, 0, "50"}}, {1, 4}},

    // Field 0 is the key area.
    {"key area equal", {{0, 0, 0, 0, MDK_OP_EQ, 0, "", 5}}, {5}},
    {"key area greater or equal", {{0, 0, 0, 0, MDK_OP_GE, 0, "", 3}}, {3, 4, 5, 6, 7, 8}},

    // Programs of several entries.
    {"every entry must hold",
     {{0, 2, 0, 0, MDK_OP_EQ, 0, "Paris"}, {1, 3, 0, 10, kNum | MDK_OP_GT, 2, "500"}},
     {5}},
    {"a slot without constant ends the program",
     {{0, 2, 0, 0, MDK_OP_EQ, 0, "Berlin"}, {3, 1, 0, 0, MDK_OP_EQ, 0, "Zed"}},
     {1, 3, 7}},
    {"a zero-length constant ends the program",
     {{0, 2, 0, 0, MDK_OP_EQ, 0, "Berlin"},
      {1, 1, 0, 0, MDK_OP_EQ, 0, ""},
      {2, 1, 0, 0, MDK_OP_EQ, 0, "Zed"}},
     {1, 3, 7}},

    // The key range.
    {"end key: equal inside, greater outside",
     {{0, 1, 0, 0, MDK_OP_NONE, 0, "x"}},
     {1, 2, 3, 4},
     2,
     4,
     kKeyLength,
     true},
    {"end key reached while records are being skipped",
     {{0, 2, 0, 0, MDK_OP_EQ, 0, "Berlin"}},
     {1},
     2,
     2,
     kKeyLength,
     true},
    {"only the end key's length is compared",
     {{0, 1, 0, 0, MDK_OP_NONE, 0, "x"}},
     kEveryone,
     2,
     1,
     3},
    {"end key length 0: the program alone",
     {{0, 2, 0, 0, MDK_OP_EQ, 0, "Berlin"}},
     {1, 3, 7},
     2,
     1,
     0},

    // Modes.
    {"mode 2 without a program: the key range alone", {}, {1, 2, 3, 4}, 2, 4, kKeyLength, true},
    {"mode 0 filters nothing", {{0, 2, 0, 0, MDK_OP_EQ, 0, "Berlin"}}, kEveryone, 0, 2},
    {"mode bit 1 switches the filter off", {{0, 2, 0, 0, MDK_OP_EQ, 0, "Berlin"}}, kEveryone, 3, 2},

    // Failures.
    {"operator above 6", {{0, 1, 0, 0, 7, 0, "x"}}, {}, 2, 0, kKeyLength, false, MDK_E_OPERATOR},
    {"numeric operator above 6",
     {{0, 3, 0, 10, kNum | 34, 0, "1"}},
     {},
     2,
     0,
     kKeyLength,
     false,
     MDK_E_OPERATOR},
    {"an unknown operator is met only when the entries before it hold",
     {{0, 2, 0, 0, MDK_OP_EQ, 0, "Madrid"}, {1, 1, 0, 0, 7, 0, "x"}},
     {},
     2,
     0,
     kKeyLength,
     false,
     MDK_E_OPERATOR},
    {"a field the record does not have",
     {{0, 9, 0, 0, MDK_OP_EQ, 0, "x"}},
     {},
     2,
     0,
     kKeyLength,
     false,
     MDK_E_NOFIELD},
};

class RestrictedRead : public SampleTest, public ::testing::WithParamInterface<Kind> {};

TEST_P(RestrictedRead, ProgramsOverTheSampleTable) {
    const Kind kind = GetParam();
    const std::string path = sample(kind);
    for (const ReadCase& c : kReadCases) {
        SCOPED_TRACE(c.name);
        MdkFile* f = openFile(env, path);
        ASSERT_NE(f, MDK_INVALID_FILE);
        std::string constant;
        for (const EntryRow& e : c.entries)
            ASSERT_EQ(put(f, kind, e, constant), 0);
        const std::string endKey =
            c.endPerson ? sampleKey(kind, c.endPerson).substr(0, c.endLength) : "";

        const ScanResult r = restrictedScan(f, kind, endKey, c.mode);
        EXPECT_EQ(r.people, c.expected);
        if (c.error) {
            EXPECT_EQ(r.end, -1);
            EXPECT_EQ(r.error, c.error);
        } else {
            EXPECT_EQ(r.end, -4);
            if (c.rangeEnds) {
                // The key out-argument says the range is over: all 0xFF, then a zero byte.
                std::string over(endKey.size(), '\xFF');
                over.push_back('\0');
                EXPECT_EQ(r.endKeyOut, over);
                EXPECT_EQ(r.endKeyLength, static_cast<int>(kKeyLength));
            } else {
                // The end of the file: the key out-argument was only cleared.
                EXPECT_EQ(r.endKeyOut.substr(0, endKey.size()), std::string(endKey.size(), '\0'));
                EXPECT_EQ(r.endKeyLength, 0);
                EXPECT_EQ(MDK_geterrno(f), MDK_E_EOF);
            }
        }
        closeFile(f);
    }
}

TEST_P(RestrictedRead, ARecordCutShortIsFilteredOnWhatFits) {
    const Kind kind = GetParam();
    MdkFile* f = openFile(env, sample(kind));
    ASSERT_NE(f, MDK_INVALID_FILE);
    std::string constant;
    ASSERT_EQ(put(f, kind, {0, 1, 0, 0, MDK_OP_EQ, 0, "Clark"}, constant), 0);
    rewind(f);
    // Key and name fit; the rest of each record does not.
    char buffer[kKeyLength + 5];
    const int32_t r = MDK_RestrictedRead(f, buffer, sizeof buffer, MDK_READ_CURRENT, nullptr,
                                         nullptr, nullptr, 0, 2);
    EXPECT_EQ(r, -2);
    EXPECT_EQ(std::string(buffer, sizeof buffer), sampleKey(kind, 3) + "Clark");
    closeFile(f);
}

TEST_P(RestrictedRead, KeyOutArgumentsAreOptional) {
    const Kind kind = GetParam();
    MdkFile* f = openFile(env, sample(kind));
    ASSERT_NE(f, MDK_INVALID_FILE);
    std::string constant;
    ASSERT_EQ(put(f, kind, {0, 2, 0, 0, MDK_OP_EQ, 0, "Oslo"}, constant), 0);
    rewind(f);
    char buffer[128];
    uint8_t keyLength = 99;
    const int32_t n = MDK_RestrictedRead(f, buffer, sizeof buffer, MDK_READ_CURRENT, nullptr,
                                         &keyLength, nullptr, 0, 2);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buffer, kKeyLength), sampleKey(kind, 6));
    EXPECT_EQ(keyLength, kKeyLength);
    char key[16] = {};
    EXPECT_EQ(
        MDK_RestrictedRead(f, buffer, sizeof buffer, MDK_READ_CURRENT, key, nullptr, nullptr, 0, 2),
        n);
    EXPECT_EQ(std::string(key, kKeyLength), sampleKey(kind, 6));
    closeFile(f);
}

TEST_P(RestrictedRead, ARangeWithoutEndKeyIsRefused) {
    const Kind kind = GetParam();
    MdkFile* f = openFile(env, sample(kind));
    ASSERT_NE(f, MDK_INVALID_FILE);
    std::string constant;
    ASSERT_EQ(put(f, kind, {0, 2, 0, 0, MDK_OP_EQ, 0, "Oslo"}, constant), 0);
    rewind(f);
    char buffer[128];
    EXPECT_EQ(MDK_RestrictedRead(f, buffer, sizeof buffer, MDK_READ_CURRENT, nullptr, nullptr,
                                 nullptr, 4, 2),
              -1);
    EXPECT_EQ(MDK_geterrno(f), MDK_E_LENGTH);
    closeFile(f);
}

INSTANTIATE_TEST_SUITE_P(Kinds, RestrictedRead, ::testing::Values(Kind::Classic, Kind::Indexed),
                         [](const ::testing::TestParamInfo<Kind>& info) {
                             return std::string(kindName(info.param));
                         });

}  // namespace
}  // namespace mdnio::filter::test
