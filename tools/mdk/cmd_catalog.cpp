// mdk tables and mdk columns: the catalog of a dictionary (an .ini file, a meridane.ddf keyed
// dictionary file, or the dictionary a data file carries), as MDGetTables/MDFetchTable and
// MDGetColumns/MDFetchColumn list it.
#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>

#include "mdk/commands.h"
#include "mdk/escape.h"
#include "mdk/failure.h"
#include "mdk/session.h"

namespace mdk {

namespace {

using nlohmann::ordered_json;

struct Options {
    std::string dictionary, table;
    bool json = false;
};

// A zero-terminated text field of a catalog record, cut at its size if the zero is missing.
template <size_t N>
std::string text(const char (&field)[N]) {
    return printable(std::string(field, strnlen(field, N)));
}

std::string letter(int32_t value) {
    return value > 0 && value < 256 ? printable(std::string(1, static_cast<char>(value))) : "";
}

MdkCatalog* catalogOf(Environment& env) {
    MdkCatalog* catalog = MDRequestHandle(env.get());
    if (!catalog) throw Failure("no catalog handle: " + codeText(MDK_E_MEMORY));
    return catalog;
}

// The library tells a dictionary's kind by its name: ".ini" or "meridane.ddf" in it, in any
// case.
bool namesDictionary(std::string name) {
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return name.find(".ini") != std::string::npos || name.find("meridane.ddf") != std::string::npos;
}

// Why a name that is not named as a dictionary lists no tables: it is no data file carrying its
// own dictionary either.  The columns of a data file's table are then the keyed dictionary's to
// list.
[[noreturn]] void notADictionary(const std::string& name) {
    const std::filesystem::path ddf = std::filesystem::path(name).parent_path() / "meridane.ddf";
    const bool nearby = std::filesystem::exists(ddf);
    throw Failure(fmt::format(
        "{}: no tables: a dictionary is an .ini file or a meridane.ddf keyed file, told by its "
        "name, or a data file that carries its own dictionary, which lists itself as one table; "
        "this is none of them (a data file whose dictionary describes no column, or whose name "
        "is too long for a table's, lists none): the columns of such a data file's table are "
        "those "
        "\"mdk columns {} TABLE\" lists through the keyed dictionary that names the table",
        name, nearby ? ddf.string() : "DICT"));
}

int runTables(const Options& o) {
    waitForFile(o.dictionary);
    Environment env;
    MdkCatalog* catalog = catalogOf(env);
    if (MDGetTables(catalog, o.dictionary.c_str(), nullptr, nullptr, 0, nullptr) != 1) {
        if (!namesDictionary(o.dictionary)) notADictionary(o.dictionary);
        throw Failure(o.dictionary +
                      ": no tables: the dictionary cannot be read, has no tables or breaks a "
                      "limit");
    }
    ordered_json all = ordered_json::array();
    MdkTableRecord t{};
    while (MDFetchTable(catalog, &t) == 1) {
        ordered_json j;
        j["name"] = text(t.name);
        j["fileSpec"] = text(t.fileSpec);
        j["text4"] = text(t.text4);
        j["text7"] = text(t.text7);
        j["text8"] = text(t.text8);
        j["text12"] = text(t.text12);
        if (t.separator) j["separator"] = t.separator;
        all.push_back(j);
    }
    if (o.json) {
        fmt::print("{}\n", all.dump(2));
        return kExitOk;
    }
    for (const ordered_json& j : all) {
        std::string extra;
        for (const char* name : {"text4", "text7", "text8", "text12"}) {
            const std::string v = j[name].get<std::string>();
            if (!v.empty()) extra += fmt::format("  {}={}", name, v);
        }
        fmt::print("{:<20} {}{}\n", j["name"].get<std::string>(), j["fileSpec"].get<std::string>(),
                   extra);
    }
    return kExitOk;
}

ordered_json columnJson(const MdkColumnRecord& c) {
    ordered_json j;
    j["name"] = text(c.name);
    j["type"] = letter(c.type);
    j["storage"] = letter(c.storage);
    j["length"] = c.length;
    j["decimals"] = c.decimals;
    j["field"] = c.field;
    j["offset"] = c.offset;
    j["format"] = text(c.format);
    j["class"] = text(c.class_);
    j["item4"] = text(c.item4);
    j["mustBe"] = text(c.mustBe);
    j["mustBeOp"] = letter(c.mustBeOp);
    j["recType"] = text(c.recType);
    j["sameAs"] = text(c.sameAs);
    j["columnFlags"] = c.columnFlags;
    j["padChar"] = c.padChar;
    j["fieldSeparator"] = c.fieldSeparator;
    return j;
}

// The column's flags and optional texts, as words.
std::string columnNotes(const MdkColumnRecord& c) {
    std::string notes;
    if (c.columnFlags & 1) notes += " hide";
    if (c.columnFlags & 8) notes += " noshow";
    if (c.columnFlags & 2) notes += " *rectype";
    if (c.columnFlags & 16) notes += fmt::format(" right-justified(pad {})", c.padChar);
    auto add = [&notes](const char* name, const std::string& v) {
        if (!v.empty()) notes += fmt::format(" {}={}", name, v);
    };
    add("format", text(c.format));
    add("class", text(c.class_));
    add("mustbe", text(c.mustBe).empty() ? "" : letter(c.mustBeOp) + text(c.mustBe));
    add("rectype", text(c.recType));
    add("sameas", text(c.sameAs));
    if (c.fieldSeparator) notes += fmt::format(" separator={}", c.fieldSeparator);
    return notes;
}

int runColumns(const Options& o) {
    waitForFile(o.dictionary);
    Environment env;
    MdkCatalog* catalog = catalogOf(env);
    if (MDGetColumns(catalog, o.dictionary.c_str(), nullptr, o.table.c_str(), nullptr, nullptr) !=
        1) {
        throw Failure(fmt::format(
            "{}: no columns for table {}: the table is not listed, or its data file or column "
            "source cannot be read",
            o.dictionary, o.table));
    }
    ordered_json all = ordered_json::array();
    MdkColumnRecord c{};
    if (!o.json) {
        fmt::print("{:<20} {:>4} {:>4} {:>7} {:>5} {:>6}  {}\n", "column", "type", "stor", "length",
                   "field", "offset", "notes (field 0: the key area)");
    }
    while (MDFetchColumn(catalog, &c) == 1) {
        if (o.json) {
            all.push_back(columnJson(c));
            continue;
        }
        const std::string length =
            c.decimals ? fmt::format("{}.{}", c.length, c.decimals) : fmt::format("{}", c.length);
        fmt::print("{:<20} {:>4} {:>4} {:>7} {:>5} {:>6} {}\n", text(c.name), letter(c.type),
                   letter(c.storage), length, c.field, c.offset, columnNotes(c));
    }
    if (o.json) fmt::print("{}\n", all.dump(2));
    return kExitOk;
}

}  // namespace

void addTables(CLI::App& app, int& status) {
    auto o = std::make_shared<Options>();
    CLI::App* command = app.add_subcommand(
        "tables",
        "list the tables of a dictionary: an .ini file, a meridane.ddf keyed file, or a data "
        "file that carries its own dictionary (one table, itself, named after the file; a data "
        "file without one lists none: see columns)");
    command->add_option("DICT", o->dictionary, "the dictionary")->required();
    command->add_flag("--json", o->json, "print JSON");
    command->footer(examples(
        {"mdk tables sales.ini", "mdk tables data/meridane.ddf --json", "mdk tables stock.dat"}));
    command->callback([o, &status] { status = runTables(*o); });
}

void addColumns(CLI::App& app, int& status) {
    auto o = std::make_shared<Options>();
    CLI::App* command = app.add_subcommand(
        "columns",
        "list the columns of a table of a dictionary: from the .ini file or its column "
        "source, or, for a table of a meridane.ddf or of a data file that carries its own "
        "dictionary, from the dictionary the data file carries");
    command->add_option("DICT", o->dictionary, "the dictionary")->required();
    command->add_option("TABLE", o->table, "the table, in any case")->required();
    command->add_flag("--json", o->json, "print JSON");
    command->footer(
        examples({"mdk columns sales.ini CUSTOMERS", "mdk columns data/meridane.ddf stock --json",
                  "mdk columns stock.dat stock"}));
    command->callback([o, &status] { status = runColumns(*o); });
}

}  // namespace mdk
