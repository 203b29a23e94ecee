// Integrity check of a classic keyed file.
//
// The verifier reads a file (and its segment files) without trusting any of it and lists every
// broken invariant it finds: header fields, the shape and order of every key tree, the records
// reached from key 0 and their entries in the other keys, the deleted-slot and free-block chains
// of slot mode, the allocation maps and data blocks of block mode, and the dictionary records.
// Every offset, length, count and chain is bounded, so a damaged file gives problems, never a
// crash or a hang.  The file is opened read-only and never changed.
//
// What cannot be seen from the file is not checked: in slot mode blocks and record slots share
// the file without a map, so only what the trees and chains reach is checked (and that none of
// it overlaps); in a key-only file (R = 0) the alternate keys are checked for shape and order
// only, as their entries carry no record to rebuild them from.  Data blocks of block mode may be
// marked full (0x81) or not whatever their free space: that depends on the fill threshold at
// the time of the last change.
#pragma once

#include <string>

#include "mdnio_devtools.h"

namespace mdnio::keyed {

// The verifier is the developer tools' (mdnio_devtools.h): its report, its options and its entry.
using devtools::KeyTreeShape;
using devtools::verifyClassicFile;
using devtools::VerifyOptions;
using devtools::VerifyReport;

}  // namespace mdnio::keyed
