// Record data compression: a code stream of literal runs, repeat runs and long zero runs, or the
// data stored as it is when coding would make it longer.
//
// Codes: c < 128 is followed by c literal bytes; 128..239 repeats the next byte (code - 128)
// times; 240 writes (next byte + 111) zeros; 241, only as the first code, means the rest of the
// stream is the data itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace mdnio::common {

// The most bytes compressRecord writes for `n` input bytes (the stored form: 241 + the bytes).
inline constexpr size_t compressedBound(size_t n) {
    return n + 1;
}

// Codes `in` into `out` and returns the length of the code stream (the stored length), or -1 when
// `out` is shorter than compressedBound(in.size()).  The BE16 length in front of the stream is the
// caller's.
long compressRecord(std::span<const uint8_t> in, std::span<uint8_t> out);

inline constexpr long kDecompressOverflow = -1;  // the data would pass the output limit
inline constexpr long kDecompressBadCode = -2;   // an unknown code, or a code cut short

// Expands the code stream `in` into `out`, writing at most out.size() bytes (the record size R),
// and returns the data length; kDecompressOverflow or kDecompressBadCode otherwise.  Never reads
// past `in`.
long decompressRecord(std::span<const uint8_t> in, std::span<uint8_t> out);

}  // namespace mdnio::common
