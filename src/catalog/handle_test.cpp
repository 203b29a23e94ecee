// The catalog handle: its life, the fetch cursors and what a fetch copies.
#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

#include "catalog/catalog.h"
#include "catalog/catalog_testing.h"
#include "catalog/text.h"

using namespace mdnio;
using namespace mdnio::catalog;
using namespace mdnio::catalog::test;

namespace {

std::vector<TableEntry> namedTables(std::initializer_list<const char*> names) {
    std::vector<TableEntry> out;
    for (const char* n : names) {
        TableEntry& t = out.emplace_back();
        copyField(t.record.name, n);
    }
    return out;
}

using CatalogHandle = CatalogTest;

TEST_F(CatalogHandle, RequestTwiceGivesTheSameHandle) {
    EXPECT_EQ(MDRequestHandle(env), handle);
    EXPECT_EQ(MDGetEnvMode(env, 9), reinterpret_cast<intptr_t>(handle));
}

TEST_F(CatalogHandle, FreeThenRequestGivesANewEmptyHandle) {
    installTables(handle, namedTables({"A", "B"}), 2);
    EXPECT_EQ(MDFreeHandle(handle), 0);
    EXPECT_EQ(MDGetEnvMode(env, 9), 0);
    handle = MDRequestHandle(env);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(MDGetEnvMode(env, 9), reinterpret_cast<intptr_t>(handle));
    EXPECT_TRUE(fetchTables().empty());
    EXPECT_TRUE(fetchColumns().empty());
    EXPECT_EQ(handle->tableCount, 0);
    EXPECT_STREQ(handle->dictionaryName, "");
}

TEST_F(CatalogHandle, NullArgumentsAnswerTheFailureValue) {
    MdkTableRecord t{};
    MdkColumnRecord c{};
    int32_t count = 77;
    EXPECT_EQ(MDRequestHandle(nullptr), nullptr);
    EXPECT_EQ(MDFreeHandle(nullptr), 0);
    EXPECT_EQ(MDFetchTable(nullptr, &t), 0);
    EXPECT_EQ(MDFetchColumn(nullptr, &c), 0);
    EXPECT_EQ(MDGetTables(nullptr, "x.ini", "", "", 0, &count), 0);
    EXPECT_EQ(MDGetColumns(nullptr, "x.ini", "", "T", nullptr, &count), 0);
    EXPECT_EQ(count, 77);
    installTables(handle, namedTables({"A"}), 1);
    EXPECT_EQ(MDFetchTable(handle, nullptr), 0);
    EXPECT_EQ(MDFetchTable(handle, &t), 1);  // the null record did not move the cursor
    EXPECT_STREQ(t.name, "A");
}

TEST_F(CatalogHandle, FetchAfterTheLastAnswersZeroThenStartsAgain) {
    installTables(handle, namedTables({"A", "B", "C"}), 3);
    EXPECT_EQ(tableNames(), (std::vector<std::string>{"A", "B", "C"}));  // ends with a 0
    MdkTableRecord r{};
    ASSERT_EQ(MDFetchTable(handle, &r), 1);
    EXPECT_STREQ(r.name, "A");
    EXPECT_EQ(tableNames(), (std::vector<std::string>{"B", "C"}));
}

TEST_F(CatalogHandle, ReplacingOrEmptyingAListStartsItsFetchesAfresh) {
    installTables(handle, namedTables({"A", "B", "C"}), 3);
    MdkTableRecord r{};
    ASSERT_EQ(MDFetchTable(handle, &r), 1);
    ASSERT_EQ(MDFetchTable(handle, &r), 1);
    installTables(handle, namedTables({"X"}), 1);
    ASSERT_EQ(MDFetchTable(handle, &r), 1);
    EXPECT_STREQ(r.name, "X");
    installTables(handle, {}, 0);
    EXPECT_EQ(MDFetchTable(handle, &r), 0);
    installTables(handle, namedTables({"Y", "Z"}), 2);
    EXPECT_EQ(tableNames(), (std::vector<std::string>{"Y", "Z"}));
}

TEST_F(CatalogHandle, AFailedListingEmptiesTheListAndItsCursor) {
    writeText("one.ini", "[*Tables*]\nT1=a.dat\nT2=b.dat\n");
    ASSERT_EQ(MDGetTables(handle, path("one.ini").c_str(), "", "", 0, nullptr), 1);
    MdkTableRecord r{};
    ASSERT_EQ(MDFetchTable(handle, &r), 1);
    EXPECT_EQ(MDGetTables(handle, path("missing.ini").c_str(), "", "", 0, nullptr), 0);
    EXPECT_EQ(MDFetchTable(handle, &r), 0);
    EXPECT_EQ(handle->tableCount, 0);
}

// The caller's buffers receive at most their capacity; the lengths say what the listed record
// holds.  The buffers are allocated at exactly their capacity, so a longer copy would be caught.
TEST_F(CatalogHandle, FetchCopiesAtMostTheCallersCapacity) {
    std::vector<TableEntry> tables = namedTables({"T"});
    tables[0].bufferA.assign(100, 'a');
    tables[0].bufferB.assign(5, 'b');
    installTables(handle, std::move(tables), 1);
    auto a = std::make_unique<char[]>(10);
    auto b = std::make_unique<char[]>(8);
    std::memset(b.get(), '-', 8);
    MdkTableRecord r{};
    r.bufferA = a.get();
    r.bufferACapacity = 10;
    r.bufferB = b.get();
    r.bufferBCapacity = 8;
    ASSERT_EQ(MDFetchTable(handle, &r), 1);
    EXPECT_STREQ(r.name, "T");
    EXPECT_EQ(r.bufferA, a.get());
    EXPECT_EQ(r.bufferACapacity, 10);
    EXPECT_EQ(r.bufferALength, 100);
    EXPECT_EQ(std::string(a.get(), 10), std::string(10, 'a'));
    EXPECT_EQ(r.bufferB, b.get());
    EXPECT_EQ(r.bufferBLength, 5);
    EXPECT_EQ(std::string(b.get(), 8), "bbbbb---");
}

TEST_F(CatalogHandle, FetchWithoutBuffersStillReportsTheLengths) {
    std::vector<ColumnEntry> columns(1);
    copyField(columns[0].record.name, "C");
    columns[0].record.field = 4;
    columns[0].bufferA.assign(7, 'x');
    installColumns(handle, std::move(columns));
    MdkColumnRecord r{};
    r.bufferACapacity = 1000;  // no buffer: nothing is copied whatever the capacity says
    ASSERT_EQ(MDFetchColumn(handle, &r), 1);
    EXPECT_STREQ(r.name, "C");
    EXPECT_EQ(r.field, 4);
    EXPECT_EQ(r.bufferA, nullptr);
    EXPECT_EQ(r.bufferALength, 7);
    EXPECT_EQ(r.bufferBLength, 0);
    EXPECT_EQ(MDFetchColumn(handle, &r), 0);
}

// A listing in one thread and fetches in another: each fetch sees a whole list, old or new,
// and never a record that was freed.  Without the lock on both sides this reads freed memory.
TEST_F(CatalogHandle, FetchesAndListingsFromTwoThreads) {
    constexpr int kRounds = 20000;
    std::atomic<bool> done{false};
    std::thread lister([&] {
        for (int i = 0; i < kRounds; ++i) {
            installTables(
                handle,
                i % 2 ? namedTables({"ODD1", "ODD2", "ODD3"}) : namedTables({"EVEN1", "EVEN2"}),
                i % 2 ? 3 : 2);
        }
        done = true;
    });
    int fetched = 0;
    bool wellFormed = true;
    MdkTableRecord r{};
    while (!done || fetched < kRounds) {
        if (MDFetchTable(handle, &r) == 1) {
            std::string name(r.name);
            wellFormed = wellFormed && (name.starts_with("ODD") || name.starts_with("EVEN"));
        }
        ++fetched;
    }
    lister.join();
    EXPECT_TRUE(wellFormed);
}

TEST_F(CatalogHandle, FreeingTheEnvironmentFreesTheHandle) {
    installTables(handle, namedTables({"A"}), 1);
    MdkEnv* other = MDK_AllocEnv();
    MdkCatalog* h = MDRequestHandle(other);
    ASSERT_NE(h, nullptr);
    EXPECT_NE(h, handle);
    installTables(h, namedTables({"B"}), 1);
    MDK_DeAllocEnv(other);  // the leak checker would report a handle left behind
    EXPECT_EQ(tableNames(), (std::vector<std::string>{"A"}));
}

}  // namespace
