// What the classic engine tells the rest of the library about an open file, through the slots
// of its operation table after the exported operations.
#pragma once

#include "frame/handle.h"

namespace mdnio::keyed {

// The value at the position in the handle's key buffer (length byte, then the value, suffix
// included); the length handed out is the current key's, without the suffix.
CurrentKey currentKeyOf(MdkFile* f);

// MDDescribeFile from the header copy and the key layout.
void describeFile(MdkFile* f, MdkFileInfo* info);

// The key descriptions of the file.
KeyShape keyLayoutOf(MdkFile* f, common::KeyLayout* out);

}  // namespace mdnio::keyed
