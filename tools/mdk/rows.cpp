#include "mdk/rows.h"

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "mdk/csv.h"
#include "mdk/encoding.h"
#include "mdk/failure.h"

namespace mdk {

namespace {

Row jsonRow(const std::string& line) {
    const nlohmann::json j = nlohmann::json::parse(line);  // throws parse_error
    if (!j.is_object()) throw EscapeError("a row must be a JSON object");
    Row row;
    for (const auto& [name, value] : j.items()) {
        if (name == "key" && value.is_string()) {
            row.key = value.get<std::string>();
        } else if (name == "data" && value.is_string()) {
            row.data = value.get<std::string>();
        } else if (name == "fields" && value.is_array()) {
            for (const nlohmann::json& f : value) {
                if (!f.is_string()) throw EscapeError("\"fields\" must hold strings only");
                row.fields.push_back(f.get<std::string>());
            }
        } else {
            throw EscapeError(fmt::format(
                "unexpected member \"{}\" (a row has a string \"key\" and an array \"fields\" or "
                "a string \"data\")",
                name));
        }
    }
    if (!j.contains("key")) throw EscapeError("the row has no \"key\"");
    if (j.contains("data") && j.contains("fields")) {
        throw EscapeError("a row gives \"fields\" or \"data\", not both");
    }
    return row;
}

Row csvRow(const std::string& line) {
    std::vector<std::string> values = csvValues(line);
    Row row;
    row.key = std::move(values.front());
    row.fields.assign(std::make_move_iterator(values.begin() + 1),
                      std::make_move_iterator(values.end()));
    return row;
}

}  // namespace

Format formatNamed(const std::string& name) {
    if (name == "text") return Format::Text;
    if (name == "jsonl") return Format::Jsonl;
    if (name == "csv") return Format::Csv;
    throw Failure("unknown format " + name + ": text, jsonl or csv", kExitUsage);
}

FieldCodec textCodec(const OpenFile& file, const std::string& encoding, Format format) {
    const Encoding e = encodingNamed(encoding);
    if (format == Format::Jsonl && e == Encoding::Cp1252) {
        throw Failure("jsonl is UTF-8 text: --encoding cp1252 goes with csv or text", kExitUsage);
    }
    return FieldCodec(file.separator(), e);
}

Row rowOf(const Record& record, const FieldCodec& codec) {
    return Row{decodeText(record.key, codec.encoding()), codec.split(record.data), std::nullopt};
}

Record recordOf(const Row& row, const FieldCodec& codec, FileKind kind) {
    Record r;
    try {
        r.key = encodeText(row.key, codec.encoding());
    } catch (const EncodingError& e) {
        throw EncodingError(fmt::format("the key: {}", e.what()));
    }
    if (kind == FileKind::Indexed) {
        try {
            r.key = recordNumberKey(r.key);
        } catch (const Failure& f) {
            throw EscapeError(f.what());
        }
    }
    r.data = row.data ? encodeText(*row.data, codec.encoding()) : codec.join(row.fields);
    return r;
}

void writeRow(std::FILE* out, Format format, const Row& row) {
    switch (format) {
        case Format::Text: {
            std::string line = row.key;
            for (const std::string& f : row.fields)
                line += "\t" + f;
            fmt::print(out, "{}\n", line);
            break;
        }
        case Format::Jsonl: {
            nlohmann::ordered_json j;
            j["key"] = row.key;
            j["fields"] = row.fields;
            fmt::print(out, "{}\n", j.dump());
            break;
        }
        case Format::Csv: {
            std::vector<std::string> values{row.key};
            values.insert(values.end(), row.fields.begin(), row.fields.end());
            fmt::print(out, "{}\n", csvLine(values));
            break;
        }
    }
}

std::optional<Format> formatOfName(const std::string& path) {
    const size_t dot = path.rfind('.');
    const std::string extension = dot == std::string::npos ? "" : path.substr(dot);
    if (extension == ".csv") return Format::Csv;
    if (extension == ".jsonl" || extension == ".ndjson" || extension == ".json") {
        return Format::Jsonl;
    }
    return std::nullopt;
}

bool RowReader::nextLine(std::string& line) {
    if (ahead_) {
        line = std::move(*ahead_);
        ahead_.reset();
        return true;
    }
    for (;;) {
        if (!std::getline(in_, line)) return false;
        ++line_;
        bytes_ += static_cast<long long>(line.size()) + 1;
        if (line_ == 1 && utf8_ && line.starts_with("\xef\xbb\xbf")) line.erase(0, 3);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") != std::string::npos) return true;
    }
}

Format RowReader::format() {
    if (!format_) {
        std::string line;
        if (nextLine(line)) ahead_ = line;
        const size_t first = line.find_first_not_of(" \t");
        format_ = first != std::string::npos && line[first] == '{' ? Format::Jsonl : Format::Csv;
    }
    return *format_;
}

bool RowReader::next(std::optional<Row>& row, std::string& error) {
    const Format format = this->format();
    std::string line;
    if (!nextLine(line)) return false;
    row.reset();
    error.clear();
    refusedText_ = false;
    try {
        row = parser_ ? parser_(line) : format == Format::Csv ? csvRow(line) : jsonRow(line);
    } catch (const nlohmann::json::exception& e) {
        error = fmt::format("not a JSON row: {}", e.what());
    } catch (const EncodingError& e) {
        error = e.what();
        refusedText_ = true;
    } catch (const EscapeError& e) {
        error = e.what();
    }
    if (!row && error.empty()) return next(row, error);  // a header: passed over
    return true;
}

}  // namespace mdk
