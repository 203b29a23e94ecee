#include "catalog/listing.h"

#include <optional>
#include <string>
#include <string_view>

#include "catalog/embedded.h"
#include "catalog/facts.h"
#include "catalog/openfile.h"
#include "catalog/paths.h"
#include "catalog/readers.h"
#include "catalog/text.h"
#include "frame/frame.h"

namespace mdnio::catalog {

namespace {

constexpr size_t kTableNameCompared = 64;

std::string_view orEmpty(const char* text) {
    return text ? std::string_view(text) : std::string_view();
}

std::optional<std::vector<TableEntry>> readTables(MdkEnv* env, const std::string& dictionary) {
    switch (dictionaryKind(dictionary)) {
        case DictionaryKind::Ini:
            return readIniTables(dictionary);
        case DictionaryKind::KeyedFile:
            return readKeyedFileTables(env, dictionary);
        case DictionaryKind::None:
            break;
    }
    return readOwnDictionaryTables(env, dictionary);
}

// The table named `name` (case ignored); when `fileSpec` is given it replaces the table's own
// first.  Nothing when the list has no such table.
std::optional<TableEntry> findTable(MdkCatalog* handle, std::string_view name,
                                    std::string_view fileSpec) {
    EnvLockHold lock(handle->env);
    for (TableEntry& t : handle->tables) {
        if (!equalNoCase(fieldText(t.record.name), name, kTableNameCompared)) continue;
        if (!fileSpec.empty()) copyField(t.record.fileSpec, fileSpec);
        return t;
    }
    return std::nullopt;
}

std::optional<std::vector<ColumnDraft>> readColumns(const std::string& dictionary,
                                                    const TableEntry& table, MdkFile* data) {
    FileSpec parts = splitFileSpec(fieldText(table.record.fileSpec));
    if (dictionaryKind(dictionary) == DictionaryKind::Ini && !data->ops->ownColumns) {
        std::optional<KeyAreaFacts> facts = keyAreaFactsOf(data);
        if (!facts) return std::nullopt;
        return readIniColumns(columnSourcePath(dictionary, parts.columnSource),
                              std::string(fieldText(table.record.name)), *facts);
    }
    std::vector<ColumnDraft> columns;
    if (readEmbeddedColumns(data, columns) != EmbeddedResult::Ok) return std::nullopt;
    return columns;
}

}  // namespace

int32_t getTables(MdkCatalog* handle, const char* dictionaryName, const char* qualifier,
                  const char* tableName, int32_t* countOut) {
    std::string_view given = orEmpty(dictionaryName);
    // The server's dictionaries are listed by the remote client, which this build has not.
    if (isRemoteName(given)) return 0;
    // A name the handle could not keep whole could not be used again by MDGetColumns.
    if (given.size() >= kNameArgSize) return 0;
    std::string dictionary;
    {
        EnvLockHold lock(handle->env);
        if (dictionaryName) copyField(handle->dictionaryName, given);
        if (qualifier) copyField(handle->qualifier, qualifier);
        if (tableName) copyField(handle->tableNameArg, tableName);
        dictionary = fieldText(handle->dictionaryName);
    }
    installTables(handle, {}, 0);

    std::optional<std::vector<TableEntry>> tables = readTables(handle->env, dictionary);
    if (!tables) return 0;
    int32_t count = static_cast<int32_t>(tables->size());
    installTables(handle, std::move(*tables), count);
    if (countOut) *countOut = count;
    return 1;
}

int32_t getColumns(MdkCatalog* handle, const char* dictionaryName, const char* qualifier,
                   const char* tableName, const char* fileSpec, int32_t* countOut) {
    // The columns of a server's dictionaries are listed by the remote client, which this build
    // has not.
    if (isRemoteName(orEmpty(dictionaryName))) return 0;
    if (dictionaryName && *dictionaryName &&
        !getTables(handle, dictionaryName, qualifier, tableName, nullptr))
        return 0;
    if (!tableName) return 0;
    std::optional<TableEntry> table = findTable(handle, tableName, orEmpty(fileSpec));
    if (!table) return 0;
    std::string dictionary;
    {
        EnvLockHold lock(handle->env);
        dictionary = fieldText(handle->dictionaryName);
    }
    installColumns(handle, {});

    FileSpec parts = splitFileSpec(fieldText(table->record.fileSpec));
    ReadOnlyFile data(handle->env, dataFilePath(dictionary, parts.dataFile));
    if (!data.ok()) return 0;
    std::optional<std::vector<ColumnDraft>> drafts = readColumns(dictionary, *table, data.get());
    if (!drafts) return 0;

    std::vector<ColumnEntry> columns(drafts->size());
    for (size_t i = 0; i < drafts->size(); ++i)
        columns[i].record = (*drafts)[i].record;
    int32_t count = static_cast<int32_t>(columns.size());
    installColumns(handle, std::move(columns));
    if (countOut) *countOut = count;
    return 1;
}

}  // namespace mdnio::catalog
