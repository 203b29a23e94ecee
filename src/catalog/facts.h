// What the catalog asks of an open file: its description and its key layout, taken from the
// kind's operation table under the file lock, so that a header re-read or a key drop in another
// thread cannot change them half-way.
#pragma once

#include <optional>

#include "catalog/placement.h"
#include "common/keydesc.h"
#include "frame/handle.h"

namespace mdnio::catalog {

// Fills `info` as MDDescribeFile answers for the file's kind.  False for kinds that give no
// description.
bool describeOpenFile(MdkFile* file, MdkFileInfo& info);

// The shape of the file's keys, with the key descriptions in `layout` for KeyShape::Layout.
KeyShape keyLayoutOf(MdkFile* file, common::KeyLayout& layout);

// The key-area facts .ini column placement needs; nothing for kinds without them.
std::optional<KeyAreaFacts> keyAreaFactsOf(MdkFile* file);

}  // namespace mdnio::catalog
