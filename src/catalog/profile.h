// Reading .ini dictionaries through the platform's private-profile reader, with the buffer
// sizes dictionaries are written for.  What does not fit its buffer is refused as a whole,
// never cut: a cut key list would drop tables or columns without a word, and a cut keyword
// list would lose keywords.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace mdnio::catalog {

// Key lists (each name and its terminator, and a final terminator) and table values.
inline constexpr size_t kListBuffer = 65504;
// Column keyword lists, with their terminator.
inline constexpr size_t kKeywordBuffer = 4096;

inline constexpr char kTablesSection[] = "*Tables*";

// The key names of `section`, in file order; nothing when the list does not fit kListBuffer.
std::optional<std::vector<std::string>> readProfileKeys(const std::string& path,
                                                        const std::string& section);

// The value of `key` ("" when absent); nothing when it does not fit `bufferSize` with its
// terminator.
std::optional<std::string> readProfileValue(const std::string& path, const std::string& section,
                                            const std::string& key, size_t bufferSize);

// Whether `path` names a file that can be read (the profile reader answers an empty list for
// a missing file and for an empty section alike).
bool profileReadable(const std::string& path);

}  // namespace mdnio::catalog
