// The table and column listings behind MDGetTables and MDGetColumns.
#pragma once

#include <cstdint>

#include "catalog/catalog.h"

namespace mdnio::catalog {

// Lists the tables of a dictionary into the handle.  1, or 0 (the table list is then empty).
// May throw std::bad_alloc.
int32_t getTables(MdkCatalog* handle, const char* dictionaryName, const char* qualifier,
                  const char* tableName, int32_t* countOut);

// Lists the columns of one table into the handle.  1, or 0 (the column list is then empty,
// unless the failure came before it was touched: no such table, a failed table listing).
// May throw std::bad_alloc.
int32_t getColumns(MdkCatalog* handle, const char* dictionaryName, const char* qualifier,
                   const char* tableName, const char* fileSpec, int32_t* countOut);

}  // namespace mdnio::catalog
