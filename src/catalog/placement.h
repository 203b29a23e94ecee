// Where each column lies in a record: its field number (0 the key area, 1 the first data field)
// and its byte offset inside that field.
//
// Columns are placed in dictionary order with a field counter (from 1) and a running offset
// (from 0).  A delimited column ends its field: the next column starts the next field at
// offset 0.  A fixed-width column shares its field with the columns that follow it, up to and
// including the delimited column that ends the field.
#pragma once

#include <cstdint>
#include <vector>

#include "catalog/column.h"

namespace mdnio::catalog {

// Columns of an embedded dictionary: the key series (key-area columns) and the data series.
void placeEmbeddedColumns(std::vector<ColumnDraft>& keyColumns,
                          std::vector<ColumnDraft>& dataColumns);

// What .ini placement needs to know about the data file.
struct KeyAreaFacts {
    bool indexed = false;  // the first column is the record number, every later one data
    // Keyed files: for each key segment of the file in order, whether it takes its bytes from
    // the key area.  Column i lies in the key area when segment i does.
    std::vector<bool> segmentInKeyArea;
    int32_t primaryKeyLength = 0;  // bytes of key 0 without a suffix
};

// Columns of an .ini dictionary, after their keyword lists were applied.
void placeIniColumns(std::vector<ColumnDraft>& columns, const KeyAreaFacts& facts);

}  // namespace mdnio::catalog
