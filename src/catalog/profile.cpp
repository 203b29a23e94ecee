#include "catalog/profile.h"

#include <sys/stat.h>

#include "platform/platform.h"

namespace mdnio::catalog {

std::optional<std::vector<std::string>> readProfileKeys(const std::string& path,
                                                        const std::string& section) {
    // Two bytes more than the dictionary's buffer: the reader answers size - 2 for a list it had
    // to cut, so every answer up to kListBuffer - 1 is a whole list that fits kListBuffer.
    std::vector<char> buffer(kListBuffer + 2);
    size_t n = platform::profileString(section.c_str(), nullptr, "", buffer.data(), buffer.size(),
                                       path.c_str());
    if (n > kListBuffer - 1) return std::nullopt;
    std::vector<std::string> keys;
    size_t at = 0;
    while (at < n && buffer[at] != '\0') {
        std::string key(buffer.data() + at);
        at += key.size() + 1;
        keys.push_back(std::move(key));
    }
    return keys;
}

std::optional<std::string> readProfileValue(const std::string& path, const std::string& section,
                                            const std::string& key, size_t bufferSize) {
    // One byte more: a value that fills it did not fit `bufferSize` with its terminator.
    std::vector<char> buffer(bufferSize + 1);
    size_t n = platform::profileString(section.c_str(), key.c_str(), "", buffer.data(),
                                       buffer.size(), path.c_str());
    if (n > bufferSize - 1) return std::nullopt;
    return std::string(buffer.data(), n);
}

bool profileReadable(const std::string& path) {
    int32_t mode = platform::fileMode(path.c_str());
    return mode != -1 && S_ISREG(static_cast<mode_t>(mode));
}

}  // namespace mdnio::catalog
