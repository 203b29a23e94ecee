// Big-endian integer access on byte buffers, and a search for one byte value.  Callers check
// the bounds; these helpers only assemble, scatter and compare the bytes.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace mdnio::common {

inline uint16_t getBe16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

inline uint32_t getBe32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

inline void putBe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

inline void putBe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// memcpy for counts that may be 0: memcpy must never be given a null pointer, not even for no
// bytes, and an empty vector's data() (a record without data, a file without a key area) may be
// one.
inline void copyBytes(void* to, const void* from, size_t n) {
    if (n != 0) std::memcpy(to, from, n);
}

// Word-at-a-time byte search: eight bytes read at once, little-endian (where the first byte is
// the lowest), every byte equal to the one looked for marked by its high bit.
constexpr bool kWordSearch = std::endian::native == std::endian::little;

inline uint64_t loadWord(const uint8_t* p) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    return word;
}

// The high bit of every byte of `word` equal to the byte repeated in `pattern`, and no other bit.
inline uint64_t byteMatches(uint64_t word, uint64_t pattern) {
    constexpr uint64_t kLows = 0x7F7F7F7F7F7F7F7Full;
    const uint64_t x = word ^ pattern;  // zero where the byte matches
    return ~(((x & kLows) + kLows) | x | kLows);
}

inline uint64_t repeatedByte(uint8_t c) {
    return 0x0101010101010101ull * c;
}

// The byte position of the lowest mark of a non-zero byteMatches mask.
inline size_t firstMatch(uint64_t matches) {
    return static_cast<size_t>(std::countr_zero(matches) >> 3);
}

// The position of the first byte equal to `c` among p[0, n), or n when there is none.  Fields
// of records are short: the first 32 bytes are looked at eight at a time in a register (a
// library search costs more than that to set up); longer stretches go to the library.
inline size_t findByte(const uint8_t* p, size_t n, uint8_t c) {
    size_t i = 0;
    if constexpr (kWordSearch) {
        const uint64_t pattern = repeatedByte(c);
        for (; i + 8 <= n && i < 32; i += 8)
            if (const uint64_t m = byteMatches(loadWord(p + i), pattern)) return i + firstMatch(m);
    }
    if (n - i > 8) {
        const void* hit = std::memchr(p + i, c, n - i);
        return hit ? static_cast<size_t>(static_cast<const uint8_t*>(hit) - p) : n;
    }
    for (; i < n; ++i)
        if (p[i] == c) return i;
    return n;
}

}  // namespace mdnio::common
