// Tables and columns of .ini dictionaries through the catalog exports.
#include <string>

#include "catalog/catalog_testing.h"
#include "catalog/readers.h"

using namespace mdnio;
using namespace mdnio::catalog;
using namespace mdnio::catalog::test;

namespace {

TEST(DictionaryKinds, TheFileNameDecides) {
    const std::pair<const char*, DictionaryKind> cases[] = {
        {"/d/sales.ini", DictionaryKind::Ini},
        {"/d/SALES.INI", DictionaryKind::Ini},
        {"/d/x.ini.bak", DictionaryKind::Ini},
        {"sales.Ini", DictionaryKind::Ini},
        {"/d/meridane.ddf", DictionaryKind::KeyedFile},
        {"/d/MERIDANE.DDF", DictionaryKind::KeyedFile},
        {"/d/app.ini.d/meridane.ddf", DictionaryKind::KeyedFile},
        {"C:\\app.ini\\meridane.ddf", DictionaryKind::KeyedFile},
        {"/d/other.ddf", DictionaryKind::None},
        {"/gemini/x.dat", DictionaryKind::None},
        {"", DictionaryKind::None},
    };
    for (const auto& [name, kind] : cases)
        EXPECT_EQ(dictionaryKind(name), kind) << name;
}

class IniDictionary : public CatalogTest {
  protected:
    void SetUp() override {
        CatalogTest::SetUp();
        // data.dat: key 0 over the 6-byte key area, key 1 on field 1.
        buildClassic("data.dat",
                     layout(100, 6, {{{seg(common::kKeyAreaField, 0, 6)}}, {{seg(1, 0, 4)}}}));
    }

    std::string dict(const std::string& name = "dict.ini") { return path(name); }

    int32_t tables(const std::string& name, int32_t* count) {
        return MDGetTables(handle, dict(name).c_str(), "qual", "tab", 0, count);
    }

    int32_t columns(const char* table, const char* fileSpec = nullptr,
                    const std::string& name = "dict.ini", int32_t* count = nullptr) {
        return MDGetColumns(handle, dict(name).c_str(), "", table, fileSpec, count);
    }
};

TEST_F(IniDictionary, ListsEveryKeyOfTheTablesSection) {
    writeText("dict.ini",
              "[*tables*]\n"
              "One=data.dat\n"
              "TWO = data.dat;cols.ini \n"
              "; a comment\n"
              "[Other]\nX=1\n");
    int32_t count = -1;
    ASSERT_EQ(tables("dict.ini", &count), 1);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(handle->tableCount, 2);
    EXPECT_STREQ(handle->dictionaryName, dict().c_str());
    EXPECT_STREQ(handle->qualifier, "qual");
    EXPECT_STREQ(handle->tableNameArg, "tab");
    std::vector<MdkTableRecord> t = fetchTables();
    ASSERT_EQ(t.size(), 2u);
    EXPECT_STREQ(t[0].name, "One");
    EXPECT_STREQ(t[0].fileSpec, "data.dat");
    EXPECT_STREQ(t[1].name, "TWO");
    EXPECT_STREQ(t[1].fileSpec, "data.dat;cols.ini");
    EXPECT_EQ(t[1].separator, 0);
    EXPECT_EQ(t[1].tableFlags, 0);
    EXPECT_STREQ(t[1].text4, "");
}

TEST_F(IniDictionary, NamesAndFileSpecsAreCutToTheirFields) {
    std::string longName(100, 'N');
    std::string longFileSpec(200, 's');
    writeText("dict.ini", "[*Tables*]\n" + longName + "=" + longFileSpec + "\n");
    ASSERT_EQ(tables("dict.ini", nullptr), 1);
    std::vector<MdkTableRecord> t = fetchTables();
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(std::string(t[0].name), std::string(63, 'N'));
    EXPECT_EQ(std::string(t[0].fileSpec), std::string(120, 's'));
}

// Each of these dictionaries fails the table listing with 0, and leaves no tables.
struct BadTables {
    const char* name;
    std::string text;
};

class IniTablesRefused : public IniDictionary, public ::testing::WithParamInterface<BadTables> {};

TEST_P(IniTablesRefused, AnswersZero) {
    writeText("dict.ini", "[*Tables*]\nOLD=data.dat\n");
    ASSERT_EQ(tables("dict.ini", nullptr), 1);
    writeText("bad.ini", GetParam().text);
    int32_t count = 55;
    EXPECT_EQ(tables("bad.ini", &count), 0);
    EXPECT_EQ(count, 55);
    EXPECT_TRUE(fetchTables().empty());
}

// A "*Tables*" section whose key list (each name and its terminator) takes `total` bytes:
// names of 108 characters, the last one shorter.
std::string keysOfTotal(size_t total) {
    std::string text = "[*Tables*]\n";
    size_t i = 0;
    while (total > 0) {
        std::string n = std::to_string(i++);
        size_t length = std::min<size_t>(108, total - 1);
        text += n + std::string(length - n.size(), 'k') + "=x.dat\n";
        total -= length + 1;
    }
    return text;
}

INSTANTIATE_TEST_SUITE_P(
    Dictionaries, IniTablesRefused,
    ::testing::Values(BadTables{"EmptySection", "[*Tables*]\n[Other]\nA=b\n"},
                      BadTables{"NoSection", "[Other]\nA=b\n"},
                      BadTables{"EmptyValue", "[*Tables*]\nA=data.dat\nB=\nC=data.dat\n"},
                      // With the final terminator, 65,505 bytes: one more than the buffer.
                      BadTables{"KeyListTooLong", keysOfTotal(65504)},
                      BadTables{"ValueTooLong", "[*Tables*]\nA=" + std::string(70000, 'v') + "\n"}),
    [](const ::testing::TestParamInfo<BadTables>& info) { return info.param.name; });

TEST_F(IniDictionary, AKeyListThatJustFitsIsListed) {
    // With the final terminator, exactly the 65,504 bytes of the buffer.
    writeText("big.ini", keysOfTotal(65503));
    int32_t count = 0;
    ASSERT_EQ(tables("big.ini", &count), 1);
    EXPECT_EQ(count, 601);
    EXPECT_EQ(fetchTables().size(), 601u);
}

TEST_F(IniDictionary, MissingDictionaryAndUnknownKindsAnswerZero) {
    EXPECT_EQ(tables("missing.ini", nullptr), 0);
    writeText("dict.txt", "[*Tables*]\nA=data.dat\n");
    EXPECT_EQ(tables("dict.txt", nullptr), 0);
    EXPECT_EQ(MDGetTables(handle, nullptr, nullptr, nullptr, 0, nullptr), 0);
    std::string tooLong = "/" + std::string(300, 'd') + ".ini";
    EXPECT_EQ(MDGetTables(handle, tooLong.c_str(), "", "", 0, nullptr), 0);
}

TEST_F(IniDictionary, RemoteDictionariesAreNotListedInThisBuild) {
    int32_t count = 9;
    EXPECT_EQ(MDGetTables(handle, "[RMT:host;9000]dict.ini", "", "", 0, &count), 0);
    EXPECT_EQ(MDGetColumns(handle, "[rmt:host;9000]dict.ini", "", "T", nullptr, &count), 0);
    EXPECT_EQ(count, 9);
}

TEST_F(IniDictionary, ColumnsFromTheDictionaryItself) {
    writeText("dict.ini",
              "[*Tables*]\nORDERS=data.dat\n"
              "[ORDERS]\n"
              "ID=LENGTH=6\n"
              "CODE=FIXED LENGTH=4\n"
              "NAME=LENGTH=20 MUSTBE>\"A, B\"\n"
              "PRICE=NUMERIC LENGTH=9.2 CLASS=RIGHT48\n");
    int32_t count = -1;
    ASSERT_EQ(columns("orders", nullptr, "dict.ini", &count), 1);  // other case
    EXPECT_EQ(count, 4);
    std::vector<MdkColumnRecord> c = fetchColumns();
    ASSERT_EQ(c.size(), 4u);
    EXPECT_STREQ(c[0].name, "ID");
    EXPECT_EQ(c[0].field, 0);
    EXPECT_EQ(c[0].offset, 0);
    EXPECT_STREQ(c[1].name, "CODE");
    EXPECT_EQ(c[1].field, 1);
    EXPECT_EQ(c[1].offset, 0);
    EXPECT_EQ(c[1].storage, 'F');
    EXPECT_STREQ(c[2].name, "NAME");
    EXPECT_EQ(c[2].field, 1);
    EXPECT_EQ(c[2].offset, 4);
    EXPECT_STREQ(c[2].mustBe, "A, B");
    EXPECT_EQ(c[2].mustBeOp, '>');
    EXPECT_STREQ(c[3].name, "PRICE");
    EXPECT_EQ(c[3].field, 2);
    EXPECT_EQ(c[3].type, 'N');
    EXPECT_EQ(c[3].decimals, 2);
    EXPECT_EQ(c[3].columnFlags, 16);
    EXPECT_EQ(c[3].padChar, 48);
}

TEST_F(IniDictionary, AnEmptyDictionaryNameReusesTheLastListing) {
    writeText("dict.ini", "[*Tables*]\nT=data.dat\n[T]\nA=LENGTH=6\nB=LENGTH=3\n");
    ASSERT_EQ(tables("dict.ini", nullptr), 1);
    int32_t count = 0;
    EXPECT_EQ(MDGetColumns(handle, "", "", "t", nullptr, &count), 1);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(MDGetColumns(handle, nullptr, "", "T", nullptr, &count), 1);
    EXPECT_EQ(columnNames(), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(MDGetColumns(handle, "", "", "NOSUCH", nullptr, &count), 0);
    EXPECT_EQ(MDGetColumns(handle, "", "", nullptr, nullptr, &count), 0);
}

TEST_F(IniDictionary, WithoutAnyListingNoTableIsFound) {
    EXPECT_EQ(MDGetColumns(handle, "", "", "T", nullptr, nullptr), 0);
}

TEST_F(IniDictionary, ColumnSourceNamedInTheFileSpec) {
    writeText("dict.ini",
              "[*Tables*]\nA=data.dat;cols.ini\nB=data.dat,.\\Cols2.INI\nC=data.dat;notini\n"
              "[A]\nFROMDICT=LENGTH=6\n[B]\nFROMDICT=LENGTH=6\n[C]\nFROMDICT=LENGTH=6\n");
    writeText("cols.ini", "[A]\nSRC1=LENGTH=6\nSRC2=LENGTH=2\n");
    writeText("Cols2.INI", "[b]\nSRCB=LENGTH=6\n");
    ASSERT_EQ(columns("A"), 1);
    EXPECT_EQ(columnNames(), (std::vector<std::string>{"SRC1", "SRC2"}));
    ASSERT_EQ(columns("B"), 1);
    EXPECT_EQ(columnNames(), (std::vector<std::string>{"SRCB"}));
    // A column source that is not an .ini file: the dictionary's own section.
    ASSERT_EQ(columns("C"), 1);
    EXPECT_EQ(columnNames(), (std::vector<std::string>{"FROMDICT"}));
}

TEST_F(IniDictionary, AFileSpecGivenByTheCallerReplacesTheTables) {
    writeText("dict.ini", "[*Tables*]\nA=missing.dat\n[A]\nX=LENGTH=6\n");
    writeText("cols.ini", "[A]\nY=LENGTH=6\n");
    EXPECT_EQ(columns("A"), 0);
    ASSERT_EQ(columns("A", "data.dat;cols.ini"), 1);
    EXPECT_EQ(columnNames(), (std::vector<std::string>{"Y"}));
    // The listing itself is read again by the dictionary name given, so it starts over.
    EXPECT_EQ(columns("A"), 0);
}

// Each of these makes the column listing answer 0 and leaves no columns.
struct BadColumns {
    const char* name;
    std::string section;  // the [T] section of the dictionary
    std::string fileSpec;
};

class IniColumnsRefused : public IniDictionary, public ::testing::WithParamInterface<BadColumns> {};

TEST_P(IniColumnsRefused, AnswersZero) {
    writeText("dict.ini", "[*Tables*]\nT=" + GetParam().fileSpec +
                              "\nOK=data.dat\n[OK]\nA=LENGTH=6\n" + GetParam().section);
    ASSERT_EQ(columns("OK"), 1);
    ASSERT_EQ(fetchColumns().size(), 1u);
    int32_t count = 44;
    EXPECT_EQ(columns("T", nullptr, "dict.ini", &count), 0);
    EXPECT_EQ(count, 44);
    EXPECT_TRUE(fetchColumns().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Dictionaries, IniColumnsRefused,
    ::testing::Values(
        BadColumns{"EmptyValue", "[T]\nA=LENGTH=6\nB=\n", "data.dat"},
        BadColumns{"ValueOf4096", "[T]\nA=FORMAT=" + std::string(4089, 'f') + "\n", "data.dat"},
        BadColumns{"KeyListTooLong", "[T]\n" + keysOfTotal(65504).substr(11), "data.dat"},
        BadColumns{"DataFileMissing", "[T]\nA=LENGTH=6\n", "nothere.dat"},
        BadColumns{"DataFileNotAKeyedFile", "[T]\nA=LENGTH=6\n", "dict.ini"},
        BadColumns{"ColumnSourceMissing", "[T]\nA=LENGTH=6\n", "data.dat;nothere.ini"}),
    [](const ::testing::TestParamInfo<BadColumns>& info) { return info.param.name; });

TEST_F(IniDictionary, AKeywordListOf4095CharactersIsRead) {
    writeText("dict.ini", "[*Tables*]\nT=data.dat\n[T]\nA=FORMAT=" + std::string(4088, 'f') + "\n");
    ASSERT_EQ(columns("T"), 1);
    std::vector<MdkColumnRecord> c = fetchColumns();
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(std::string(c[0].format), std::string(63, 'F'));
}

TEST_F(IniDictionary, AnEmptyColumnSectionListsNoColumns) {
    writeText("dict.ini", "[*Tables*]\nT=data.dat\n");
    int32_t count = -1;
    EXPECT_EQ(columns("T", nullptr, "dict.ini", &count), 1);
    EXPECT_EQ(count, 0);
}

TEST_F(IniDictionary, IndexedDataFile) {
    samples::makeSampleData(dir.path(), nullptr);
    writeText("dict.ini",
              "[*Tables*]\nP=products.ind\n"
              "[P]\nNUMBER=LENGTH=8\nCODE=FIXED LENGTH=8\nTEXT=FIXED LENGTH=24\nPRICE=NUMERIC "
              "LENGTH=8.2\n");
    ASSERT_EQ(columns("P"), 1);
    std::vector<MdkColumnRecord> c = fetchColumns();
    ASSERT_EQ(c.size(), 4u);
    EXPECT_EQ(std::make_pair(c[0].field, c[0].offset), std::make_pair(0, 0));
    EXPECT_EQ(std::make_pair(c[1].field, c[1].offset), std::make_pair(1, 0));
    EXPECT_EQ(std::make_pair(c[2].field, c[2].offset), std::make_pair(1, 8));
    EXPECT_EQ(std::make_pair(c[3].field, c[3].offset), std::make_pair(1, 32));
}

}  // namespace
