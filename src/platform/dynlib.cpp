// Dynamic libraries.
#include <dlfcn.h>

#include "platform/platform.h"

namespace mdnio::platform {

// RTLD_NOW: a library with a missing symbol fails here, not at its first call.
// RTLD_LOCAL: its symbols do not become visible to libraries loaded after it.
void* loadLibrary(const char* path) {
    return path ? dlopen(path, RTLD_NOW | RTLD_LOCAL) : nullptr;
}

void* findSymbol(void* library, const char* name) {
    return library && name ? dlsym(library, name) : nullptr;
}

void freeLibrary(void* library) {
    if (library) dlclose(library);
}

}  // namespace mdnio::platform
