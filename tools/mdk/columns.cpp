#include "mdk/columns.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <map>

#include "mdk/csv.h"
#include "mdk/encoding.h"
#include "mdk/escape.h"
#include "mdk/failure.h"

namespace mdk {

namespace {

constexpr int32_t kRightJustified = 16;  // MdkColumnRecord::columnFlags

bool oneOf(char c, std::string_view letters) {
    return c != '\0' && letters.find(c) != std::string_view::npos;
}

char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return asciiLower(x) == asciiLower(y);
           });
}

template <size_t N>
std::string text(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

// The key area's own name; a column called so in another case is still found by that case.
constexpr std::string_view kKeyName = "key";

}  // namespace

// ---- columns and tables -------------------------------------------------------------------------

bool Column::isNumericText() const {
    return type == 'N' && oneOf(storage, "DLZFPS");
}

Column columnOf(const MdkColumnRecord& r, bool iniDictionary) {
    Column c;
    c.name = printable(text(r.name));
    c.field = r.field;
    c.offset = std::max(r.offset, 0);
    c.length = std::max(r.length, 0);
    c.decimals = std::clamp(r.decimals, 0, 30);
    c.type = r.type > 0 && r.type < 256 ? static_cast<char>(r.type) : 'S';
    c.storage = r.storage > 0 && r.storage < 256 ? static_cast<char>(r.storage) : 'D';
    const bool delimited = oneOf(c.storage, "DLZ");
    const bool fixedLetter = iniDictionary ? !delimited : oneOf(c.storage, "FSPBCGI");
    c.stored = c.field >= 0 && (delimited || fixedLetter);
    c.fixed = c.stored && (c.field == 0 || fixedLetter);  // the key area has no separators
    c.rightJustified = (r.columnFlags & kRightJustified) != 0;
    if (r.padChar > 0 && r.padChar < 256) c.padChar = static_cast<char>(r.padChar);
    return c;
}

Table::Table(std::string name, std::vector<Column> columns)
    : name_(std::move(name)), columns_(std::move(columns)) {
    // A column ends where the next one of its field begins, a fixed one after its length.
    for (Column& c : columns_) {
        if (!c.stored) continue;
        lastField_ = std::max(lastField_, c.field);
        size_t limit = c.fixed ? static_cast<size_t>(c.length) : Column::kRestOfField;
        for (const Column& next : columns_) {
            if (next.stored && next.field == c.field && next.offset > c.offset) {
                limit = std::min(limit, static_cast<size_t>(next.offset - c.offset));
            }
        }
        c.limit = limit;
    }
}

const Column* Table::find(std::string_view name) const {
    const Column* found = nullptr;
    for (const Column& c : columns_) {
        if (!sameName(c.name, name)) continue;
        if (found) {
            throw Failure(fmt::format("table {} has two columns named {}", name_, c.name),
                          kExitUsage);
        }
        found = &c;
    }
    return found;
}

std::optional<FieldPlace> Table::place(std::string_view name) const {
    const Column* c = find(name);
    if (!c || !c->stored) return std::nullopt;
    const int32_t width = c->limit == Column::kRestOfField
                              ? 0
                              : static_cast<int32_t>(std::min<size_t>(c->limit, 0xFFFF));
    return FieldPlace{c->field, c->offset, width};
}

std::string Table::overlap() const {
    for (size_t i = 0; i < columns_.size(); ++i) {
        for (size_t j = i + 1; j < columns_.size(); ++j) {
            const Column& a = columns_[i];
            const Column& b = columns_[j];
            if (a.stored && b.stored && a.field == b.field && a.offset == b.offset) {
                return fmt::format("{} and {}", a.name, b.name);
            }
        }
    }
    return {};
}

// ---- the table the options name -----------------------------------------------------------------

void addTableOptions(CLI::App* command, TableChoice& choice, bool printsRecords) {
    command->add_option("--dict", choice.dictionary,
                        "name fields by the columns of a table of this dictionary (an .ini file, "
                        "a meridane.ddf, or a data file carrying its own dictionary)");
    command->add_option("--table", choice.table,
                        "the table (alone: of the data file's own dictionary, as mdk tables FILE "
                        "lists it)");
    if (printsRecords) {
        command
            ->add_option("--columns", choice.columns,
                         "print these columns only, in this order (key: the whole key area)")
            ->delimiter(',');
    }
}

namespace {

MdkCatalog* catalogOf(Environment& env) {
    MdkCatalog* catalog = MDRequestHandle(env.get());
    if (!catalog) throw Failure("no catalog handle: " + codeText(MDK_E_MEMORY));
    return catalog;
}

// The only table of `dictionary`; Failure when it lists none or several.
std::string onlyTable(MdkCatalog* catalog, const std::string& dictionary) {
    if (MDGetTables(catalog, dictionary.c_str(), nullptr, nullptr, 0, nullptr) != 1) {
        throw Failure(dictionary +
                      ": no tables: the dictionary cannot be read or is of no "
                      "known kind");
    }
    std::vector<std::string> names;
    MdkTableRecord t{};
    while (MDFetchTable(catalog, &t) == 1)
        names.push_back(text(t.name));
    if (names.size() == 1) return names[0];
    throw Failure(fmt::format("{} lists {} tables ({}): choose one with --table", dictionary,
                              names.size(), fmt::join(names, ", ")),
                  kExitUsage);
}

}  // namespace

std::optional<Table> chosenTable(Environment& env, const std::string& dataFile,
                                 const TableChoice& choice) {
    if (!choice.given()) {
        if (!choice.columns.empty()) {
            throw Failure("--columns names columns of a table: give --dict or --table", kExitUsage);
        }
        return std::nullopt;
    }
    const std::string dictionary = choice.dictionary.empty() ? dataFile : choice.dictionary;
    MdkCatalog* catalog = catalogOf(env);
    const std::string name = choice.table.empty() ? onlyTable(catalog, dictionary) : choice.table;
    if (MDGetColumns(catalog, dictionary.c_str(), nullptr, name.c_str(), nullptr, nullptr) != 1) {
        throw Failure(fmt::format(
            "{}: no columns for table {}: the table is not listed, or its data file or column "
            "source cannot be read (mdk tables {} lists the tables)",
            dictionary, name, dictionary));
    }
    std::string_view file = dictionary;
    file.remove_prefix(std::min(file.size(), file.find_last_of('/') + 1));
    std::string lower(file);
    std::transform(lower.begin(), lower.end(), lower.begin(), asciiLower);
    const bool ini = lower.find(".ini") != std::string::npos;
    std::vector<Column> columns;
    MdkColumnRecord r{};
    while (MDFetchColumn(catalog, &r) == 1)
        columns.push_back(columnOf(r, ini));
    return Table(name, std::move(columns));
}

// ---- values -------------------------------------------------------------------------------------

std::optional<std::vector<std::string>> fieldBytes(const Record& record, const FieldCodec& codec) {
    std::vector<std::string> fields{record.key};
    // Split as raw text, which every byte survives, whatever the encoding of the output.
    const FieldCodec raw(codec.separator(), Encoding::Raw);
    for (const std::string& escaped : raw.split(record.data)) {
        // Marks of a length prefix that is not the usual one, or of bytes that make no field.
        if (escaped.starts_with("\\p") || escaped.starts_with("\\R")) return std::nullopt;
        fields.push_back(unescape(escaped));
    }
    return fields;
}

std::string columnBytes(const Column& column, const std::vector<std::string>& fields) {
    if (!column.stored || static_cast<size_t>(column.field) >= fields.size()) return {};
    const std::string& field = fields[static_cast<size_t>(column.field)];
    const size_t offset = static_cast<size_t>(column.offset);
    if (offset >= field.size()) return {};
    return field.substr(offset, column.limit);
}

namespace {

// A value shorter than its column, filled to the column's width.
std::string filled(const Column& c, std::string value) {
    if (c.limit == Column::kRestOfField || value.size() >= c.limit) return value;
    const size_t missing = c.limit - value.size();
    if (c.rightJustified) return std::string(missing, c.padChar) + value;
    if (c.isNumericText()) return std::string(missing, '0') + value;
    return value + std::string(missing, ' ');
}

// The field `field` made of the values of its columns, in the order of their offsets.
std::string assembleField(std::vector<const ColumnValue*> values) {
    std::sort(values.begin(), values.end(), [](const ColumnValue* a, const ColumnValue* b) {
        return a->column->offset < b->column->offset;
    });
    std::string field;
    for (size_t i = 0; i < values.size(); ++i) {
        const Column& c = *values[i]->column;
        const std::string& value = values[i]->bytes;
        if (value.size() > c.limit) {
            throw EscapeError(fmt::format("{}: {} bytes, more than the {} the column holds", c.name,
                                          value.size(), c.limit));
        }
        const bool followed = std::any_of(values.begin() + static_cast<long>(i) + 1, values.end(),
                                          [](const ColumnValue* v) { return !v->bytes.empty(); });
        const size_t offset = static_cast<size_t>(c.offset);
        if (field.size() > offset) {
            throw EscapeError(fmt::format("{} shares its bytes with the column before it", c.name));
        }
        if (!followed && value.empty()) break;
        field.resize(offset, ' ');  // bytes that no column holds
        field += followed ? filled(c, value) : value;
    }
    return field;
}

}  // namespace

std::vector<std::string> assembleFields(const Table& table,
                                        const std::vector<ColumnValue>& values) {
    std::vector<ColumnValue> all = values;
    for (const Column& c : table.columns()) {  // the columns given no value are empty
        const bool given = std::any_of(values.begin(), values.end(),
                                       [&c](const ColumnValue& v) { return v.column == &c; });
        if (c.stored && !given) all.push_back({&c, {}});
    }
    std::vector<std::string> fields;
    for (int32_t f = 0; f <= table.lastField(); ++f) {
        std::vector<const ColumnValue*> inField;
        for (const ColumnValue& v : all) {
            if (v.column->stored && v.column->field == f) inField.push_back(&v);
        }
        fields.push_back(assembleField(std::move(inField)));
    }
    return fields;
}

// ---- typed numbers ------------------------------------------------------------------------------

namespace {

// The plain form of a number in `c`: its decimals, zero-filled to the width of a fixed column.
std::string numberText(const Column& c, std::string digits) {
    return c.fixed ? filled(c, std::move(digits)) : digits;
}

std::optional<double> parseDouble(std::string_view text) {
    double v = 0;
    const auto [end, ec] =
        std::from_chars(text.data(), text.data() + text.size(), v, std::chars_format::fixed);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return v;
}

std::optional<int64_t> parseInteger(std::string_view text) {
    int64_t v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return v;
}

// A double in `c`'s decimals, when that text stands for exactly the same number.
std::optional<std::string> exactDecimals(const Column& c, double v) {
    const std::string digits = fmt::format("{:.{}f}", v, c.decimals);
    const std::optional<double> back = parseDouble(digits);
    if (!back || *back != v) return std::nullopt;
    return digits;
}

}  // namespace

nlohmann::ordered_json typedValue(const Column& c, std::string_view bytes, Encoding encoding) {
    if (c.isNumericText()) {
        if (c.decimals == 0) {
            const std::optional<int64_t> n = parseInteger(bytes);
            if (n && numberText(c, fmt::format("{}", *n)) == bytes) return *n;
        } else {
            const std::optional<double> v = parseDouble(bytes);
            const std::optional<std::string> text = v ? exactDecimals(c, *v) : std::nullopt;
            if (text && numberText(c, *text) == bytes) return *v;
        }
    }
    return decodeText(bytes, encoding);
}

std::string valueBytes(const Column& c, const nlohmann::json& value, Encoding encoding) {
    if (value.is_string()) return encodeText(value.get<std::string>(), encoding);
    if (!value.is_number()) {
        throw EscapeError(fmt::format("{}: a value is a string or a number", c.name));
    }
    if (!c.isNumericText()) {
        throw EscapeError(
            fmt::format("{} is not a numeric column: give its value as a string", c.name));
    }
    if (value.is_number_integer()) {
        const std::string digits = value.is_number_unsigned()
                                       ? fmt::format("{}", value.get<uint64_t>())
                                       : fmt::format("{}", value.get<int64_t>());
        // Whole numbers are written with the column's decimals, without a detour through a
        // double that could not hold every digit.
        const std::string decimals =
            c.decimals > 0 ? "." + std::string(static_cast<size_t>(c.decimals), '0') : "";
        return numberText(c, digits + decimals);
    }
    const std::optional<std::string> text = exactDecimals(c, value.get<double>());
    if (!text) {
        throw EscapeError(fmt::format("{}: {} has more decimals than the {} the column holds",
                                      c.name, value.dump(), c.decimals));
    }
    return numberText(c, *text);
}

// ---- rows by name
// --------------------------------------------------------------------------------

namespace {

// What a name in a row stands for: the key area (null) or a stored column.  Nothing, with the
// reason, for a name that is neither.
std::optional<const Column*> target(const Table& table, std::string_view name, std::string& why) {
    if (name == kKeyName) return nullptr;
    const Column* c = table.find(name);
    if (!c) {
        why = fmt::format("{} is no column of table {}", escape(name), table.name());
        return std::nullopt;
    }
    if (!c->stored) {
        why = fmt::format("column {} of table {} is not held in the record", c->name, table.name());
        return std::nullopt;
    }
    return c;
}

const Column* targetOrRefuse(const Table& table, std::string_view name, const char* where) {
    std::string why;
    const std::optional<const Column*> t = target(table, name, why);
    if (!t) throw Failure(fmt::format("{}: {}", where, why), kExitUsage);
    return *t;
}

std::string nameOf(const Column* c) {
    return c ? c->name : std::string(kKeyName);
}

}  // namespace

RecordPrinter::RecordPrinter(const std::optional<Table>& table, const TableChoice& choice,
                             Format format, const FieldCodec& codec)
    : table_(table), format_(format), codec_(codec) {
    if (!table) return;
    for (const std::string& name : choice.columns)
        chosen_.push_back(targetOrRefuse(*table, name, "--columns"));
    if (!chosen_.empty()) return;
    everyColumn_ = true;
    chosen_.push_back(nullptr);
    for (const Column& c : table->columns()) {
        if (c.stored && !c.isKey()) chosen_.push_back(table->find(c.name));  // two of a name: no
    }
    const std::string shared = table->overlap();
    if (!shared.empty()) {
        throw Failure(fmt::format("columns {} of table {} begin at the same byte: choose the "
                                  "columns to print with --columns",
                                  shared, table->name()),
                      kExitUsage);
    }
}

void RecordPrinter::print(const Record& record) {
    if (table_) {
        printNamed(record);
    } else {
        writeRow(stdout, format_, rowOf(record, codec_));
    }
}

namespace {

// Why the data columns of `table` do not give back every byte of a record's data, or nothing.
std::string notHeldWhole(const Table& table, const std::vector<std::string>& fields) {
    std::vector<ColumnValue> values;
    for (const Column& c : table.columns()) {
        if (c.stored && !c.isKey()) values.push_back({&c, columnBytes(c, fields)});
    }
    const std::vector<std::string> again = assembleFields(table, values);
    if (again.size() != fields.size()) {
        return fmt::format("it has {} data fields, the columns describe {}", fields.size() - 1,
                           again.size() - 1);
    }
    for (size_t f = 1; f < fields.size(); ++f) {
        if (again[f] != fields[f]) return fmt::format("field {} holds bytes no column holds", f);
    }
    return {};
}

}  // namespace

void RecordPrinter::printNamed(const Record& record) {
    const Encoding encoding = codec_.encoding();
    const std::optional<std::vector<std::string>> fields = fieldBytes(record, codec_);
    std::string why = fields ? std::string() : "its data do not split into whole fields";
    if (fields && everyColumn_) why = notHeldWhole(*table_, *fields);
    if (!why.empty()) {
        ++notWhole_;
        fmt::print(stderr, "mdk: key \"{}\": not printed: {}\n", decodeText(record.key, encoding),
                   why);
        return;
    }
    if (!headerDone_ && format_ != Format::Jsonl) {
        std::vector<std::string> names;
        for (const Column* c : chosen_)
            names.push_back(nameOf(c));
        writeRow(stdout, format_, Row{names.front(), {names.begin() + 1, names.end()}, {}});
    }
    headerDone_ = true;
    if (format_ == Format::Jsonl) {
        nlohmann::ordered_json j;
        for (const Column* c : chosen_)
            j[nameOf(c)] = c ? typedValue(*c, columnBytes(*c, *fields), encoding)
                             : nlohmann::ordered_json(decodeText(record.key, encoding));
        fmt::print("{}\n", j.dump());
        return;
    }
    std::vector<std::string> values;
    for (const Column* c : chosen_)
        values.push_back(decodeText(c ? columnBytes(*c, *fields) : record.key, encoding));
    writeRow(stdout, format_, Row{values.front(), {values.begin() + 1, values.end()}, {}});
}

int RecordPrinter::finish() const {
    if (notWhole_ == 0) return kExitOk;
    fmt::print(stderr,
               "mdk: {} records not printed: the columns of table {} do not hold them whole "
               "(without --dict and --table every byte is printed)\n",
               notWhole_, table_->name());
    return kExitFailure;
}

std::optional<Row> NamedRowParser::operator()(const std::string& line) {
    if (format_ == Format::Jsonl) return jsonRow(line);
    if (headerRead_) return csvRow(line);
    readHeader(line);
    headerRead_ = true;
    return std::nullopt;
}

void NamedRowParser::readHeader(const std::string& line) {
    constexpr const char* kWhere =
        "the header line (with --dict or --table, csv input begins "
        "with a line naming its columns)";
    std::vector<std::string> names;
    try {
        names = csvValues(line);
    } catch (const EscapeError& e) {
        throw Failure(fmt::format("{}: {}", kWhere, e.what()), kExitUsage);
    }
    bool key = false, keyColumns = false;
    for (const std::string& name : names) {
        const Column* c = targetOrRefuse(*table_, name, kWhere);
        if (std::find(header_.begin(), header_.end(), c) != header_.end()) {
            throw Failure(fmt::format("{}: {} is named twice", kWhere, nameOf(c)), kExitUsage);
        }
        header_.push_back(c);
        (c ? keyColumns : key) |= !c || c->isKey();
    }
    if (key == keyColumns) {
        throw Failure(
            fmt::format("{}: it names {} key columns of table {} (give key or them)", kWhere,
                        key ? "both key and the" : "neither key nor the", table_->name()),
            kExitUsage);
    }
}

Row NamedRowParser::csvRow(const std::string& line) const {
    const std::vector<std::string> texts = csvValues(line);
    if (texts.size() != header_.size()) {
        throw EscapeError(fmt::format("the row has {} values, the header names {}", texts.size(),
                                      header_.size()));
    }
    std::optional<std::string> key;
    std::vector<ColumnValue> values;
    for (size_t i = 0; i < texts.size(); ++i) {
        if (header_[i]) {
            values.push_back({header_[i], encodeText(texts[i], encoding_)});
        } else {
            key = encodeText(texts[i], encoding_);
        }
    }
    return rowOf(std::move(key), values);
}

Row NamedRowParser::jsonRow(const std::string& line) const {
    const nlohmann::json j = nlohmann::json::parse(line);  // throws parse_error
    if (!j.is_object()) throw EscapeError("a row must be a JSON object");
    std::optional<std::string> key;
    std::vector<ColumnValue> values;
    for (const auto& [name, value] : j.items()) {
        std::string why;
        const std::optional<const Column*> c = target(*table_, name, why);
        if (!c) throw EscapeError(why);
        if (*c) {
            values.push_back({*c, valueBytes(**c, value, encoding_)});
        } else if (value.is_string()) {
            key = encodeText(value.get<std::string>(), encoding_);
        } else {
            throw EscapeError("\"key\" must be a string");
        }
    }
    return rowOf(std::move(key), values);
}

Row NamedRowParser::rowOf(std::optional<std::string> key,
                          const std::vector<ColumnValue>& values) const {
    const bool keyColumns = std::any_of(values.begin(), values.end(),
                                        [](const ColumnValue& v) { return v.column->isKey(); });
    if (key && keyColumns) throw EscapeError("the row gives both key and key columns");
    if (!key && !keyColumns) throw EscapeError("the row has no key (key or the key columns)");
    std::vector<std::string> fields = assembleFields(*table_, values);
    Row row;
    row.key = decodeText(key ? *key : fields.front(), encoding_);
    for (size_t f = 1; f < fields.size(); ++f)
        row.fields.push_back(decodeText(fields[f], encoding_));
    return row;
}

}  // namespace mdk
