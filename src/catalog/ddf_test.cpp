// Tables of keyed dictionary files ("meridane.ddf").
#include <fcntl.h>

#include <string>
#include <vector>

#include "catalog/catalog_testing.h"
#include "platform/test_support.h"

using namespace mdnio;
using namespace mdnio::catalog;
using namespace mdnio::catalog::test;

namespace {

class KeyedDictionary : public CatalogTest {
  protected:
    // A dictionary file of `name` with these records (6-character key, then the data), its
    // fields separated by '|' unless `lengthPrefixed`.
    void dictionary(const std::string& name,
                    const std::vector<std::pair<std::string, std::string>>& records,
                    bool lengthPrefixed = false) {
        keyed::ClassicLayout l = simpleLayout(6);
        l.separator = lengthPrefixed ? keyed::ClassicLayout::Separator::LengthPrefixed
                                     : keyed::ClassicLayout::Separator::Byte;
        l.separatorByte = '|';
        buildClassic(name, l);
        MdkFile* f = open(name);
        ASSERT_NE(f, MDK_INVALID_FILE);
        for (const auto& [key, data] : records)
            ASSERT_EQ(MDK_insert(f, data.data(), static_cast<int32_t>(data.size()), key.data(), 6),
                      0)
                << MDK_geterrno(f);
        MDK_close(f);
    }

    int32_t list(const std::string& name, int32_t* count = nullptr) {
        return MDGetTables(handle, path(name).c_str(), "", "", 0, count);
    }
};

TEST_F(KeyedDictionary, FieldsOfEachRecordInKeyOrder) {
    dictionary("meridane.ddf", {{"000300", "ZETA|z.dat|3|four|5|6|seven|eight8|9|10|11|twelve|13"},
                                {"000100", "ALPHA|a.dat;a.ini"},
                                {"000000", "header"},
                                {"000200", "*comment|c.dat"}});
    int32_t count = -1;
    ASSERT_EQ(list("meridane.ddf", &count), 1);
    // Four records, the header and a comment passed over: the count is what is listed.
    EXPECT_EQ(count, 2);
    EXPECT_EQ(handle->tableCount, 2);
    std::vector<MdkTableRecord> t = fetchTables();
    ASSERT_EQ(t.size(), 2u);
    EXPECT_STREQ(t[0].name, "ALPHA");
    EXPECT_STREQ(t[0].fileSpec, "a.dat;a.ini");
    EXPECT_STREQ(t[0].text4, "");
    EXPECT_STREQ(t[0].text12, "");
    EXPECT_EQ(t[0].separator, '|');
    EXPECT_STREQ(t[1].name, "ZETA");
    EXPECT_STREQ(t[1].fileSpec, "z.dat");
    EXPECT_STREQ(t[1].text4, "four");
    EXPECT_STREQ(t[1].text7, "seven");
    EXPECT_STREQ(t[1].text8, "eight8");
    EXPECT_STREQ(t[1].text12, "twelve");
    EXPECT_EQ(t[1].tableFlags, 0);
}

TEST_F(KeyedDictionary, LongFieldsAreCutToTheirSizes) {
    std::string f(300, 'x');
    dictionary("meridane.ddf",
               {{"000001", f + "|" + f + "|3|" + f + "|||" + f + "|" + f + "||||" + f}});
    ASSERT_EQ(list("meridane.ddf"), 1);
    std::vector<MdkTableRecord> t = fetchTables();
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(std::string(t[0].name), std::string(63, 'x'));
    EXPECT_EQ(std::string(t[0].fileSpec), std::string(120, 'x'));
    EXPECT_EQ(std::string(t[0].text4), std::string(80, 'x'));
    EXPECT_EQ(std::string(t[0].text7), std::string(80, 'x'));
    EXPECT_EQ(std::string(t[0].text8), std::string(15, 'x'));
    EXPECT_EQ(std::string(t[0].text12), std::string(80, 'x'));
}

TEST_F(KeyedDictionary, LengthPrefixedFields) {
    std::string data =
        std::string("\x04") + "NAME" + "\x05" + "n.dat" + std::string(1, '\0') + "\x03" + "abc";
    dictionary("meridane.ddf", {{"000001", data}}, true);
    ASSERT_EQ(list("meridane.ddf"), 1);
    std::vector<MdkTableRecord> t = fetchTables();
    ASSERT_EQ(t.size(), 1u);
    EXPECT_STREQ(t[0].name, "NAME");
    EXPECT_STREQ(t[0].fileSpec, "n.dat");
    EXPECT_STREQ(t[0].text4, "abc");
    EXPECT_EQ(t[0].separator, 0xFF);
}

TEST_F(KeyedDictionary, TheNameIsRecognisedInAnyCase) {
    dictionary("MERIDANE.DDF", {{"000001", "T|t.dat"}});
    int32_t count = 0;
    ASSERT_EQ(list("MERIDANE.DDF", &count), 1);
    EXPECT_EQ(count, 1);
}

TEST_F(KeyedDictionary, OnlyTheHeaderRecordListsNoTables) {
    dictionary("meridane.ddf", {{"000000", "header"}});
    int32_t count = -1;
    ASSERT_EQ(list("meridane.ddf", &count), 1);
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(fetchTables().empty());
}

TEST_F(KeyedDictionary, NotADataFileOrMissingAnswersZero) {
    writeText("meridane.ddf", "[*Tables*]\nA=b\n");
    EXPECT_EQ(list("meridane.ddf"), 0);
    EXPECT_EQ(list("sub/meridane.ddf"), 0);
}

int32_t writeOpens = 0;
int recordingOpen(const char* path, int flags, mode_t mode) {
    if ((flags & O_ACCMODE) != O_RDONLY &&
        std::string(path).find("meridane.ddf") != std::string::npos)
        ++writeOpens;
    return platform::defaultSysCalls().open(path, flags, mode);
}

TEST_F(KeyedDictionary, TheDictionaryFileIsOpenedReadOnly) {
    dictionary("meridane.ddf", {{"000001", "T|t.dat"}});
    platform::test::RestoreSysCalls restore;
    writeOpens = 0;
    platform::sys().open = recordingOpen;
    ASSERT_EQ(list("meridane.ddf"), 1);
    EXPECT_EQ(writeOpens, 0);
    EXPECT_EQ(fetchTables().size(), 1u);
}

}  // namespace
