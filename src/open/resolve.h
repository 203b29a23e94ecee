// Turning a client's file name into a local path, a remote name or a view name, and opening
// local files far enough to learn their kind.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame/handle.h"
#include "open/dispatch.h"

namespace mdnio {

constexpr size_t kNameSize = 256;  // resolved names, with their terminator

// True when `name` begins with the remote prefix "[rmt:" in any case.
bool isRemoteName(const char* name);

// True when `name` names a view: its last part (after the last '/') holds an "@".  An "@" in a
// directory part is an ordinary character, so that files in such directories can be opened.
bool isViewName(const char* name);

// Resolves `name` and finds the registered engine of its kind (in *engineOut when given).
// Local kinds: answers the open descriptor, positioned at 0, with the kind found from the
// magic.  Views and remote names: answers 0 (nothing is opened).  Failure: -1 with the code in
// *errorOut (33, 1, 5, 43, 44).
int resolveName(MdkEnv* env, const char* name, int32_t flags, char* resolved, int32_t* kindOut,
                int32_t* readWriteOut, int32_t* errorOut, const EngineEntry** engineOut = nullptr);

// Builds the local path of `name`: itself when it begins with "/", else joined to the current
// directory.  False when the result does not fit in `size` bytes.
bool localPath(const char* name, char* out, size_t size);

}  // namespace mdnio
