// Records as rows of text, in the three output formats, and the two input formats of `load`.
//
//   text   key, then each field, separated by tabs (a tab in the data is "\x09")
//   jsonl  one JSON object per line: {"key": "...", "fields": ["...", ...]}
//   csv    the key, then each field
//
// Every text is in the escaped form of mdk/escape.h; fields as mdk/fields.h splits them.  A
// jsonl row being loaded may give "data" (all the data bytes, escaped) instead of "fields".
#pragma once

#include <cstdio>
#include <functional>
#include <istream>
#include <optional>
#include <string>
#include <vector>

#include "mdk/fields.h"
#include "mdk/session.h"

namespace mdk {

enum class Format { Text, Jsonl, Csv };

// "text", "jsonl", "csv" (for the command-line options).
Format formatNamed(const std::string& name);

struct Row {
    std::string key;                  // escaped
    std::vector<std::string> fields;  // escaped
    std::optional<std::string> data;  // escaped; when set, `fields` is not used
};

Row rowOf(const Record& record, const FieldCodec& codec);

// The record a row stands for; throws EscapeError for malformed text.  Indexed files: the key
// is the record number, given with or without its leading zeros.
Record recordOf(const Row& row, const FieldCodec& codec, FileKind kind);

void writeRow(std::FILE* out, Format format, const Row& row);

// Reads rows of jsonl or csv, one a line; blank lines are passed over.
class RowReader {
  public:
    // Reads a line into a row instead of the forms above; nothing for a line that is no row
    // (a header), which is passed over.  Throws EscapeError for a line that is not right.
    using LineParser = std::function<std::optional<Row>(const std::string& line)>;

    RowReader(std::istream& in, Format format, LineParser parser = {})
        : in_(in), format_(format), parser_(std::move(parser)) {}

    // The next row, with its line number; false at the end of the input.  A line that is not a
    // row gives a row-less result with the reason in `error`.
    bool next(std::optional<Row>& row, std::string& error);

    long line() const { return line_; }
    long long bytesRead() const { return bytes_; }

  private:
    std::istream& in_;
    Format format_;
    LineParser parser_;
    long line_ = 0;
    long long bytes_ = 0;
};

}  // namespace mdk
