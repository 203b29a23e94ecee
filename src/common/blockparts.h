// Which parts of a block an edit changed.  A block is cut into at most 64 equal parts (of a power
// of two bytes: 64 bytes in a 4096-byte block) and an edit sets the bit of every part it wrote,
// so that writing the block back can leave out the parts that still hold what the file holds.
// Writing less matters because the file's pages are written through a mapping: every line
// written there is a line the processor must first fetch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace mdnio::common {

inline constexpr uint64_t kAllParts = ~uint64_t{0};

// log2 of the size of one part of a block of `blockSize` bytes: the smallest power of two that
// cuts it into at most 64 parts.
constexpr unsigned partShift(size_t blockSize) {
    unsigned shift = 0;
    while ((size_t{64} << shift) < blockSize)
        ++shift;
    return shift;
}

class BlockParts {
  public:
    explicit BlockParts(size_t blockSize) : shift_(partShift(blockSize)) {}

    // Marks the bytes [from, to) of the block changed.
    void add(size_t from, size_t to) {
        if (from >= to) return;
        const size_t first = from >> shift_;
        const size_t last = (to - 1) >> shift_;
        if (first > 63) return;  // beyond the block: nothing of it to write
        const uint64_t upTo = last >= 63 ? kAllParts : (uint64_t{2} << last) - 1;
        bits_ |= upTo & ~((uint64_t{1} << first) - 1);
    }
    uint64_t bits() const { return bits_; }

  private:
    unsigned shift_;
    uint64_t bits_ = 0;
};

inline constexpr size_t kNoDifference = SIZE_MAX;

// The offset of the first part outside `bits` in which two images of one block differ, or
// kNoDifference: what a write-back of only the parts in `bits` would leave wrong.
inline size_t firstUnmarkedDifference(std::span<const uint8_t> a, std::span<const uint8_t> b,
                                      uint64_t bits) {
    const size_t size = a.size() < b.size() ? a.size() : b.size();
    const size_t part = size_t{1} << partShift(size);
    for (size_t at = 0, bit = 0; at < size; at += part, bit++) {
        const size_t n = part < size - at ? part : size - at;
        if (!((bits >> bit) & 1) && std::memcmp(a.data() + at, b.data() + at, n) != 0) return at;
    }
    return a.size() == b.size() ? kNoDifference : size;
}

}  // namespace mdnio::common
