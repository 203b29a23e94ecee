// Records by column name: the columns of a table of a dictionary, as the catalog lists them
// (MDGetColumns, MDFetchColumn), and the rows that name them.
//
// A column lies in field `field` of the record (0: the key area) from byte `offset` on.  A
// fixed-width column holds `length` bytes, a delimited one the rest of its field; either ends
// where the next column of its field begins.  Columns of storage the record does not hold (an
// embedded dictionary's elements of other storage letters) are listed but have no bytes.
//
// In rows, "key" names the whole key area and every other name a column, the case of its
// letters ignored.  A row printed by name holds "key" and every data column, in the table's
// order, unless --columns chose others; a record whose bytes those columns do not hold whole is
// not printed but reported, so that nothing is lost without a word.  In jsonl, a numeric column
// whose text is the plain form of its number (the column's decimals, zero-filled to the width of
// a fixed column) is a JSON number; any other value is text in the encoding of --encoding
// (mdk/encoding.h).  Loading takes the same forms back: a csv header naming "key" (or the key
// columns) and data columns in any order, or jsonl objects keyed by column name.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mdk/condition.h"
#include "mdk/encoding.h"
#include "mdk/rows.h"

namespace mdk {

struct Column {
    std::string name;
    int32_t field = 0;  // 0: the key area
    int32_t offset = 0;
    int32_t length = 0;
    int32_t decimals = 0;
    char type = 'S';
    char storage = 'D';
    bool fixed = false;  // holds `length` bytes; otherwise the rest of its field
    bool stored = true;  // false: described, but not held in the record
    bool rightJustified = false;
    char padChar = ' ';           // of a right-justified column
    size_t limit = kRestOfField;  // the bytes the column may hold (set by Table)

    static constexpr size_t kRestOfField = static_cast<size_t>(-1);
    bool isKey() const { return field == 0; }
    // A number written as text, which jsonl gives as a JSON number.
    bool isNumericText() const;
};

// A column as a catalog record describes it.  `iniDictionary`: the record comes from an .ini
// dictionary, where every storage letter but D, L and Z is fixed-width (an embedded dictionary
// does not hold the letters it does not know).
Column columnOf(const MdkColumnRecord& record, bool iniDictionary);

class Table {
  public:
    Table(std::string name, std::vector<Column> columns);

    const std::string& name() const { return name_; }
    const std::vector<Column>& columns() const { return columns_; }

    // The column called `name`, case ignored; null when none.  Throws Failure (usage) when two
    // columns have that name.
    const Column* find(std::string_view name) const;

    // Where --where finds a column (condition.h); nothing for a name that is no stored column.
    std::optional<FieldPlace> place(std::string_view name) const;

    // The highest data field a column lies in.
    int32_t lastField() const { return lastField_; }

    // "A and B" for the first two stored columns that share bytes of a field; empty when none.
    std::string overlap() const;

  private:
    std::string name_;
    std::vector<Column> columns_;
    int32_t lastField_ = 0;
};

// --dict DICT, --table NAME and (for commands that print records) --columns A,B.
struct TableChoice {
    std::string dictionary, table;
    std::vector<std::string> columns;
    bool given() const { return !dictionary.empty() || !table.empty(); }
};

void addTableOptions(CLI::App* command, TableChoice& choice, bool printsRecords);

// The table the options name: table --table of dictionary --dict (its only table when --table
// is not given), or with --table alone the data file's own dictionary.  Nothing when neither
// option is given.  Throws Failure when the dictionary or the table cannot be read.
std::optional<Table> chosenTable(Environment& env, const std::string& dataFile,
                                 const TableChoice& choice);

// ---- values ---------------------------------------------------------------------------------

// A record's fields: [0] the key area, then the data fields, as bytes.  Nothing when the data
// do not split into whole fields (a length-prefixed field cut short or with an unusual prefix).
std::optional<std::vector<std::string>> fieldBytes(const Record& record, const FieldCodec& codec);

// The bytes of `column` in `fields` (as fieldBytes gives them).
std::string columnBytes(const Column& column, const std::vector<std::string>& fields);

// The fields (0 the key area, 1 to table.lastField()) that values of columns make: each value
// at its column's offset, filled to the column's width when more follows in its field (strings
// with blanks after, right-justified columns with their pad character and numbers with zeros
// before).  A column without a value is empty.  Throws EscapeError for a value longer than its
// column holds.
struct ColumnValue {
    const Column* column;
    std::string bytes;
};
std::vector<std::string> assembleFields(const Table& table, const std::vector<ColumnValue>& values);

// The jsonl form of a column's bytes: a number when the bytes are the plain form of one,
// otherwise their text in `encoding`.
nlohmann::ordered_json typedValue(const Column& column, std::string_view bytes, Encoding encoding);

// The bytes a jsonl value stands for, a string being text in `encoding`.  Throws EscapeError for
// a number with more decimals than the column holds, a number for a column that is not numeric,
// or a value that is neither a number nor a string; EncodingError for a character the file
// cannot hold.
std::string valueBytes(const Column& column, const nlohmann::json& value, Encoding encoding);

// ---- printing and reading rows ----------------------------------------------------------------

// Prints the records of dump, scan and get: rows of fields (rows.h) without a table; with one,
// a line of names first (csv and text) and each record by the columns chosen.  Text is in the
// codec's encoding.
class RecordPrinter {
  public:
    RecordPrinter(const std::optional<Table>& table, const TableChoice& choice, Format format,
                  const FieldCodec& codec);

    void print(const Record& record);

    // kExitFailure when records were not printed because the columns do not hold them whole
    // (said on standard error, with the count), kExitOk otherwise.
    int finish() const;

  private:
    void printNamed(const Record& record);

    const std::optional<Table>& table_;
    Format format_;
    const FieldCodec& codec_;
    std::vector<const Column*> chosen_;  // null: "key"
    bool everyColumn_ = false;           // the default choice, checked for records held whole
    bool headerDone_ = false;
    long notWhole_ = 0;
};

// The row parser of load (RowReader's hook) for a table: the header line of csv input (answers
// nothing for it), then rows of values; or jsonl objects keyed by column name.  Values are text
// in `encoding`, and so is the row made of them.  Throws Failure (usage) for a header naming
// what is no column; EscapeError for a row that is not right, EncodingError for a value with a
// character the file cannot hold.
class NamedRowParser {
  public:
    NamedRowParser(const Table& table, Format format, Encoding encoding)
        : table_(&table), format_(format), encoding_(encoding) {}
    std::optional<Row> operator()(const std::string& line);

  private:
    void readHeader(const std::string& line);
    Row rowOf(std::optional<std::string> key, const std::vector<ColumnValue>& values) const;
    Row csvRow(const std::string& line) const;
    Row jsonRow(const std::string& line) const;

    const Table* table_;
    Format format_;
    Encoding encoding_;
    bool headerRead_ = false;
    std::vector<const Column*> header_;  // null: "key"
};

}  // namespace mdk
