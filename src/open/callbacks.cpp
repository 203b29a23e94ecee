// The listing callbacks a host program calls directly: directory search, file status and a
// command to the remote server.  No call frame: nothing here raises.
#include <cstring>
#include <string>

#include "frame/handle.h"
#include "open/resolve.h"

namespace mdnio {
namespace {

void copyName(char* out, const std::string& name) {
    if (!out) return;
    size_t n = name.size() < kNameSize - 1 ? name.size() : kNameSize - 1;
    std::memcpy(out, name.data(), n);
    out[n] = '\0';
}

intptr_t findFirst(MdkEnv*, const char* pattern, char* name) {
    // Remote patterns need a server session; this build has no remote transport.
    if (!pattern || isRemoteName(pattern)) return -1;
    std::string first;
    platform::DirSearch* search = platform::findFirst(pattern, &first);
    if (!search) return -1;
    copyName(name, first);
    return reinterpret_cast<intptr_t>(search);
}

int32_t findNext(MdkEnv*, intptr_t search, char* name) {
    if (search == 0 || search == -1) return 0;
    std::string next;
    if (!platform::findNext(reinterpret_cast<platform::DirSearch*>(search), &next)) return 0;
    copyName(name, next);
    return 1;
}

int32_t findClose(MdkEnv*, intptr_t search) {
    if (search == 0 || search == -1) return 0;
    platform::findClose(reinterpret_cast<platform::DirSearch*>(search));
    return 0;
}

int32_t fileMode(MdkEnv*, const char* name) {
    if (!name || isRemoteName(name)) return -1;
    char path[kNameSize];
    if (!localPath(name, path, sizeof path)) return -1;
    return platform::fileMode(path);
}

int32_t serverCommand(MdkEnv*, const char*, const char*, const char*, const char*, const char*,
                      const char*) {
    // A command goes to the environment's file server, which this build cannot reach.
    return -1;
}

}  // namespace
}  // namespace mdnio

extern "C" {
const MdkCallbacks mdk_callback = {
    mdnio::findFirst, mdnio::findNext, mdnio::findClose, mdnio::fileMode, mdnio::serverCommand,
};
}
