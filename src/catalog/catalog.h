// The catalog handle of an environment: the names of the last table listing, the listed tables
// and columns, and the fetch cursors over them.
//
// Lists are built aside and swapped in whole under the environment lock; the fetches copy out
// under the same lock.  So a fetch never sees a list half built, and never a record that a
// listing in another thread has already freed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "mdnio.h"

namespace mdnio::catalog {

// A listed record with the contents of its two buffers.  The local dictionary readers leave
// the buffers empty; they exist for records that carry extra data to the client, which the
// fetch copies into the client's own buffers.  `record.bufferA`/`bufferB` are not used here.
template <class Record>
struct Listed {
    Record record{};
    std::vector<char> bufferA;
    std::vector<char> bufferB;
};

using TableEntry = Listed<MdkTableRecord>;
using ColumnEntry = Listed<MdkColumnRecord>;

// Sizes of the names a listing keeps.
inline constexpr size_t kNameArgSize = 256;

}  // namespace mdnio::catalog

struct MdkCatalog {
    char dictionaryName[mdnio::catalog::kNameArgSize] = {};  // of the last table listing
    char qualifier[mdnio::catalog::kNameArgSize] = {};
    char tableNameArg[mdnio::catalog::kNameArgSize] = {};
    int32_t tableCount = 0;  // tables of the last listing

    // A cursor is the index of the next record a fetch hands out; 0 also stands for "nothing
    // handed out yet", so that a list that is replaced or emptied starts its fetches afresh.
    std::vector<mdnio::catalog::TableEntry> tables;
    size_t tableCursor = 0;
    std::vector<mdnio::catalog::ColumnEntry> columns;
    size_t columnCursor = 0;

    MdkEnv* env = nullptr;  // owner
};

namespace mdnio::catalog {

// The environment's handle, made on first use; null when memory is exhausted.
MdkCatalog* requestHandle(MdkEnv* env);
// Frees the handle and its lists, and clears the environment's reference to it.
void freeHandle(MdkCatalog* handle) noexcept;

// Replace a list (and reset its cursor) under the environment lock.  An empty vector empties it.
void installTables(MdkCatalog* handle, std::vector<TableEntry> tables, int32_t count);
void installColumns(MdkCatalog* handle, std::vector<ColumnEntry> columns);

// Copies the next record into `out` under the environment lock: 1, or 0 at the end of the list
// (the cursor then starts again at the first record).
int32_t fetchTable(MdkCatalog* handle, MdkTableRecord* out);
int32_t fetchColumn(MdkCatalog* handle, MdkColumnRecord* out);

}  // namespace mdnio::catalog
