// Helpers of the catalog's tests: a fixture with an environment, its catalog handle and a
// scratch directory, small classic files made by the builder, and the listed records.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "catalog/catalog.h"
#include "catalog/sample_data.h"
#include "common/keydesc.h"
#include "keyed/builder.h"
#include "mdnio.h"
#include "testutil.h"

namespace mdnio::catalog::test {

inline common::Segment seg(uint16_t field, uint16_t offset, uint8_t length, uint16_t options = 0,
                           bool descending = false, uint8_t nullByte = 0) {
    return keyed::makeSegment(field, offset, length, options, descending, nullByte);
}

using KeyDef = keyed::KeySpec;

inline keyed::ClassicLayout layout(int recordSize, int keyAreaSize,
                                   const std::vector<KeyDef>& keys) {
    keyed::ClassicLayout l;
    l.recordSize = recordSize;
    l.keyAreaSize = keyAreaSize;
    keyed::addKeys(l, keys);
    return l;
}

// A classic file with one key over a key area of `keyAreaSize` bytes.
inline keyed::ClassicLayout simpleLayout(int keyAreaSize = 6) {
    return layout(200, keyAreaSize,
                  {{{seg(common::kKeyAreaField, 0, static_cast<uint8_t>(keyAreaSize))}}});
}

class CatalogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        env = MDK_AllocEnv();
        ASSERT_NE(env, nullptr);
        handle = MDRequestHandle(env);
        ASSERT_NE(handle, nullptr);
    }
    void TearDown() override { MDK_DeAllocEnv(env); }

    std::string path(const std::string& name) const { return dir.file(name); }

    void buildClassic(const std::string& name, const keyed::ClassicLayout& l) {
        std::string why;
        ASSERT_EQ(keyed::buildClassicFile(path(name), l, &why), 0) << why;
    }

    MdkFile* open(const std::string& name, int32_t flags = 0) {
        int32_t error = -1;
        MdkFile* f = MDK_OpenExt(env, path(name).c_str(), nullptr, 0, flags, &error);
        EXPECT_NE(f, MDK_INVALID_FILE) << name << " error " << error;
        return f;
    }

    // A classic file whose embedded dictionary holds these elements.
    void classicWithDictionary(const std::string& name,
                               const std::vector<samples::DictionaryElement>& keys,
                               const std::vector<samples::DictionaryElement>& data) {
        buildClassic(name, simpleLayout());
        MdkFile* f = open(name);
        ASSERT_NE(f, MDK_INVALID_FILE);
        EXPECT_EQ(samples::writeEmbeddedDictionary(f, keys, data), 0) << MDK_geterrno(f);
        MDK_close(f);
    }

    void writeText(const std::string& name, const std::string& text) {
        mdnio::test::writeFile(path(name), text);
    }

    std::vector<MdkTableRecord> fetchTables() {
        std::vector<MdkTableRecord> out;
        MdkTableRecord r{};
        while (MDFetchTable(handle, &r) == 1) {
            out.push_back(r);
            if (out.size() > 10000) break;  // a cursor that never ends fails the test, not hangs
        }
        return out;
    }

    std::vector<MdkColumnRecord> fetchColumns() {
        std::vector<MdkColumnRecord> out;
        MdkColumnRecord r{};
        while (MDFetchColumn(handle, &r) == 1) {
            out.push_back(r);
            if (out.size() > 10000) break;
        }
        return out;
    }

    std::vector<std::string> tableNames() {
        std::vector<std::string> out;
        for (const MdkTableRecord& r : fetchTables())
            out.emplace_back(r.name);
        return out;
    }

    std::vector<std::string> columnNames() {
        std::vector<std::string> out;
        for (const MdkColumnRecord& r : fetchColumns())
            out.emplace_back(r.name);
        return out;
    }

    MdkEnv* env = nullptr;
    MdkCatalog* handle = nullptr;
    mdnio::test::TempDir dir;
};

inline samples::DictionaryElement element(std::string name, char type, std::string length,
                                          char storage) {
    samples::DictionaryElement e;
    e.name = std::move(name);
    e.type = type;
    e.length = std::move(length);
    e.storage = storage;
    return e;
}

}  // namespace mdnio::catalog::test
