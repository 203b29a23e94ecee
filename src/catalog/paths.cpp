#include "catalog/paths.h"

#include <algorithm>

#include "catalog/text.h"
#include "open/resolve.h"

namespace mdnio::catalog {

namespace {

bool isSeparator(char c) {
    return c == '/' || c == '\\';
}

std::string withSlashes(std::string_view name) {
    std::string out(name);
    std::replace(out.begin(), out.end(), '\\', '/');
    return out;
}

std::string joined(std::string_view directory, std::string_view name) {
    if (directory.empty()) return withSlashes(name);
    std::string out(directory);
    out += '/';
    out += withSlashes(name);
    return out;
}

// A view is named by an "@" in the last part of the name; one in a directory part belongs to a
// local path.
bool isPassedOn(std::string_view name) {
    return isRemoteName(name) || mdnio::isViewName(withSlashes(name).c_str());
}

}  // namespace

FileSpec splitFileSpec(std::string_view fileSpec) {
    FileSpec out;
    size_t split = fileSpec.find_first_of(";,");
    std::string_view data = fileSpec.substr(0, split);
    out.dataFile.assign(data.substr(0, std::min(data.size(), kFileSpecPart)));
    if (split != std::string_view::npos) {
        std::string_view source = fileSpec.substr(split + 1);
        out.columnSource.assign(source.substr(0, std::min(source.size(), kFileSpecPart)));
    }
    return out;
}

std::string_view dictionaryDirectory(std::string_view dictionary) {
    size_t last = dictionary.find_last_of("/\\");
    if (last == std::string_view::npos) return {};
    // A dictionary in the root directory: its directory is the root itself.
    if (last == 0) return dictionary.substr(0, 1);
    return dictionary.substr(0, last);
}

bool isRootedName(std::string_view name) {
    return (!name.empty() && isSeparator(name[0])) || (name.size() >= 2 && name[1] == ':');
}

std::string dataFilePath(std::string_view dictionary, std::string_view dataFile) {
    if (isPassedOn(dataFile)) return std::string(dataFile);
    if (isRootedName(dataFile)) return withSlashes(dataFile);
    std::string_view directory = dictionaryDirectory(dictionary);
    if (directory == "/") return "/" + withSlashes(dataFile);
    return joined(directory, dataFile);
}

std::string columnSourcePath(std::string_view dictionary, std::string_view columnSource) {
    if (!namesIniFile(columnSource)) return std::string(dictionary);
    if (isRootedName(columnSource)) return withSlashes(columnSource);
    if (columnSource.size() >= 2 && columnSource[0] == '.' && isSeparator(columnSource[1]))
        columnSource.remove_prefix(2);
    std::string_view directory = dictionaryDirectory(dictionary);
    if (directory == "/") return "/" + withSlashes(columnSource);
    return joined(directory, columnSource);
}

bool isRemoteName(std::string_view name) {
    return name.size() >= 5 && equalNoCase(name, "[rmt:", 5);
}

bool namesIniFile(std::string_view name) {
    return containsNoCase(name, ".ini");
}

}  // namespace mdnio::catalog
