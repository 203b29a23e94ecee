// The packed restrict program a client hands to MDK_read_FIRST: the entries of a program and
// the key to start from, in one byte string.
//
//   2 bytes   entry count N (at most kRestrictSlots)
//   per entry 12 bytes: field number, offset, width, operator, scale, constant length
//             then the constant's bytes
//   2 bytes   start key length K (at most 255)
//   2 bytes   key number
//   K bytes   the start key
//
// Every integer is an unsigned big-endian 16-bit value.  The string comes from the client, so
// nothing in it is trusted: a count or a length that runs past the bytes given makes the whole
// program unreadable, and nothing is read beyond those bytes.  Bytes after the start key are
// not looked at.
#pragma once

#include <cstdint>
#include <span>

#include "frame/handle.h"

namespace mdnio::filter {

struct PackedProgram {
    int count = 0;
    MdkRestrictEntry entries[kRestrictSlots] = {};  // constants point into the packed bytes
    int32_t keyLength = 0;
    int32_t keyNumber = 0;
    const uint8_t* key = nullptr;  // into the packed bytes
};

// False when `bytes` do not hold a whole program, or the program has more than kRestrictSlots
// entries or a start key longer than 255 bytes.
bool decodePackedProgram(std::span<const uint8_t> bytes, PackedProgram& out);

}  // namespace mdnio::filter
