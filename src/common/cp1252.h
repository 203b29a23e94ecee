// Windows-1252 translation tables used to shape key bytes: upper-casing, lower-casing and
// folding accented letters to their base letter.  Every byte not listed maps to itself.
#pragma once

#include <array>
#include <cstdint>

namespace mdnio::common {

using ByteTable = std::array<uint8_t, 256>;

// a..z, the caron and ligature letters 0x9A/0x9C, 0xE0..0xFE (except 0xF7) and 0xFF to their
// capitals.
extern const ByteTable kUpperTable;
// The inverse of kUpperTable: A..Z, 0x8A, 0x8C, 0x9F and 0xC0..0xDE (except 0xD7).
extern const ByteTable kLowerTable;
// Accented letters to their unaccented ASCII letter, keeping the case.
extern const ByteTable kFoldTable;

inline uint8_t toUpper1252(uint8_t b) {
    return kUpperTable[b];
}
inline uint8_t toLower1252(uint8_t b) {
    return kLowerTable[b];
}
inline uint8_t foldAccent1252(uint8_t b) {
    return kFoldTable[b];
}

}  // namespace mdnio::common
