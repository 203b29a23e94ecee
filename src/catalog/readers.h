// The dictionary readers: tables from an .ini dictionary or a keyed dictionary file, columns
// from an .ini file or from the dictionary embedded in a data file.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "catalog/catalog.h"
#include "catalog/column.h"
#include "catalog/placement.h"

namespace mdnio::catalog {

// The kinds of dictionary a name designates: a file name (the part after the last '/' or '\')
// that contains ".ini" (any case) is an .ini dictionary, one that contains "meridane.ddf" (any
// case) a keyed dictionary file, anything else no dictionary of those kinds (a data file may
// still carry its own).
enum class DictionaryKind { Ini, KeyedFile, None };
DictionaryKind dictionaryKind(const std::string& name);

// Tables of an .ini dictionary: one per key of its "*Tables*" section, the key the table name
// and the value its fileSpec.  Nothing when the section is empty or cannot be read, when a
// value is empty, or when the key list or a value does not fit its buffer.
std::optional<std::vector<TableEntry>> readIniTables(const std::string& dictionary);

// Tables of a keyed dictionary file, read in key order.  Each record is a 6-character key and
// fields separated by the file's separator: 1 name, 2 fileSpec, 4 text4, 7 text7, 8 text8,
// 12 text12.  The record with key "000000" and records whose first field begins with '*' are
// passed over.  Nothing when the file cannot be opened or read, or is not a data file.
std::optional<std::vector<TableEntry>> readKeyedFileTables(MdkEnv* env,
                                                           const std::string& dictionary);

// Tables of a data file named as the dictionary: one, the file itself, when it carries a
// dictionary that describes at least one column.  The table is named after the file without its
// extension, and its fileSpec is the file's own name.  Nothing for a name that is not a data
// file, a file without such a dictionary, or a file name that a fileSpec (120 characters, no ';'
// or ',') or a table name (63 characters) cannot hold whole.
std::optional<std::vector<TableEntry>> readOwnDictionaryTables(MdkEnv* env,
                                                               const std::string& dictionary);

// Columns of `table` from the .ini file `path`: one per key of the section named after the
// table, in order, the value a keyword list.  Placed with `facts`.  Nothing when the file
// cannot be read, when a value is empty, or when the key list or a value does not fit.
std::optional<std::vector<ColumnDraft>> readIniColumns(const std::string& path,
                                                       const std::string& table,
                                                       const KeyAreaFacts& facts);

}  // namespace mdnio::catalog
