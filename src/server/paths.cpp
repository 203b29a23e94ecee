#include "server/paths.h"

#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string_view>

#include "mdnio.h"

namespace mdnio::server {

namespace {

std::string realPath(const std::string& path) {
    char out[PATH_MAX];
    return ::realpath(path.c_str(), out) ? std::string(out) : std::string();
}

bool hasParentPart(std::string_view name) {
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string_view::npos) end = name.size();
        if (name.substr(start, end - start) == "..") return true;
        start = end + 1;
    }
    return false;
}

bool hasRemotePrefix(std::string_view name) {
    constexpr std::string_view kPrefix = "[rmt:";
    for (size_t at = 0; at + kPrefix.size() <= name.size(); ++at) {
        if (strncasecmp(name.data() + at, kPrefix.data(), kPrefix.size()) == 0) return true;
    }
    return false;
}

// Names a client may never ask for, whatever the files under the root.
bool refusedName(std::string_view name) {
    return name.empty() || name.front() == '/' || name.find('\0') != std::string_view::npos ||
           name.find('@') != std::string_view::npos || hasParentPart(name) || hasRemotePrefix(name);
}

}  // namespace

std::string canonicalRoot(const std::string& root) {
    std::string canonical = realPath(root);
    struct stat st;
    if (canonical.empty() || ::stat(canonical.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return {};
    return canonical;
}

std::string confinedPath(const std::string& root, const std::string& name, int32_t* error) {
    *error = MDK_E_OPEN;
    if (refusedName(name)) return {};
    errno = 0;
    std::string path = realPath(root + "/" + name);
    if (path.empty()) {
        if (errno == ENOENT) *error = MDK_E_NOFILE;
        return {};
    }
    // Symbolic links are followed: what they lead to must still lie under the root.
    if (path.size() <= root.size() || path.compare(0, root.size(), root) != 0 ||
        (root != "/" && path[root.size()] != '/'))
        return {};
    *error = 0;
    return path;
}

}  // namespace mdnio::server
