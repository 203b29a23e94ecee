// Where a restricted read finds the current key of a handle: the one part of the restricted
// read that depends on the file kind.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame/handle.h"

namespace mdnio::filter {

// Both counts stay inside the kind's key buffer.
struct CurrentKey {
    const uint8_t* bytes = nullptr;
    size_t stored = 0;   // bytes of the key value held at `bytes`: what the range test compares
    int32_t length = 0;  // the key length the client is given, and the bytes it receives
};

// The current key of `file` after a read.  Raises 5 for a kind that has not said where its
// current key is kept.
CurrentKey currentKey(MdkFile* file);

}  // namespace mdnio::filter
