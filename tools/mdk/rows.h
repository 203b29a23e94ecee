// Records as rows of text, in the three output formats, and the two input formats of `load`.
//
//   text   key, then each field, separated by tabs (a tab in the data is "\x09")
//   jsonl  one JSON object per line: {"key": "...", "fields": ["...", ...]}
//   csv    the key, then each field
//
// Every text is in the encoding the field codec was given (mdk/encoding.h); fields as
// mdk/fields.h splits them.  A jsonl row being loaded may give "data" (all the data bytes, as
// text) instead of "fields".
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
    std::string key;                  // as text
    std::vector<std::string> fields;  // as text
    std::optional<std::string> data;  // as text; when set, `fields` is not used
};

// The codec of `file`'s fields for text in the encoding named `encoding`, read or written in
// `format`.  Throws Failure (usage) for an unknown encoding, and for jsonl in cp1252: JSON text
// is UTF-8.
FieldCodec textCodec(const OpenFile& file, const std::string& encoding, Format format);

Row rowOf(const Record& record, const FieldCodec& codec);

// The record a row stands for; throws EscapeError (or the EncodingError and SeparatorError
// derived from it) for text that cannot be stored.  Indexed files: the key is the record number,
// given with or without its leading zeros.
Record recordOf(const Row& row, const FieldCodec& codec, FileKind kind);

void writeRow(std::FILE* out, Format format, const Row& row);

// Reads rows of jsonl or csv, one a line; blank lines are passed over.
class RowReader {
  public:
    // `format`: jsonl or csv, or none: the first line that is not blank tells, a jsonl row being
    // a JSON object ("{" first).  `utf8`: a UTF-8 byte-order mark starting the input is a mark,
    // not text, and is passed over.
    RowReader(std::istream& in, std::optional<Format> format, bool utf8)
        : in_(in), format_(format), utf8_(utf8) {}

    // The format of the rows; reads ahead to the first line that is not blank when it was not
    // given (csv for an input without such a line).
    Format format();
    bool formatGiven() const { return given_; }

    // Reads a line into a row instead of the forms above; nothing for a line that is no row
    // (a header), which is passed over.  Throws EscapeError for a line that is not right.
    using LineParser = std::function<std::optional<Row>(const std::string& line)>;
    void parseWith(LineParser parser) { parser_ = std::move(parser); }

    // The next row, with its line number; false at the end of the input.  A line that is not a
    // row gives a row-less result with the reason in `error`.
    bool next(std::optional<Row>& row, std::string& error);

    // Whether the line `next` last gave no row for a value the file cannot hold (a character
    // Windows-1252 has no byte for, met by a parser that stores the values itself) rather than
    // for its form.
    bool refusedText() const { return refusedText_; }

    long line() const { return line_; }
    long long bytesRead() const { return bytes_; }

  private:
    bool nextLine(std::string& line);

    std::istream& in_;
    std::optional<Format> format_;
    bool given_ = format_.has_value();
    bool utf8_;
    std::optional<std::string> ahead_;  // the line read to tell the format
    LineParser parser_;
    bool refusedText_ = false;
    long line_ = 0;
    long long bytes_ = 0;
};

// The format an input file's name says: csv for ".csv", jsonl for ".jsonl", ".ndjson" and
// ".json"; none for other names.
std::optional<Format> formatOfName(const std::string& path);

}  // namespace mdk
