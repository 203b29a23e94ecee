#include "catalog/placement.h"

#include <cstdint>

namespace mdnio::catalog {

namespace {

// Lengths come from dictionary text and may be absurd; sums stay inside int32.
int32_t addClamped(int32_t a, int32_t b) {
    int64_t sum = int64_t{a} + b;
    if (sum > INT32_MAX) return INT32_MAX;
    if (sum < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(sum);
}

bool isFixedWidth(int32_t storage) {
    switch (storage) {
        case 'F':
        case 'S':
        case 'P':
        case 'B':
        case 'C':
        case 'G':
        case 'I':
            return true;
        default:
            return false;
    }
}

// Running position in the data fields.
struct Cursor {
    int32_t field = 1;
    int32_t offset = 0;

    // After a column of `storage` and `length` at the current position.
    void pass(int32_t storage, int32_t length) {
        if (isDelimited(storage)) {
            field = addClamped(field, 1);
            offset = 0;
        } else {
            offset = addClamped(offset, length);
        }
    }
};

}  // namespace

void placeEmbeddedColumns(std::vector<ColumnDraft>& keyColumns,
                          std::vector<ColumnDraft>& dataColumns) {
    int32_t keyOffset = 0;
    for (ColumnDraft& c : keyColumns) {
        c.record.field = 0;
        c.record.offset = keyOffset;
        keyOffset = addClamped(keyOffset, c.record.length);
    }
    // The data series starts at the first data field, whatever the key elements added up to.
    Cursor at;
    for (ColumnDraft& c : dataColumns) {
        MdkColumnRecord& r = c.record;
        if (!isDelimited(r.storage) && !isFixedWidth(r.storage)) {
            // Not stored in the record (or stored in a way the offsets cannot follow).
            r.field = 0;
            r.offset = 0;
            continue;
        }
        r.field = at.field;
        r.offset = at.offset;
        at.pass(r.storage, r.length);
    }
}

void placeIniColumns(std::vector<ColumnDraft>& columns, const KeyAreaFacts& facts) {
    Cursor at;
    int32_t keyOffset = 0;
    bool keyStarted = false;   // a key-area column was placed
    bool keyComplete = false;  // key-area columns have filled the primary key
    for (size_t i = 0; i < columns.size(); ++i) {
        MdkColumnRecord& r = columns[i].record;
        bool inKeyArea;
        if (facts.indexed) {
            inKeyArea = i == 0;
        } else {
            bool marked = i < facts.segmentInKeyArea.size() && facts.segmentInKeyArea[i];
            inKeyArea = !keyComplete && (marked || keyStarted);
        }
        if (inKeyArea) {
            keyStarted = true;
            r.field = 0;
            r.offset = keyOffset;
            keyOffset = addClamped(keyOffset, r.length);
            if (facts.indexed || keyOffset >= facts.primaryKeyLength) {
                keyOffset = 0;
                keyComplete = true;
            }
            continue;
        }
        if (!columns[i].fieldGiven) r.field = at.field;
        if (columns[i].offsetGiven) {
            at.offset = r.offset;
        } else {
            r.offset = at.offset;
        }
        at.pass(r.storage, r.length);
    }
}

}  // namespace mdnio::catalog
