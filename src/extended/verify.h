// Integrity check of an extended keyed file (mdnio_devtools.h: verifyExtendedFile).
//
// The verifier reads a file without trusting any of it and lists every broken invariant it finds:
// the header and its region; the key-descriptor and dictionary chains both ways; both copies of
// every map block, typed and numbered as map blocks; the map's places, which must form a
// permutation with no entry at a map place or past the highest block; the usage byte of every
// number in use against its block's type and fill class; every key tree; the records reached from
// key 0 with their overflow parts and their entries in every key, rebuilt with the record serial
// as the suffix; the record count; unique serials; and what is in use but reached from nowhere
// (numbers, records, overflow parts) or reached but free.
//
// The directory's free bits and fill classes, and its changed bit, are hints that may be stale
// either way: they are not judged.  A data block's usage byte is: the engine sets it whenever it
// writes the block.  Keys are rebuilt from a record's first part, whose data the engine builds
// them from.  Every offset, length, count, link and chain is bounded, so a damaged file gives
// problems, never a crash or a hang.  The file is opened read-only and never changed.
#pragma once

#include "mdnio_devtools.h"

namespace mdnio::extended {

using devtools::verifyExtendedFile;
using devtools::VerifyOptions;
using devtools::VerifyReport;

}  // namespace mdnio::extended
