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

// The position of the first byte equal to `c` among p[0, n), or n when there is none.  Fields
// of records are short: the first 32 bytes are looked at eight at a time in a register (a
// library search costs more than that to set up); longer stretches go to the library.
inline size_t findByte(const uint8_t* p, size_t n, uint8_t c) {
    size_t i = 0;
    if constexpr (std::endian::native == std::endian::little) {
        constexpr uint64_t kOnes = 0x0101010101010101ull;
        constexpr uint64_t kHighs = 0x8080808080808080ull;
        const uint64_t pattern = kOnes * c;
        for (; i + 8 <= n && i < 32; i += 8) {
            uint64_t word;
            std::memcpy(&word, p + i, 8);
            const uint64_t x = word ^ pattern;  // a zero byte where p holds c
            // The lowest high bit set marks the first zero byte; bits above it may be false.
            const uint64_t zeros = (x - kOnes) & ~x & kHighs;
            if (zeros) return i + static_cast<size_t>(std::countr_zero(zeros) >> 3);
        }
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
