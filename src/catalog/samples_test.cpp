// The sample data set, listed table by table and column by column through the catalog
// exports, and the columns checked against the records they describe.
#include <span>
#include <string>
#include <vector>

#include "catalog/catalog_testing.h"
#include "common/field.h"
#include "indexed/verify.h"
#include "keyed/verify.h"

using namespace mdnio;
using namespace mdnio::catalog;
using namespace mdnio::catalog::test;

namespace {

class SampleData : public CatalogTest {
  protected:
    void SetUp() override {
        CatalogTest::SetUp();
        std::string why;
        ASSERT_EQ(samples::makeSampleData(dir.path(), &why), 0) << why;
    }

    std::string ini() { return path(samples::kIniDictionary); }
    std::string ddf() { return path(samples::kKeyedDictionary); }
};

struct TableRow {
    std::string name, fileSpec, text4, text7, text8, text12;
    int separator;
};

void expectTables(const std::vector<MdkTableRecord>& got, const std::vector<TableRow>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(want[i].name);
        EXPECT_EQ(got[i].name, want[i].name);
        EXPECT_EQ(got[i].fileSpec, want[i].fileSpec);
        EXPECT_EQ(got[i].text4, want[i].text4);
        EXPECT_EQ(got[i].text7, want[i].text7);
        EXPECT_EQ(got[i].text8, want[i].text8);
        EXPECT_EQ(got[i].text12, want[i].text12);
        EXPECT_EQ(got[i].separator, want[i].separator);
        EXPECT_EQ(got[i].tableFlags, 0);
        EXPECT_EQ(got[i].bufferALength, 0);
        EXPECT_EQ(got[i].bufferBLength, 0);
    }
}

// Every field of a column record the readers fill.
struct ColumnRow {
    std::string name;
    int32_t field, offset, type, storage, length, decimals, flags, padChar;
    std::string format, class_, mustBe;
    int mustBeOp;
    std::string recType, sameAs, item4;
};

void expectColumns(const std::vector<MdkColumnRecord>& got, const std::vector<ColumnRow>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        const MdkColumnRecord& g = got[i];
        const ColumnRow& w = want[i];
        SCOPED_TRACE(w.name);
        EXPECT_EQ(g.name, w.name);
        EXPECT_EQ(g.field, w.field);
        EXPECT_EQ(g.offset, w.offset);
        EXPECT_EQ(g.type, w.type);
        EXPECT_EQ(g.storage, w.storage);
        EXPECT_EQ(g.length, w.length);
        EXPECT_EQ(g.decimals, w.decimals);
        EXPECT_EQ(g.columnFlags, w.flags);
        EXPECT_EQ(g.padChar, w.padChar);
        EXPECT_EQ(g.format, w.format);
        EXPECT_EQ(g.class_, w.class_);
        EXPECT_EQ(g.mustBe, w.mustBe);
        EXPECT_EQ(g.mustBeOp, w.mustBeOp);
        EXPECT_EQ(g.recType, w.recType);
        EXPECT_EQ(g.sameAs, w.sameAs);
        EXPECT_EQ(g.item4, w.item4);
        EXPECT_STREQ(g.extra1, "");
        EXPECT_STREQ(g.extra4, "");
        EXPECT_EQ(g.fieldSeparator, 0);
        EXPECT_EQ(g.reserved, 0);
    }
}

// The customers' columns, whichever dictionary describes them.
const std::vector<std::pair<std::string, std::pair<int32_t, int32_t>>> kCustomerPlaces = {
    {"CUSTNO", {0, 0}},
    {"REGION", {1, 0}},
    {"NAME", {1, 2}},
    {"CITY", {2, 0}},
    {"BALANCE", {3, 0}}};

TEST_F(SampleData, IniDictionaryTables) {
    int32_t count = -1;
    ASSERT_EQ(MDGetTables(handle, ini().c_str(), "", "", 0, &count), 1);
    EXPECT_EQ(count, 2);
    expectTables(fetchTables(), {{"CUSTOMERS", "customers.dat", "", "", "", "", 0},
                                 {"ORDERS", "orders.dat;orders_cols.ini", "", "", "", "", 0}});
}

TEST_F(SampleData, IniDictionaryCustomerColumns) {
    int32_t count = -1;
    ASSERT_EQ(MDGetColumns(handle, ini().c_str(), "", "CUSTOMERS", nullptr, &count), 1);
    EXPECT_EQ(count, 5);
    expectColumns(
        fetchColumns(),
        {{"CUSTNO", 0, 0, 'S', 'D', 6, 0, 0, 0, "", "", "", 0, "", "", ""},
         {"REGION", 1, 0, 'S', 'F', 2, 0, 16, 48, "", "RIGHT48", "", 0, "", "", ""},
         {"NAME", 1, 2, 'S', 'D', 30, 0, 0, 0, "", "", "A, B", '>', "", "", ""},
         {"CITY", 2, 0, 'S', 'D', 15, 0, 0, 0, "", "", "", 0, "", "TOWN", ""},
         {"BALANCE", 3, 0, 'N', 'D', 9, 2, 16, 32, "ZZZ,ZZ9.99", "RIGHT", "", 0, "", "", ""}});
}

TEST_F(SampleData, IniDictionaryOrderColumnsFromTheColumnSource) {
    int32_t count = -1;
    ASSERT_EQ(MDGetColumns(handle, ini().c_str(), "", "orders", nullptr, &count), 1);
    EXPECT_EQ(count, 6);
    expectColumns(
        fetchColumns(),
        {{"ORDERNO", 0, 0, 'S', 'D', 8, 0, 4, 0, "", "", "", 0, "O", "", ""},
         {"CUSTNO", 1, 0, 'S', 'F', 6, 0, 0, 0, "", "", "", 0, "", "CUSTOMERS.CUSTNO", ""},
         {"QTY", 1, 6, 'N', 'F', 4, 0, 0, 0, "", "", "", 0, "", "", ""},
         {"ITEM", 1, 10, 'S', 'D', 20, 0, 8, 0, "", "", "", 0, "", "", ""},
         {"ORDERDATE", 2, 0, 'N', 'D', 8, 0, 0, 0, "YYYYMMDD", "", "", 0, "", "", ""},
         {"AMOUNT", 3, 0, 'N', 'D', 9, 2, 1, 0, "", "", "", 0, "", "", ""}});
}

TEST_F(SampleData, KeyedDictionaryTables) {
    int32_t count = -1;
    ASSERT_EQ(MDGetTables(handle, ddf().c_str(), "", "", 0, &count), 1);
    // The file holds four records; its header and a comment are not tables.
    MdkFile* f = open(samples::kKeyedDictionary, MDK_OPEN_READONLY);
    EXPECT_EQ(MDGetEnvMode(f, -4), 4);
    MDK_close(f);
    EXPECT_EQ(count, 2);
    expectTables(fetchTables(), {{"STOCK", "stock.dat", "Stock on hand", "Warehouse", "S",
                                  "Counted every week", '|'},
                                 {"CUSTOMERS", ".\\customers.dat", "Customer master", "Sales", "C",
                                  "Kept by accounts", '|'}});
}

TEST_F(SampleData, KeyedDictionaryStockColumnsFromTheEmbeddedDictionary) {
    int32_t count = -1;
    ASSERT_EQ(MDGetColumns(handle, ddf().c_str(), "", "Stock", nullptr, &count), 1);
    EXPECT_EQ(count, 9);
    expectColumns(fetchColumns(),
                  {{"STOCKNO", 0, 0, 'S', 'D', 8, 0, 0, 0, "D", "", "", 0, "", "", ""},
                   {"LOCATION", 1, 0, 'S', 'F', 5, 0, 0, 0, "", "", "", 0, "", "", "AISLE"},
                   {"BIN", 1, 5, 'N', 'F', 3, 0, 0, 0, "", "", "", 0, "", "", ""},
                   {"DESCRIPTION", 1, 8, 'S', 'D', 10, 0, 0, 0, "D", "", "", 0, "", "", ""},
                   {"ONHAND", 2, 0, 'N', 'D', 4, 0, 0, 0, "D", "", "", 0, "", "", ""},
                   {"PRICE", 3, 0, 'N', 'D', 9, 2, 8, 0, "ZZZZ9.99", "", "", 0, "", "", ""},
                   {"MARGIN", 0, 0, 'N', 'V', 5, 1, 0, 0, "V", "", "", 0, "", "", ""},
                   {"SUPPLIER", 4, 0, 'S', 'Z', 6, 0, 1, 0, "Z", "", "", 0, "", "", "SUPPLIER-C"},
                   {"REORDER", 5, 0, 'N', 'D', 4, 0, 0, 0, "D", "", "", 0, "", "", ""}});
}

// A data file that carries its own dictionary is a dictionary of one table: the file itself,
// named after it, whose columns are those its dictionary records describe.  A data file without
// dictionary records lists nothing.
TEST_F(SampleData, ADataFileWithItsOwnDictionaryListsItselfAsOneTable) {
    int32_t count = -1;
    ASSERT_EQ(MDGetTables(handle, path(samples::kStockFile).c_str(), "", "", 0, &count), 1);
    EXPECT_EQ(count, 1);
    expectTables(fetchTables(), {{"stock", "stock.dat", "", "", "", "", 0}});

    ASSERT_EQ(MDGetColumns(handle, path(samples::kStockFile).c_str(), "", "STOCK", nullptr, &count),
              1);
    std::vector<std::string> own = columnNames();
    ASSERT_EQ(MDGetColumns(handle, ddf().c_str(), "", "STOCK", nullptr, nullptr), 1);
    EXPECT_EQ(own, columnNames());
    EXPECT_EQ(count, 9);

    for (const char* plain : {samples::kOrdersFile, samples::kProductsFile}) {
        EXPECT_EQ(MDGetTables(handle, path(plain).c_str(), "", "", 0, &count), 0) << plain;
        EXPECT_TRUE(fetchTables().empty()) << plain;
    }
    EXPECT_EQ(MDGetTables(handle, path("missing.dat").c_str(), "", "", 0, nullptr), 0);
}

TEST_F(SampleData, BothDictionariesPlaceTheCustomerColumnsAlike) {
    for (const std::string& dictionary : {ini(), ddf()}) {
        SCOPED_TRACE(dictionary);
        ASSERT_EQ(MDGetColumns(handle, dictionary.c_str(), "", "CUSTOMERS", nullptr, nullptr), 1);
        std::vector<std::pair<std::string, std::pair<int32_t, int32_t>>> places;
        for (const MdkColumnRecord& c : fetchColumns())
            places.push_back({c.name, {c.field, c.offset}});
        EXPECT_EQ(places, kCustomerPlaces);
    }
}

TEST_F(SampleData, AColumnFetchAfterTheLastStartsAgain) {
    ASSERT_EQ(MDGetColumns(handle, ini().c_str(), "", "CUSTOMERS", nullptr, nullptr), 1);
    EXPECT_EQ(columnNames().size(), 5u);
    MdkColumnRecord r{};
    ASSERT_EQ(MDFetchColumn(handle, &r), 1);
    EXPECT_STREQ(r.name, "CUSTNO");
}

TEST_F(SampleData, DataFilesHoldTheirRecords) {
    const std::pair<const char*, int> files[] = {{samples::kCustomersFile, samples::kCustomerCount},
                                                 {samples::kOrdersFile, samples::kOrderCount},
                                                 {samples::kStockFile, samples::kStockCount},
                                                 {samples::kProductsFile, samples::kProductCount}};
    for (const auto& [name, count] : files) {
        MdkFile* f = open(name, MDK_OPEN_READONLY);
        ASSERT_NE(f, MDK_INVALID_FILE);
        EXPECT_EQ(MDGetEnvMode(f, -4), count) << name;
        MDK_close(f);
    }
}

TEST_F(SampleData, DataFilesAreSoundForTheVerifiers) {
    for (const char* name : {samples::kCustomersFile, samples::kOrdersFile, samples::kStockFile,
                             samples::kKeyedDictionary}) {
        keyed::VerifyReport report = keyed::verifyClassicFile(path(name));
        EXPECT_TRUE(report.ok()) << name << ": " << (report.ok() ? "" : report.problems[0]);
    }
    indexed::IndexedVerifyReport report = indexed::verifyIndexedFile(path(samples::kProductsFile));
    EXPECT_TRUE(report.ok()) << (report.ok() ? "" : report.problems[0]);
}

// The value of a column in a record as MDK_read gives it (key area, then data).
std::string columnValue(const std::vector<uint8_t>& record, int keyArea, const MdkColumnRecord& c) {
    std::span<const uint8_t> all(record);
    std::span<const uint8_t> field;
    if (c.field == 0) {
        field = all.first(static_cast<size_t>(keyArea));
    } else {
        std::span<const uint8_t> data = all.subspan(static_cast<size_t>(keyArea));
        field = common::findSeparatedField(data, static_cast<unsigned>(c.field),
                                           samples::kDataSeparator)
                    .in(data);
    }
    if (static_cast<size_t>(c.offset) > field.size()) return "<past the field>";
    field = field.subspan(static_cast<size_t>(c.offset));
    if (c.storage != 'D' && c.storage != 'Z' && c.storage != 'L')
        field = field.first(std::min(field.size(), static_cast<size_t>(c.length)));
    return std::string(field.begin(), field.end());
}

struct FirstRecordCase {
    const char* dictionary;
    const char* table;
    const char* file;
    int keyArea;
    std::vector<std::pair<std::string, std::string>> values;  // column, value in record 1
};

class SampleRecords : public SampleData, public ::testing::WithParamInterface<FirstRecordCase> {};

TEST_P(SampleRecords, ColumnsFindTheirValuesInTheFirstRecord) {
    const FirstRecordCase& c = GetParam();
    ASSERT_EQ(MDGetColumns(handle, path(c.dictionary).c_str(), "", c.table, nullptr, nullptr), 1);
    std::vector<MdkColumnRecord> columns = fetchColumns();
    MdkFile* f = open(c.file, MDK_OPEN_READONLY);
    ASSERT_NE(f, MDK_INVALID_FILE);
    std::vector<uint8_t> record(512);
    int32_t n = MDK_read(f, record.data(), static_cast<int32_t>(record.size()), MDK_READ_NEXT);
    MDK_close(f);
    ASSERT_GT(n, 0);
    record.resize(static_cast<size_t>(n));
    std::vector<std::pair<std::string, std::string>> got;
    for (const MdkColumnRecord& col : columns) {
        if (col.field == 0 && col.offset == 0 && col.storage == 'V') continue;  // not stored
        got.emplace_back(col.name, columnValue(record, c.keyArea, col));
    }
    EXPECT_EQ(got, c.values);
}

INSTANTIATE_TEST_SUITE_P(Tables, SampleRecords,
                         ::testing::Values(FirstRecordCase{samples::kIniDictionary,
                                                           "CUSTOMERS",
                                                           samples::kCustomersFile,
                                                           6,
                                                           {{"CUSTNO", "C00001"},
                                                            {"REGION", "NO"},
                                                            {"NAME", "Acme Trading"},
                                                            {"CITY", "Lisbon"},
                                                            {"BALANCE", "0.00"}}},
                                           FirstRecordCase{samples::kIniDictionary,
                                                           "ORDERS",
                                                           samples::kOrdersFile,
                                                           8,
                                                           {{"ORDERNO", "O0000001"},
                                                            {"CUSTNO", "C00001"},
                                                            {"QTY", "0001"},
                                                            {"ITEM", "Bolts"},
                                                            {"ORDERDATE", "20240101"},
                                                            {"AMOUNT", "12.50"}}},
                                           FirstRecordCase{samples::kKeyedDictionary,
                                                           "STOCK",
                                                           samples::kStockFile,
                                                           8,
                                                           {{"STOCKNO", "S0000001"},
                                                            {"LOCATION", "A01-1"},
                                                            {"BIN", "000"},
                                                            {"DESCRIPTION", "Bolts"},
                                                            {"ONHAND", "0"},
                                                            {"PRICE", "0.15"},
                                                            {"SUPPLIER", "SUP001"},
                                                            {"REORDER", "50"}}}),
                         [](const ::testing::TestParamInfo<FirstRecordCase>& info) {
                             return std::string(info.param.table);
                         });

TEST_F(SampleData, ARefusedDirectoryReportsWhy) {
    std::string why;
    EXPECT_NE(samples::makeSampleData(dir.path(), &why), 0);  // the files exist already
    EXPECT_NE(why.find(samples::kCustomersFile), std::string::npos) << why;
}

}  // namespace
