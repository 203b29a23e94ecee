// Handing an opened file to the engine of its kind.
#pragma once

#include <cstdint>

#include "frame/handle.h"

namespace mdnio {

// What every engine's open receives.  For local kinds `fd` is the open descriptor, positioned
// at 0; an engine that fails after receiving it closes it.
struct OpenRequest {
    MdkEnv* env;
    const char* name;  // resolved name (local path, or the file name on the server)
    int fd;
    const char* password;
    int32_t passwordLength;
    int32_t flags;
    int32_t readWrite;  // 1 when opened (or to be opened) for reading and writing
    int32_t skipKeys;   // extended keyed files: do not load key descriptions
    int32_t* errorOut;
};

using EngineOpen = MdkFile* (*)(const OpenRequest& request);

// The open routine of a kind, or null when this build has no engine for it.
EngineOpen engineFor(int32_t kind);

}  // namespace mdnio
