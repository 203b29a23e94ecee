#include "mdk/rows.h"

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "mdk/csv.h"
#include "mdk/escape.h"
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

Row rowOf(const Record& record, const FieldCodec& codec) {
    return Row{escape(record.key), codec.split(record.data), std::nullopt};
}

Record recordOf(const Row& row, const FieldCodec& codec, FileKind kind) {
    Record r;
    r.key = unescape(row.key);
    if (kind == FileKind::Indexed) {
        try {
            r.key = recordNumberKey(r.key);
        } catch (const Failure& f) {
            throw EscapeError(f.what());
        }
    }
    r.data = row.data ? unescape(*row.data) : codec.join(row.fields);
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

bool RowReader::next(std::optional<Row>& row, std::string& error) {
    std::string line;
    for (;;) {
        if (!std::getline(in_, line)) return false;
        ++line_;
        bytes_ += static_cast<long long>(line.size()) + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") != std::string::npos) break;
    }
    row.reset();
    error.clear();
    try {
        row = parser_ ? parser_(line) : format_ == Format::Csv ? csvRow(line) : jsonRow(line);
    } catch (const nlohmann::json::exception& e) {
        error = fmt::format("not a JSON row: {}", e.what());
    } catch (const EscapeError& e) {
        error = e.what();
    }
    if (!row && error.empty()) return next(row, error);  // a header: passed over
    return true;
}

}  // namespace mdk
