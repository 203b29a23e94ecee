// Handing an opened file to the engine of its kind.  Engines register what recognises their
// files (the magic of a local file, or the form of the name) and their open routine; the open
// path asks the registered engines and knows none of them.
#pragma once

#include <array>
#include <cstdint>
#include <span>

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

// How a name designates a file of a kind.
enum class NameForm {
    Local,   // a file of this machine, recognised by the magic in its first 8 bytes
    Remote,  // "[rmt:server;port]file"
    View,    // an "@" in the last part of the name
};

constexpr size_t kMagicLength = 8;

struct EngineEntry {
    int32_t kind = 0;
    NameForm form = NameForm::Local;
    // Local kinds: the magics of their files, kMagicLength bytes each (null when unused).
    std::array<const char*, 2> magics{};
    // Null when this build recognises the kind but cannot open it (refused with 5).
    EngineOpen open = nullptr;
    bool takesPassword = false;  // the open receives the caller's password
};

// The engines this build carries, in the order they are asked; defined by the one place that
// knows them all.
std::span<const EngineEntry* const> builtinEngines();

// Adds an engine that is asked before the built-in ones (a test's kind), and takes it away.
void registerEngine(const EngineEntry* engine);
void unregisterEngine(const EngineEntry* engine);

// The engine whose local files begin with `magic` (kMagicLength bytes), of the kind `kind`,
// or of the name form `form`; null when none is registered.
const EngineEntry* engineForMagic(const char* magic);
const EngineEntry* engineForKind(int32_t kind);
const EngineEntry* engineForForm(NameForm form);

}  // namespace mdnio
