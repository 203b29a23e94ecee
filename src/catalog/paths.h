// File names in dictionaries.
//
// A table's fileSpec holds the data file's name, optionally followed by ';' or ',' and a column
// source (an .ini file).  Names in dictionaries may have been written on another system: '\'
// separates directories as well as '/', and is turned into '/' before a name is opened here.
// A relative name is taken from the directory of the dictionary.
#pragma once

#include <string>
#include <string_view>

namespace mdnio::catalog {

// Longest part of a fileSpec that is kept (a record field of 121 bytes).
inline constexpr size_t kFileSpecPart = 120;

struct FileSpec {
    std::string dataFile;
    std::string columnSource;  // empty when none
};

// Splits at the first ';' or ','; each part is cut to kFileSpecPart characters.
FileSpec splitFileSpec(std::string_view spec);

// The directory part of a dictionary name: the text before its last '/' or '\' (empty when
// there is none).
std::string_view dictionaryDirectory(std::string_view dictionary);

// Whether a name stands on its own: rooted ('/' or '\' first) or with a drive (':' second).
bool isRootedName(std::string_view name);

// The name under which the data file of a table is opened.  Remote ("[rmt:") and view names ('@'
// in the last part) are passed on as they are.
std::string dataFilePath(std::string_view dictionary, std::string_view dataFile);

// The .ini file to read columns from: the column source when it names an .ini file (a leading
// "./" or ".\" dropped, relative names taken from the dictionary's directory), otherwise the
// dictionary itself.
std::string columnSourcePath(std::string_view dictionary, std::string_view columnSource);

// Whether a name designates a file on a remote file server ("[rmt:" first, any case).
bool isRemoteName(std::string_view name);

// Whether a name designates an .ini file (".ini" anywhere, any case).
bool namesIniFile(std::string_view name);

}  // namespace mdnio::catalog
