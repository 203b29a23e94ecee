// The restricted read shared by the kinds whose records the library reads itself (slot 18 of
// their operation tables): classic keyed and indexed files now, extended keyed files and
// remote files held in memory when they come.  It reads through the exported read, so each
// read takes and gives back the engine's locks by itself, and skips the records that lie
// outside the key range or fail the handle's restrict program without handing them out.
#pragma once

#include <cstdint>

#include "frame/handle.h"

namespace mdnio::filter {

// Mode bits of the restricted reads.
constexpr int32_t kModeNoFilter = 1;  // switches the program and the key range off
constexpr int32_t kModeFilter = 2;    // applies the program and the key range
constexpr int32_t kEndOfRange = -4;   // the answer at the end of the range or of the file

// The next record from `option` on (the first read uses `option`, later ones read the next
// record) that lies inside the key range and satisfies the program, when the mode asks for
// filtering and the handle has a program of its own.  Answers what the read of that record
// answered (its length, or -2 when it did not fit the buffer), kEndOfRange, or -1 with the
// read's code.  Raises 48 for a field a record does not have, 34 for an unknown operator, 7
// for a key range without end key.
int32_t restrictedRead(MdkFile* file, void* buffer, int32_t bufferLength, int32_t option,
                       void* keyOut, uint8_t* keyLengthOut, const void* endKey,
                       int32_t endKeyLength, int32_t mode);

}  // namespace mdnio::filter
