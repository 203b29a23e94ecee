// `mdk dump --salvage`: every record that can still be read from a damaged file, in the order
// the records lie in the file, without the key trees.
//
//   block mode   the library's physical-order walk, which goes on past a block it cannot read
//   slot mode    every record slot from the first to the end of the file, read by its address
//                (blocks, which share the file with the slots, are passed over)
//   indexed      every record number the file holds
//
// Each place that cannot be read (a block, a record, the part of the file after a header field
// that says less than the file holds) is counted and told on standard error; the walk never
// comes back to a place, and it is bounded by the file's real size, not by its header.  The
// rows are written as `dump` writes them, so that `load` takes them into a new file.
#pragma once

#include <string>

#include "mdk/rows.h"

namespace mdk {

// Writes the rows to standard output and ends with "FILE: salvaged N records, skipped M places"
// on standard error.  Answers kExitOk when no place was skipped, kExitFailure when one was.
// Throws Failure when the file cannot be opened or is of a kind that cannot be salvaged.
// `encoding`: as --encoding names it.
int salvage(const std::string& path, Format format, const std::string& encoding);

}  // namespace mdk
