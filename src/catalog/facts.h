// What the catalog reads from an open file: its header fields and its key layout, copied under
// the file lock so that a header re-read or a key drop in another thread cannot change them
// half-way.  This is the only place where the catalog looks inside an engine's blocks; a kind
// is described by adding its case here.
#pragma once

#include <optional>

#include "catalog/placement.h"
#include "common/keydesc.h"
#include "mdnio.h"

namespace mdnio::catalog {

// Fills `info` as MDDescribeFile answers for the file's kind.  False for kinds this build
// cannot describe (extended keyed files until their engine exists, views, remote files).
bool describeOpenFile(MdkFile* file, MdkFileInfo& info);

// The key layout of a keyed file; nothing for other kinds.
std::optional<common::KeyLayout> keyLayoutOf(MdkFile* file);

// The key-area facts .ini column placement needs; nothing for kinds without them.
std::optional<KeyAreaFacts> keyAreaFactsOf(MdkFile* file);

}  // namespace mdnio::catalog
