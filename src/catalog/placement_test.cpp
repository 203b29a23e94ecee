// Field numbers and offsets of columns.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "catalog/placement.h"

using namespace mdnio::catalog;

namespace {

struct Col {
    int32_t storage;
    int32_t length;
    int32_t field = 0;  // given by FIELD when fieldGiven
    bool fieldGiven = false;
    int32_t offset = 0;  // given by OFFSET when offsetGiven
    bool offsetGiven = false;
};

std::vector<ColumnDraft> drafts(const std::vector<Col>& cols) {
    std::vector<ColumnDraft> out;
    for (const Col& c : cols) {
        ColumnDraft d;
        d.record.storage = c.storage;
        d.record.length = c.length;
        d.record.field = c.field;
        d.fieldGiven = c.fieldGiven;
        d.record.offset = c.offset;
        d.offsetGiven = c.offsetGiven;
        out.push_back(d);
    }
    return out;
}

using Places = std::vector<std::pair<int32_t, int32_t>>;  // field, offset

Places places(const std::vector<ColumnDraft>& columns) {
    Places out;
    for (const ColumnDraft& c : columns)
        out.emplace_back(c.record.field, c.record.offset);
    return out;
}

struct EmbeddedCase {
    const char* name;
    std::vector<Col> keys;
    std::vector<Col> data;
    Places keyPlaces;
    Places dataPlaces;
};

class EmbeddedPlacement : public ::testing::TestWithParam<EmbeddedCase> {};

TEST_P(EmbeddedPlacement, GivesFieldsAndOffsets) {
    std::vector<ColumnDraft> keys = drafts(GetParam().keys);
    std::vector<ColumnDraft> data = drafts(GetParam().data);
    placeEmbeddedColumns(keys, data);
    EXPECT_EQ(places(keys), GetParam().keyPlaces);
    EXPECT_EQ(places(data), GetParam().dataPlaces);
}

INSTANTIATE_TEST_SUITE_P(
    Elements, EmbeddedPlacement,
    ::testing::Values(
        // Fixed-width columns share the field of the delimited column that ends it.
        EmbeddedCase{"FixedThenDelimited",
                     {},
                     {{'F', 5}, {'F', 3}, {'D', 10}, {'D', 4}},
                     {},
                     {{1, 0}, {1, 5}, {1, 8}, {2, 0}}},
        // Key elements lie one after the other in the key area; the data starts afresh at
        // field 1, offset 0.
        EmbeddedCase{"KeyThenData",
                     {{'D', 6}, {'F', 4}},
                     {{'F', 2}, {'D', 30}},
                     {{0, 0}, {0, 6}},
                     {{1, 0}, {1, 2}}},
        // Every fixed-width letter adds its length; L and Z end the field like D.
        EmbeddedCase{"EveryStorage",
                     {},
                     {{'S', 1},
                      {'P', 2},
                      {'B', 3},
                      {'C', 4},
                      {'G', 5},
                      {'I', 6},
                      {'L', 7},
                      {'Z', 8},
                      {'D', 9}},
                     {},
                     {{1, 0}, {1, 1}, {1, 3}, {1, 6}, {1, 10}, {1, 15}, {1, 21}, {2, 0}, {3, 0}}},
        // Another storage letter is not in the record: 0/0, and nothing moves.
        EmbeddedCase{"NotStored",
                     {},
                     {{'F', 5}, {'V', 7}, {'8', 2}, {'D', 4}, {'D', 1}},
                     {},
                     {{1, 0}, {0, 0}, {0, 0}, {1, 5}, {2, 0}}},
        EmbeddedCase{"Empty", {}, {}, {}, {}}),
    [](const ::testing::TestParamInfo<EmbeddedCase>& info) { return info.param.name; });

struct IniCase {
    const char* name;
    KeyAreaFacts facts;
    std::vector<Col> columns;
    Places want;
};

KeyAreaFacts keyed(std::vector<bool> marks, int32_t keyLength) {
    KeyAreaFacts f;
    f.segmentInKeyArea = std::move(marks);
    f.primaryKeyLength = keyLength;
    return f;
}

KeyAreaFacts indexedFile() {
    KeyAreaFacts f;
    f.indexed = true;
    return f;
}

class IniPlacement : public ::testing::TestWithParam<IniCase> {};

TEST_P(IniPlacement, GivesFieldsAndOffsets) {
    std::vector<ColumnDraft> columns = drafts(GetParam().columns);
    placeIniColumns(columns, GetParam().facts);
    EXPECT_EQ(places(columns), GetParam().want);
}

INSTANTIATE_TEST_SUITE_P(
    Columns, IniPlacement,
    ::testing::Values(
        // A key over the key area, then data columns.
        IniCase{"KeyAreaThenData",
                keyed({true, false, false}, 6),
                {{'D', 6}, {'F', 2}, {'D', 30}, {'D', 15}, {'D', 9}},
                {{0, 0}, {1, 0}, {1, 2}, {2, 0}, {3, 0}}},
        // Two key-area columns fill a key of 10 although only the first segment is marked.
        IniCase{"KeyAreaFilledByTwoColumns",
                keyed({true, false}, 10),
                {{'D', 4}, {'D', 6}, {'D', 3}},
                {{0, 0}, {0, 4}, {1, 0}}},
        // Once the key area is complete, a later key-area segment does not make a key column.
        IniCase{"CompleteKeyArea",
                keyed({true, true, false}, 6),
                {{'D', 6}, {'D', 5}, {'D', 5}},
                {{0, 0}, {1, 0}, {2, 0}}},
        // Indexed files: the first column is the record number.
        IniCase{"Indexed",
                indexedFile(),
                {{'D', 8}, {'F', 8}, {'F', 24}, {'D', 8}},
                {{0, 0}, {1, 0}, {1, 8}, {1, 32}}},
        // FIELD keeps its field (the counter goes on from where it was); OFFSET becomes the
        // running offset.
        IniCase{"FieldAndOffsetGiven",
                keyed({false}, 4),
                {{'F', 2}, {'F', 3, 5, true}, {'D', 4}, {'F', 2, 0, false, 10, true}, {'D', 1}},
                {{1, 0}, {5, 2}, {1, 5}, {2, 10}, {2, 12}}},
        // More columns than segments: the rest are data columns.
        IniCase{"MoreColumnsThanSegments",
                keyed({true}, 3),
                {{'D', 3}, {'D', 1}, {'D', 1}},
                {{0, 0}, {1, 0}, {2, 0}}},
        // A key of absurd length cannot overflow the running offset.
        IniCase{"HugeLengths",
                keyed({false}, 0),
                {{'F', INT32_MAX}, {'F', INT32_MAX}, {'F', 1}},
                {{1, 0}, {1, INT32_MAX}, {1, INT32_MAX}}}),
    [](const ::testing::TestParamInfo<IniCase>& info) { return info.param.name; });

}  // namespace
