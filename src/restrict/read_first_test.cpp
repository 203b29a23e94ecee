// MDK_read_FIRST and MDK_read_ODBC: a filtered scan in two calls, the packed program as the
// client hands it over, and what a malformed one does.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "restrict/sample_files.h"

namespace mdnio::filter::test {
namespace {

constexpr int32_t kNum = MDK_OP_NUMERIC;

struct FirstCase {
    const char* name;
    std::vector<EntryRow> entries;  // indices 0, 1, ... in order
    int startPerson;
    int endPerson;  // 0: no end key
    std::vector<int> expected;
};

const FirstCase kFirstCases[] = {
    {"one entry from the first key", {{0, 2, 0, 0, MDK_OP_EQ, 0, "Berlin"}}, 1, 0, {1, 3, 7}},
    {"from a later key", {{0, 2, 0, 0, MDK_OP_EQ, 0, "Berlin"}}, 2, 0, {3, 7}},
    {"numeric", {{0, 3, 0, 10, kNum | MDK_OP_GE, 2, "300"}}, 3, 0, {5}},
    {"two entries and an end key",
     {{0, 1, 0, 0, MDK_OP_LE, 0, "N"}, {1, 3, 0, 10, kNum | MDK_OP_GE, 2, "0"}},
     2,
     6,
     {2, 4, 5, 6}},
    {"no entries: a seek and unfiltered reads", {}, 6, 7, {6, 7, 8}},
};

ScanResult firstThenOdbc(MdkFile* f, Kind kind, const std::vector<uint8_t>& program,
                         const std::string& endKey) {
    const auto endLength = static_cast<int32_t>(endKey.size());
    return collect(
        f, kind, endKey.size(),
        [&](char* buffer, int32_t size, char* key, uint8_t* keyLength) {
            return MDK_read_FIRST(f, buffer, size, MDK_READ_CURRENT, key, keyLength, endKey.data(),
                                  endLength, program.data(), static_cast<int32_t>(program.size()));
        },
        [&](char* buffer, int32_t size, char* key, uint8_t* keyLength) {
            return MDK_read_ODBC(f, buffer, size, MDK_READ_NEXT, key, keyLength, endKey.data(),
                                 endLength);
        });
}

ScanResult seekThenRestricted(MdkFile* f, Kind kind, const FirstCase& c,
                              const std::string& endKey) {
    std::string constant;
    for (const EntryRow& e : c.entries)
        EXPECT_EQ(put(f, kind, e, constant), 0);
    const std::string start = writeKey(kind, c.startPerson);
    if (MDK_seek(f, start.data(), static_cast<int32_t>(start.size()), 1) != 0) {
        ADD_FAILURE() << "seek " << MDK_geterrno(f);
    }
    const auto endLength = static_cast<int32_t>(endKey.size());
    const int32_t mode = c.entries.empty() ? 0 : 2;
    auto read = [&](int32_t option) {
        return [&, option](char* buffer, int32_t size, char* key, uint8_t* keyLength) {
            return MDK_RestrictedRead(f, buffer, size, option, key, keyLength, endKey.data(),
                                      endLength, mode);
        };
    };
    return collect(f, kind, endKey.size(), read(MDK_READ_CURRENT), read(MDK_READ_NEXT));
}

class ReadFirst : public SampleTest, public ::testing::WithParamInterface<Kind> {
  protected:
    MdkFile* open() {
        if (path.empty()) path = sample(GetParam());
        return openFile(env, path);
    }
    std::string path;
};

TEST_P(ReadFirst, GivesTheRecordsOfASeekAndRestrictedReads) {
    const Kind kind = GetParam();
    for (const FirstCase& c : kFirstCases) {
        SCOPED_TRACE(c.name);
        const std::string endKey = c.endPerson ? sampleKey(kind, c.endPerson) : "";
        MdkFile* first = open();
        MdkFile* seek = open();
        ASSERT_NE(first, MDK_INVALID_FILE);
        ASSERT_NE(seek, MDK_INVALID_FILE);
        const ScanResult a = firstThenOdbc(
            first, kind, pack(kind, c.entries, writeKey(kind, c.startPerson)), endKey);
        const ScanResult b = seekThenRestricted(seek, kind, c, endKey);
        EXPECT_EQ(a.people, c.expected);
        EXPECT_EQ(b.people, c.expected);
        EXPECT_EQ(a.end, -4);
        EXPECT_EQ(b.end, -4);
        EXPECT_EQ(a.endKeyOut, b.endKeyOut);
        EXPECT_EQ(a.endKeyLength, b.endKeyLength);
        closeFile(first);
        closeFile(seek);
    }
}

TEST_P(ReadFirst, ALaterProgramReplacesTheEarlierOne) {
    const Kind kind = GetParam();
    MdkFile* f = open();
    ASSERT_NE(f, MDK_INVALID_FILE);
    const std::string start = writeKey(kind, 1);
    const std::string end = sampleKey(kind, 7);

    const std::vector<EntryRow> two = {{0, 2, 0, 0, MDK_OP_EQ, 0, "Berlin"},
                                       {1, 1, 0, 0, MDK_OP_NE, 0, "Clark"}};
    EXPECT_EQ(firstThenOdbc(f, kind, pack(kind, two, start), end).people, (std::vector<int>{1, 7}));
    // One entry: the second entry of the last program no longer applies.
    const std::vector<EntryRow> one = {{0, 2, 0, 0, MDK_OP_EQ, 0, "Berlin"}};
    EXPECT_EQ(firstThenOdbc(f, kind, pack(kind, one, start), end).people,
              (std::vector<int>{1, 3, 7}));
    // None: neither the old entries nor the end key filter the rows that follow.
    const ScanResult none = firstThenOdbc(f, kind, pack(kind, {}, start), end);
    EXPECT_EQ(none.people, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(none.end, -4);
    closeFile(f);
}

TEST_P(ReadFirst, ATruncatedProgramIsRefusedWithoutReadingPastIt) {
    const Kind kind = GetParam();
    MdkFile* f = open();
    ASSERT_NE(f, MDK_INVALID_FILE);
    const std::vector<uint8_t> whole = pack(
        kind, {{0, 2, 0, 0, MDK_OP_EQ, 0, "Berlin"}, {1, 3, 0, 10, kNum | MDK_OP_GT, 2, "-10"}},
        writeKey(kind, 2));
    char buffer[128];
    for (size_t length = 0; length < whole.size(); ++length) {
        // Exactly `length` bytes of memory: a read past them is caught by the address checker.
        std::unique_ptr<uint8_t[]> cut(new uint8_t[length]);
        std::copy(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length), cut.get());
        f->error = MDK_OK;
        EXPECT_EQ(MDK_read_FIRST(f, buffer, sizeof buffer, MDK_READ_CURRENT, nullptr, nullptr,
                                 nullptr, 0, cut.get(), static_cast<int32_t>(length)),
                  -1)
            << length;
        EXPECT_EQ(MDK_geterrno(f), MDK_E_LENGTH) << length;
        EXPECT_EQ(f->restrictOwner, nullptr) << length << ": part of the program was stored";
    }
    // The whole program, and the same with bytes after it, are read.
    std::vector<uint8_t> longer = whole;
    longer.insert(longer.end(), {0xEE, 0xEE, 0xEE});
    for (const std::vector<uint8_t>* program :
         std::vector<const std::vector<uint8_t>*>{&whole, &longer}) {
        uint8_t keyLength = 0;
        char key[16] = {};
        EXPECT_EQ(
            MDK_read_FIRST(f, buffer, sizeof buffer, MDK_READ_CURRENT, key, &keyLength, nullptr, 0,
                           program->data(), static_cast<int32_t>(program->size())),
            recordLength(kind, 3));
        EXPECT_EQ(std::string(key, keyLength), sampleKey(kind, 3));
    }
    closeFile(f);
}

TEST_P(ReadFirst, MalformedProgramsAreRefusedAndKeepTheProgram) {
    const Kind kind = GetParam();
    MdkFile* f = open();
    ASSERT_NE(f, MDK_INVALID_FILE);
    std::string constant;
    ASSERT_EQ(put(f, kind, {0, 2, 0, 0, MDK_OP_EQ, 0, "Oslo"}, constant), 0);

    const EntryRow any = {0, 1, 0, 0, MDK_OP_NONE, 0, "x"};
    std::vector<uint8_t> fiftyOne = pack(kind, std::vector<EntryRow>(51, any), "");
    std::vector<uint8_t> longKey = pack(kind, {any}, std::string(256, '1'));
    struct Case {
        const char* name;
        const void* program;
        int32_t length;
    };
    const Case cases[] = {
        {"more than 50 entries", fiftyOne.data(), static_cast<int32_t>(fiftyOne.size())},
        {"a start key longer than 255 bytes", longKey.data(), static_cast<int32_t>(longKey.size())},
        {"no program", nullptr, 0},
        {"a negative length", fiftyOne.data(), -1},
    };
    char buffer[128];
    for (const Case& c : cases) {
        EXPECT_EQ(MDK_read_FIRST(f, buffer, sizeof buffer, MDK_READ_CURRENT, nullptr, nullptr,
                                 nullptr, 0, c.program, c.length),
                  -1)
            << c.name;
        EXPECT_EQ(MDK_geterrno(f), MDK_E_LENGTH) << c.name;
        EXPECT_EQ(std::string(f->restrict[0].value), "Oslo") << c.name;
        EXPECT_EQ(f->restrict[1].value, nullptr) << c.name;
    }
    // Fifty entries are a whole program.
    std::vector<uint8_t> fifty = pack(kind, std::vector<EntryRow>(50, any), writeKey(kind, 1));
    EXPECT_EQ(firstThenOdbc(f, kind, fifty, "").people, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(f->restrictLast, 49);
    closeFile(f);
}

TEST_P(ReadFirst, ASeekThatFailsOtherwiseThanNotFoundFailsTheCall) {
    const Kind kind = GetParam();
    MdkFile* f = open();
    ASSERT_NE(f, MDK_INVALID_FILE);
    char buffer[128];
    // Key number 5 does not exist in either file.
    const std::vector<uint8_t> program = pack(kind, {}, writeKey(kind, 2), 5);
    EXPECT_EQ(MDK_read_FIRST(f, buffer, sizeof buffer, MDK_READ_CURRENT, nullptr, nullptr, nullptr,
                             0, program.data(), static_cast<int32_t>(program.size())),
              -1);
    EXPECT_EQ(MDK_geterrno(f), MDK_E_KEYNUM);
    closeFile(f);
}

INSTANTIATE_TEST_SUITE_P(Kinds, ReadFirst, ::testing::Values(Kind::Classic, Kind::Indexed),
                         [](const ::testing::TestParamInfo<Kind>& info) {
                             return std::string(kindName(info.param));
                         });

TEST_F(SampleTest, ReadFirstFromAKeyThatIsNotThereStartsAtTheNextOne) {
    MdkFile* f = openFile(env, sample(Kind::Classic));
    ASSERT_NE(f, MDK_INVALID_FILE);
    const ScanResult r = firstThenOdbc(
        f, Kind::Classic, pack(Kind::Classic, {{0, 2, 0, 0, MDK_OP_NE, 0, "Paris"}}, "K0035"), "");
    EXPECT_EQ(r.people, (std::vector<int>{4, 6, 7, 8}));
    closeFile(f);
}

}  // namespace
}  // namespace mdnio::filter::test
