// The dictionary embedded in a data file: elements, their items, and reading them through
// MDK_dict.
#include <cstring>
#include <string>

#include "catalog/catalog_testing.h"
#include "catalog/embedded.h"
#include "common/bytes.h"

using namespace mdnio;
using namespace mdnio::catalog;
using namespace mdnio::catalog::test;

namespace {

std::vector<uint8_t> bytes(std::initializer_list<int> list) {
    std::vector<uint8_t> out;
    for (int b : list)
        out.push_back(static_cast<uint8_t>(b));
    return out;
}

std::vector<std::string> strings(const std::vector<std::string_view>& items) {
    return std::vector<std::string>(items.begin(), items.end());
}

TEST(ElementItems, OneAndTwoByteLengths) {
    std::vector<uint8_t> e = bytes({2, 'a', 'b', 0, 0x80, 3, 'x', 'y', 'z', 1, 'q'});
    EXPECT_EQ(strings(splitItems(e)), (std::vector<std::string>{"ab", "", "xyz", "q"}));
    std::vector<uint8_t> big = {0x81, 0x2C};  // 256 + 44 = 300
    big.resize(2 + 300, 'w');
    std::vector<std::string_view> items = splitItems(big);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].size(), 300u);
}

TEST(ElementItems, AnItemRunningPastTheEndEndsTheList) {
    EXPECT_EQ(strings(splitItems(bytes({1, 'a', 5, 'b', 'c'}))), (std::vector<std::string>{"a"}));
    EXPECT_EQ(strings(splitItems(bytes({1, 'a', 0x80}))), (std::vector<std::string>{"a"}));
    EXPECT_TRUE(splitItems({}).empty());
}

TEST(ElementItems, JoinIsTheInverseOfSplit) {
    std::string longItem(1000, 'L');
    std::vector<std::string_view> items = {"tag", "", "x", longItem, std::string_view("\0\1", 2)};
    std::vector<uint8_t> joined = joinItems(items);
    EXPECT_EQ(joined.size(), (1u + 3) + 1 + (1 + 1) + (2 + 1000) + (1 + 2));
    EXPECT_EQ(strings(splitItems(joined)), strings(items));
}

TEST(ElementTags, ColumnsHaveShortTagsOrTheColumnTag) {
    EXPECT_TRUE(isColumnTag(kColumnTag));
    EXPECT_TRUE(isColumnTag(std::string_view("\0\0\xB9xyz", 6)));
    EXPECT_TRUE(isColumnTag(""));
    EXPECT_TRUE(isColumnTag("AB"));
    EXPECT_FALSE(isColumnTag("VAR1"));
    EXPECT_FALSE(isColumnTag("VAR"));
    EXPECT_FALSE(isColumnTag("EXT"));
    EXPECT_FALSE(isColumnTag(std::string_view("\0\0\xBA", 3)));
}

TEST(ElementColumn, ItemsFillTheColumn) {
    samples::DictionaryElement e = element("PRICE", 'N', "9.2", 'Z');
    e.item4 = "ABCDEFGHIJKLMNOP";
    e.flags = "xHyN";
    std::vector<uint8_t> raw = samples::encodeElement(e);
    ColumnDraft c = columnFromItems(splitItems(raw));
    const MdkColumnRecord& r = c.record;
    EXPECT_STREQ(r.name, "PRICE");
    EXPECT_EQ(r.type, 'N');
    EXPECT_EQ(r.length, 9);
    EXPECT_EQ(r.decimals, 2);
    EXPECT_STREQ(r.item4, "ABCDEFGHIJ");  // cut to its 11-byte field
    EXPECT_EQ(r.storage, 'Z');
    EXPECT_STREQ(r.format, "Z");  // the storage item, as item 12 is empty
    EXPECT_EQ(r.columnFlags, kColumnHide | kColumnNoShow);
}

TEST(ElementColumn, AFormatItemWinsOverTheStorage) {
    samples::DictionaryElement e = element("PRICE", 'N', "9.2", 'D');
    e.format = "ZZ9.99";
    std::vector<uint8_t> raw = samples::encodeElement(e);
    EXPECT_STREQ(columnFromItems(splitItems(raw)).record.format, "ZZ9.99");
}

TEST(ElementColumn, StorageIsTheFormatUnlessFixedPaddedOrSubstring) {
    for (char storage : {'D', 'Z', 'B', 'V'}) {
        std::vector<std::string_view> items = {kColumnTag, "N", "", "S", "4", "", {&storage, 1}};
        ColumnDraft c = columnFromItems(items);
        EXPECT_EQ(std::string(c.record.format), std::string(1, storage));
    }
    for (char storage : {'F', 'P', 'S'}) {
        std::vector<std::string_view> items = {kColumnTag, "N", "", "S", "4", "", {&storage, 1}};
        ColumnDraft c = columnFromItems(items);
        EXPECT_STREQ(c.record.format, "");
        EXPECT_EQ(c.record.storage, storage);
    }
}

TEST(ElementColumn, MissingItemsKeepTheDefaults) {
    ColumnDraft c = columnFromItems({kColumnTag, "ONLYNAME"});
    EXPECT_STREQ(c.record.name, "ONLYNAME");
    EXPECT_EQ(c.record.type, 'S');
    EXPECT_EQ(c.record.storage, 'D');
    EXPECT_EQ(c.record.length, 0);
    EXPECT_EQ(c.record.decimals, 0);
}

using EmbeddedRead = CatalogTest;

TEST_F(EmbeddedRead, BothSeriesInOrderWithPassedOverElements) {
    samples::DictionaryElement skipped = element("OLD", 'S', "4", 'D');
    skipped.tag = "VAR1";
    samples::DictionaryElement shortTag = element("SHORT", 'S', "2", 'D');
    shortTag.tag = "\x07";
    classicWithDictionary("d.dat", {element("K1", 'S', "4", 'D'), element("K2", 'N', "2", 'F')},
                          {element("A", 'S', "5", 'F'), skipped, element("B", 'N', "3", 'F'),
                           element("C", 'S', "10", 'D'), shortTag});
    MdkFile* f = open("d.dat", MDK_OPEN_READONLY);
    std::vector<ColumnDraft> columns;
    ASSERT_EQ(readEmbeddedColumns(f, columns), EmbeddedResult::Ok);
    MDK_close(f);
    std::vector<std::tuple<std::string, int32_t, int32_t>> got;
    for (const ColumnDraft& c : columns)
        got.emplace_back(c.record.name, c.record.field, c.record.offset);
    EXPECT_EQ(
        got,
        (std::vector<std::tuple<std::string, int32_t, int32_t>>{
            {"K1", 0, 0}, {"K2", 0, 4}, {"A", 1, 0}, {"B", 1, 5}, {"C", 1, 8}, {"SHORT", 2, 0}}));
}

TEST_F(EmbeddedRead, AFileWithoutDictionaryHasNoColumns) {
    buildClassic("plain.dat", simpleLayout());
    MdkFile* f = open("plain.dat", MDK_OPEN_READONLY);
    std::vector<ColumnDraft> columns;
    EXPECT_EQ(readEmbeddedColumns(f, columns), EmbeddedResult::Ok);
    EXPECT_TRUE(columns.empty());
    MDK_close(f);
}

TEST_F(EmbeddedRead, AnElementLongerThanTheBufferFailsTheReading) {
    samples::DictionaryElement big = element("BIG", 'S', "4", 'D');
    for (size_t fill : {kElementBuffer - 40, kElementBuffer + 10}) {
        big.item6.assign(fill, 'x');
        std::string name = "big" + std::to_string(fill) + ".dat";
        // Blocks of 16 KB hold a dictionary record of more than the reader's buffer.
        keyed::ClassicLayout l = simpleLayout();
        l.blockSize = 16384;
        buildClassic(name, l);
        MdkFile* w = open(name);
        ASSERT_EQ(samples::writeEmbeddedDictionary(w, {}, {big}), 0) << MDK_geterrno(w);
        MDK_close(w);
        size_t size = samples::encodeElement(big).size();
        MdkFile* f = open(name, MDK_OPEN_READONLY);
        std::vector<ColumnDraft> columns;
        EmbeddedResult rc = readEmbeddedColumns(f, columns);
        MDK_close(f);
        if (size <= kElementBuffer) {
            EXPECT_EQ(rc, EmbeddedResult::Ok) << size;
            ASSERT_EQ(columns.size(), 1u);
            EXPECT_STREQ(columns[0].record.name, "BIG");
        } else {
            EXPECT_EQ(rc, EmbeddedResult::Failed) << size;
        }
    }
}

TEST_F(EmbeddedRead, AnIndexedFileHasNoDictionaryToRead) {
    samples::makeSampleData(dir.path(), nullptr);
    MdkFile* f = open(samples::kProductsFile, MDK_OPEN_READONLY);
    std::vector<ColumnDraft> columns;
    EXPECT_EQ(readEmbeddedColumns(f, columns), EmbeddedResult::Failed);
    EXPECT_EQ(MDK_geterrno(f), MDK_E_FILETYPE);
    MDK_close(f);
}

// Points the previous link of dictionary record -1 back at record 0, so that records -1, -2,
// -3, ... all exist: the chain loops.  (A loop on the other side keeps the file from opening:
// the password check walks the next links.)
void loopTheChain(const std::string& path) {
    std::vector<uint8_t> file = mdnio::test::readFile(path);
    ASSERT_GE(file.size(), 512u);
    const uint32_t blockSize = (static_cast<int8_t>(file[240]) + 1) * 1024u;
    auto recordAt = [&](uint32_t address) -> uint8_t* {
        uint8_t* block = file.data() + (address & ~0xFFu);
        uint32_t slot = address & 0xFF;
        uint32_t position = common::getBe16(block + 6 + 2 * slot);
        EXPECT_GT(position, 0u);
        EXPECT_LT(position, blockSize);
        return block + 6 + position;
    };
    uint32_t first = common::getBe32(&file[243]);
    uint8_t* record0 = recordAt(first);
    uint32_t minusOne = common::getBe32(record0 + 4);
    ASSERT_NE(minusOne, 0u);
    common::putBe32(recordAt(minusOne) + 4, first);
    mdnio::test::writeFile(path, file);
}

TEST_F(EmbeddedRead, ALoopingChainEndsTheReadingInsteadOfRunningOn) {
    classicWithDictionary("loop.dat", {element("K", 'S', "1", 'D')}, {element("A", 'S', "1", 'D')});
    loopTheChain(path("loop.dat"));
    MdkFile* f = open("loop.dat", MDK_OPEN_READONLY);
    // The damage is real: record -5000 "exists".
    char probe[64];
    EXPECT_GT(MDK_dict(f, -5000, probe, sizeof probe), 0);
    std::vector<ColumnDraft> columns;
    EXPECT_EQ(readEmbeddedColumns(f, columns), EmbeddedResult::Failed);
    MDK_close(f);
}

}  // namespace
