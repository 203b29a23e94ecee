// Where the restricted read looks for fields: only in the record the read delivered, and with
// the separator (or the length prefixes) the file declares.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "restrict/sample_files.h"

namespace mdnio::filter::test {
namespace {

using RecordBytes = SampleTest;

// Writes (key, data) records into a new classic file of `layout` and opens it.
MdkFile* classicWith(MdkEnv* env, const std::string& path, const keyed::ClassicLayout& layout,
                     const std::vector<std::pair<std::string, std::string>>& records) {
    keyed::test::build(path, layout);
    MdkFile* f = openFile(env, path);
    if (f == MDK_INVALID_FILE) return f;
    for (const auto& [key, data] : records)
        writeRecord(f, key, data);
    return f;
}

std::vector<int> scanPeople(MdkFile* f, int32_t mode, int32_t* end) {
    std::vector<int> seen;
    rewind(f);
    char buffer[256];
    int32_t r = MDK_RestrictedRead(f, buffer, sizeof buffer, MDK_READ_CURRENT, nullptr, nullptr,
                                   nullptr, 0, mode);
    for (int guard = 0; guard < 16 && r > 0; ++guard) {
        seen.push_back(buffer[3] - '0');  // keys "K00n"
        r = MDK_RestrictedRead(f, buffer, sizeof buffer, MDK_READ_NEXT, nullptr, nullptr, nullptr,
                               0, mode);
    }
    *end = r;
    return seen;
}

TEST_F(RecordBytes, BytesLeftByALongerRecordAreNotPartOfTheNext) {
    // Record 2 is shorter than record 1: after reading it, the buffer still holds the tail of
    // record 1 behind it ("nn", a separator, "Paris").
    MdkFile* f = classicWith(env, dir.file("short.dat"), sampleClassicLayout(),
                             {{"K001", std::string("Bonn") + kSep + "Paris"}, {"K002", "Bo"}});
    ASSERT_NE(f, MDK_INVALID_FILE);
    std::string constant;
    int32_t end = 0;

    // A byte comparison stops at the end of the record: "Bo" is below "Bonn".
    ASSERT_EQ(put(f, Kind::Classic, {0, 1, 0, 0, MDK_OP_EQ, 0, "Bonn"}, constant), 0);
    EXPECT_EQ(scanPeople(f, 2, &end), (std::vector<int>{1}));
    EXPECT_EQ(end, -4);
    ASSERT_EQ(put(f, Kind::Classic, {0, 1, 0, 0, MDK_OP_LT, 0, "Bonn"}, constant), 0);
    EXPECT_EQ(scanPeople(f, 2, &end), (std::vector<int>{2}));
    EXPECT_EQ(end, -4);

    // Record 2 has no second field, whatever the buffer holds after it.
    ASSERT_EQ(put(f, Kind::Classic, {0, 2, 0, 0, MDK_OP_NE, 0, "Rome"}, constant), 0);
    EXPECT_EQ(scanPeople(f, 2, &end), (std::vector<int>{1}));
    EXPECT_EQ(end, -1);
    EXPECT_EQ(MDK_geterrno(f), MDK_E_NOFIELD);
    closeFile(f);
}

TEST_F(RecordBytes, ANumberEndsAtItsFieldAndAtTheRecord) {
    MdkFile* f = classicWith(env, dir.file("num.dat"), sampleClassicLayout(),
                             {{"K001", std::string("12") + kSep + "34"},
                              {"K002", "7"},
                              {"K003", std::string("9") + kSep}});
    ASSERT_NE(f, MDK_INVALID_FILE);
    std::string constant;
    int32_t end = 0;
    // Field 1 is "12", not "12" run on into the separator and "34": a width of 10 stops at the
    // separator, and at the end of record 2.  Record 3's field 1 is "9".
    ASSERT_EQ(put(f, Kind::Classic, {0, 1, 0, 10, MDK_OP_NUMERIC | MDK_OP_LT, 0, "10"}, constant),
              0);
    EXPECT_EQ(scanPeople(f, 2, &end), (std::vector<int>{2, 3}));
    EXPECT_EQ(end, -4);
    // An offset past the field's end leaves no digits: the number 0, not the next field.
    ASSERT_EQ(put(f, Kind::Classic, {0, 1, 3, 10, MDK_OP_NUMERIC | MDK_OP_EQ, 0, "0"}, constant),
              0);
    EXPECT_EQ(scanPeople(f, 2, &end), (std::vector<int>{1, 2, 3}));
    // The key area (field 0) runs to the end of the record; a number there stops at the first
    // separator: "K003" + zeros is not a number, so nothing matches.
    ASSERT_EQ(put(f, Kind::Classic, {0, 0, 8, 10, MDK_OP_NUMERIC | MDK_OP_EQ, 0, "12"}, constant),
              0);
    EXPECT_EQ(scanPeople(f, 2, &end), (std::vector<int>{1}));
    closeFile(f);
}

TEST_F(RecordBytes, FieldsFollowTheFileSeparator) {
    struct Case {
        const char* name;
        keyed::ClassicLayout::Separator separator;
        std::string (*data)(const std::string&, const std::string&, const std::string&);
    };
    const Case cases[] = {
        {"separator chosen by the header", keyed::ClassicLayout::Separator::Byte,
         [](const std::string& a, const std::string& b, const std::string& c) {
             return a + "|" + b + "|" + c;
         }},
        {"length-prefixed fields", keyed::ClassicLayout::Separator::LengthPrefixed,
         [](const std::string& a, const std::string& b, const std::string& c) {
             std::string out;
             for (const std::string* s : {&a, &b, &c}) {
                 out.push_back(static_cast<char>(s->size()));
                 out += *s;
             }
             return out;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        keyed::ClassicLayout layout = sampleClassicLayout();
        layout.separator = c.separator;
        layout.separatorByte = '|';
        // The default separator inside a field is an ordinary byte in these files.
        const std::string plain = std::string("a") + kSep + "b";
        MdkFile* f = classicWith(env, dir.file(std::string(c.name) + ".dat"), layout,
                                 {{"K001", c.data("Adams", plain, "1")},
                                  {"K002", c.data("Baker", "Paris", "22")},
                                  {"K003", c.data("Clark", "Paris", "3")}});
        ASSERT_NE(f, MDK_INVALID_FILE);
        std::string constant;
        int32_t end = 0;
        ASSERT_EQ(put(f, Kind::Classic, {0, 2, 0, 0, MDK_OP_EQ, 0, "Paris"}, constant), 0);
        ASSERT_EQ(
            put(f, Kind::Classic, {1, 3, 0, 5, MDK_OP_NUMERIC | MDK_OP_LT, 0, "10"}, constant), 0);
        EXPECT_EQ(scanPeople(f, 2, &end), (std::vector<int>{3}));
        EXPECT_EQ(end, -4);
        ASSERT_EQ(put(f, Kind::Classic, {0, 2, 0, 0, MDK_OP_EQ, 0, plain}, constant), 0);
        ASSERT_EQ(put(f, Kind::Classic, {1, 1, 0, 0, MDK_OP_NONE, 0, "x"}, constant), 0);
        EXPECT_EQ(scanPeople(f, 2, &end), (std::vector<int>{1}));
        // Field 4 is not there.
        ASSERT_EQ(put(f, Kind::Classic, {1, 4, 0, 0, MDK_OP_NONE, 0, "x"}, constant), 0);
        EXPECT_EQ(scanPeople(f, 2, &end), (std::vector<int>{}));
        EXPECT_EQ(end, -1);
        EXPECT_EQ(MDK_geterrno(f), MDK_E_NOFIELD);
        closeFile(f);
    }
}

TEST_F(RecordBytes, FieldsAreFoundInAnyOrderOfEntries) {
    // Entries name later fields before earlier ones and the same field twice; each must still
    // find its own field.
    MdkFile* f = classicWith(env, dir.file("order.dat"), sampleClassicLayout(),
                             {{"K001", std::string("a") + kSep + "b" + kSep + "c" + kSep + "d"},
                              {"K002", std::string("a") + kSep + "b" + kSep + "x" + kSep + "d"}});
    ASSERT_NE(f, MDK_INVALID_FILE);
    std::string constant;
    int32_t end = 0;
    const std::vector<EntryRow> entries = {{0, 4, 0, 0, MDK_OP_EQ, 0, "d"},
                                           {1, 2, 0, 0, MDK_OP_EQ, 0, "b"},
                                           {2, 4, 0, 0, MDK_OP_EQ, 0, "d"},
                                           {3, 1, 0, 0, MDK_OP_EQ, 0, "a"},
                                           {4, 3, 0, 0, MDK_OP_EQ, 0, "c"}};
    for (const EntryRow& e : entries)
        ASSERT_EQ(put(f, Kind::Classic, e, constant), 0);
    EXPECT_EQ(scanPeople(f, 2, &end), (std::vector<int>{1}));
    EXPECT_EQ(end, -4);
    closeFile(f);
}

}  // namespace
}  // namespace mdnio::filter::test
