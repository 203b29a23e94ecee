// Key values: building the value of a key from a record, shaping a caller's search bytes, and
// ordering values.
//
// A value of a key with length L is L + 1 bytes: byte 0 the significant length, bytes 1..L the
// value, padded.  An all-zero value means the record has no entry in that key.  End markers
// (byte 0 and every value byte 0xFF) order above every value.
//
// Record buffers are laid out as: key area length byte, key area of K bytes, BE16 data length
// (bit 15 is a flag and not part of the length), data.  Every length read from a record is bounded
// by the span given.  Nothing here allocates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "common/keydesc.h"

namespace mdnio::common {

// The key area of a record buffer: as many bytes as its length byte (low 7 bits) says, at most K
// and at most what the buffer holds.
std::span<const uint8_t> recordKeyArea(std::span<const uint8_t> record, size_t keyAreaSize);

// The data of a record buffer: as many bytes as its BE16 data length (low 15 bits) says, at most
// what the buffer holds.  Empty when the buffer is shorter than K + 3.
std::span<const uint8_t> recordData(std::span<const uint8_t> record, size_t keyAreaSize);

// The bytes a segment takes its value from: its field (key area, whole data, or field n found by
// the layout's separator or length prefixes), from the segment's offset on.  Empty when the field
// is missing or not longer than the offset.  Not yet limited to the segment length.
std::span<const uint8_t> segmentSource(const KeyLayout& layout, const Segment& segment,
                                       std::span<const uint8_t> record);

// Builds the value of `key` from `record` into out[0..L].  `address` is the 4-byte suffix of a key
// with KeySuffix::Address (the record address in the classic format).  With `appendSequence` a key
// with KeySuffix::Sequence gets sequenceCounter + 1 as its suffix; without it, the suffix stays
// zero and byte 0 does not count it.  Returns 0, MDK_E_KEYNUM (no such key) or MDK_E_LENGTH (`out`
// shorter than L + 1, or a layout whose segments do not fit its L).
int buildKeyValue(const KeyLayout& layout, size_t key, std::span<const uint8_t> record,
                  uint32_t address, bool appendSequence, uint32_t sequenceCounter,
                  std::span<uint8_t> out);

// The value of a caller's search bytes for `key` (seek and key adjust): byte 0 the number of bytes
// given (L when padding is significant), then the bytes, shaped per segment (shapeSearchBytes), and
// zeros up to L.  More bytes than L, or than L - 4 for a key with a suffix, give MDK_E_LENGTH; an
// unknown key MDK_E_KEYNUM; `out` shorter than L + 1 MDK_E_LENGTH.
int buildSearchValue(const KeyLayout& layout, size_t key, std::span<const uint8_t> given,
                     std::span<uint8_t> out);

// Shapes the first `given` bytes of `bytes` (value bytes, without the length byte) the way the
// key's segments shape record bytes, each segment over its part of the given bytes: zeros after
// the first zero byte (kOptStopAtZero), reverse, flip bit 7 of the first byte, accent folding,
// upper or lower case, complement for a descending segment.  Bytes past `given` are not touched.
void shapeSearchBytes(const KeyLayout& layout, size_t key, std::span<uint8_t> bytes, size_t given);

// True when every byte of `value` is zero: the record has no entry in that key.
bool isEmptyValue(std::span<const uint8_t> value);

// True when `value` is an end marker (length byte 0xFF).
inline bool isEndMarker(std::span<const uint8_t> value) {
    return !value.empty() && value[0] == 0xFF;
}

// True when the length byte of `value` (L + 1 bytes) is L at most or marks an end marker: the
// only lengths a key entry holds in a sound file, and the bound of what follows it.
inline bool valueLengthValid(std::span<const uint8_t> value) {
    return !value.empty() && (value[0] < value.size() || value[0] == 0xFF);
}

// Fills `value` with 0xFF: the end marker of a level of a key tree.
void makeEndMarker(std::span<uint8_t> value);

// Orders two values of one key: bytes 1..L as unsigned bytes, then byte 0.  L is taken from the
// shorter span.  Returns -1, 0 or 1.  Inline, eight bytes at a time: every search of a key tree
// runs it a few dozen times.
inline int compareValues(std::span<const uint8_t> a, std::span<const uint8_t> b) {
    const size_t size = a.size() < b.size() ? a.size() : b.size();
    if (size == 0) return 0;
    const uint8_t* p = a.data() + 1;
    const uint8_t* q = b.data() + 1;
    size_t n = size - 1;
    for (; n >= 8; n -= 8, p += 8, q += 8) {
        uint64_t x, y;
        std::memcpy(&x, p, 8);
        std::memcpy(&y, q, 8);
        if (x != y) return __builtin_bswap64(x) < __builtin_bswap64(y) ? -1 : 1;
    }
    for (; n > 0; n--, p++, q++)
        if (*p != *q) return *p < *q ? -1 : 1;
    return a[0] < b[0] ? -1 : (a[0] > b[0] ? 1 : 0);
}

// True when `found` is `search` plus a 4-byte suffix: its length byte is n + 4 and its first n
// value bytes equal those of `search` (n = the number of bytes the caller gave).
bool matchesIgnoringSuffix(std::span<const uint8_t> found, std::span<const uint8_t> search,
                           size_t n);

}  // namespace mdnio::common
