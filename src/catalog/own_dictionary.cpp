// A data file named as the dictionary: the dictionary it carries inside itself describes one
// table, the file itself.
#include "catalog/embedded.h"
#include "catalog/openfile.h"
#include "catalog/paths.h"
#include "catalog/readers.h"
#include "catalog/text.h"
#include "frame/frame.h"
#include "frame/handle.h"

namespace mdnio::catalog {

namespace {

constexpr size_t kTableNameSize = sizeof(MdkTableRecord::name);

// The file's own name, as the table's fileSpec: taken from the dictionary's directory, it names
// the file again.  Nothing when the fileSpec could not hold it unchanged (too long, or with the
// ';' or ',' that would split it into a data file and a column source).
std::optional<std::string_view> ownFileSpec(std::string_view dictionary) {
    size_t last = dictionary.find_last_of("/\\");
    std::string_view name =
        last == std::string_view::npos ? dictionary : dictionary.substr(last + 1);
    if (name.empty() || name.size() > kFileSpecPart) return std::nullopt;
    if (name.find_first_of(";,") != std::string_view::npos) return std::nullopt;
    return name;
}

// The table's name: the file's name without its extension ("stock" for "stock.dat").
std::string_view tableNameOf(std::string_view fileName) {
    size_t dot = fileName.find_last_of('.');
    if (dot != std::string_view::npos && dot > 0) fileName = fileName.substr(0, dot);
    return fileName;
}

}  // namespace

std::optional<std::vector<TableEntry>> readOwnDictionaryTables(MdkEnv* env,
                                                               const std::string& dictionary) {
    std::optional<std::string_view> fileSpec = ownFileSpec(dictionary);
    if (!fileSpec) return std::nullopt;
    std::string_view name = tableNameOf(*fileSpec);
    // A cut name would find the table by a name the file does not have.
    if (name.size() >= kTableNameSize) return std::nullopt;

    ReadOnlyFile file(env, dictionary);
    // Only a data file this library reads itself carries a dictionary of its own; a view or a
    // server's file is described by the side that serves it.
    if (!file.ok() || !readsRecordsItself(file.get())) return std::nullopt;
    std::vector<ColumnDraft> columns;
    if (readEmbeddedColumns(file.get(), columns) != EmbeddedResult::Ok || columns.empty())
        return std::nullopt;

    std::vector<TableEntry> tables(1);
    copyField(tables[0].record.name, name);
    copyField(tables[0].record.fileSpec, *fileSpec);
    return tables;
}

}  // namespace mdnio::catalog
