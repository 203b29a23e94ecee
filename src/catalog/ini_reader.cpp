// Tables and columns from .ini dictionaries.
#include "catalog/keywords.h"
#include "catalog/profile.h"
#include "catalog/readers.h"
#include "catalog/text.h"

namespace mdnio::catalog {

DictionaryKind dictionaryKind(const std::string& name) {
    // The file's own name decides, not the directories it lies in ("/etc/app.ini.d/...").
    std::string_view file = name;
    size_t last = file.find_last_of("/\\");
    if (last != std::string_view::npos) file.remove_prefix(last + 1);
    if (containsNoCase(file, ".ini")) return DictionaryKind::Ini;
    if (containsNoCase(file, "meridane.ddf")) return DictionaryKind::KeyedFile;
    return DictionaryKind::None;
}

std::optional<std::vector<TableEntry>> readIniTables(const std::string& dictionary) {
    std::optional<std::vector<std::string>> names = readProfileKeys(dictionary, kTablesSection);
    if (!names || names->empty()) return std::nullopt;
    std::vector<TableEntry> tables;
    for (const std::string& name : *names) {
        std::optional<std::string> value =
            readProfileValue(dictionary, kTablesSection, name, kListBuffer);
        if (!value || value->empty()) return std::nullopt;
        TableEntry& t = tables.emplace_back();
        copyField(t.record.name, name);
        copyField(t.record.fileSpec, *value);
    }
    return tables;
}

std::optional<std::vector<ColumnDraft>> readIniColumns(const std::string& path,
                                                       const std::string& table,
                                                       const KeyAreaFacts& facts) {
    if (!profileReadable(path)) return std::nullopt;
    std::optional<std::vector<std::string>> names = readProfileKeys(path, table);
    if (!names) return std::nullopt;
    std::vector<ColumnDraft> columns;
    for (const std::string& name : *names) {
        std::optional<std::string> list = readProfileValue(path, table, name, kKeywordBuffer);
        if (!list || list->empty()) return std::nullopt;
        ColumnDraft& c = columns.emplace_back();
        copyField(c.record.name, name);
        applyKeywords(*list, c);
    }
    placeIniColumns(columns, facts);
    return columns;
}

}  // namespace mdnio::catalog
