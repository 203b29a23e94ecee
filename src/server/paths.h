// Keeping the names a client asks for inside the served root.
#pragma once

#include <cstdint>
#include <string>

namespace mdnio::server {

// The canonical form of the root directory, or empty when it is not a directory.
std::string canonicalRoot(const std::string& root);

// The canonical path of `name` under `root` (canonical itself), when the name may be served:
// relative, without a ".." part, not a remote or view name, and not leading outside the root
// through a symbolic link.  Otherwise empty, with the code the open answers in *error (33 when
// nothing of that name exists, 1 when the name is refused).
std::string confinedPath(const std::string& root, const std::string& name, int32_t* error);

}  // namespace mdnio::server
