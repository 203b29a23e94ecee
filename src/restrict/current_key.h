// Where a restricted read finds the current key of a handle: the one part of the restricted
// read that depends on the file kind, answered by the kind's operation table.
#pragma once

#include "frame/handle.h"

namespace mdnio::filter {

// The current key of `file` after a read.  Raises 5 for a kind that has not said where its
// current key is kept.
CurrentKey currentKey(MdkFile* file);

}  // namespace mdnio::filter
