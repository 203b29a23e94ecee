#include "common/keyblock.h"

#include <algorithm>
#include <cstring>

#include "common/bytes.h"
#include "common/keyvalue.h"

namespace mdnio::common {

namespace {

constexpr size_t kCountOffset = 5;
constexpr size_t kPointerSize = 4;

size_t entryOffset(size_t entrySize, unsigned index) {
    return kKeyBlockHeader + size_t{index} * entrySize;
}

unsigned capacityOf(std::span<const uint8_t> block, size_t entrySize) {
    if (entrySize <= kPointerSize + 1) return 0;
    return keyBlockCapacity(block.size(), entrySize);
}

// index < capacityOf(block, entrySize), without the division: entries are looked up on every
// step down a tree.
bool entryFits(size_t blockSize, size_t entrySize, unsigned index) {
    return entrySize > kPointerSize + 1 && index < 255 &&
           kKeyBlockHeader + (size_t{index} + 1) * entrySize <= blockSize;
}

}  // namespace

uint8_t entryCount(std::span<const uint8_t> block) {
    return block.size() > kCountOffset ? block[kCountOffset] : 0;
}

void setEntryCount(std::span<uint8_t> block, unsigned count) {
    if (block.size() > kCountOffset) block[kCountOffset] = static_cast<uint8_t>(count);
}

bool entryCountValid(std::span<const uint8_t> block, size_t entrySize) {
    // count <= capacityOf(block, entrySize), without the division: every search of a block
    // checks it.
    const unsigned n = entryCount(block);
    if (entrySize <= kPointerSize + 1 || block.size() <= kKeyBlockHeader) return n == 0;
    return n <= 255 && size_t{n} * entrySize <= block.size() - kKeyBlockHeader;
}

std::span<uint8_t> entryBytes(std::span<uint8_t> block, size_t entrySize, unsigned index) {
    if (!entryFits(block.size(), entrySize, index)) return {};
    return block.subspan(entryOffset(entrySize, index), entrySize);
}

std::span<const uint8_t> entryBytes(std::span<const uint8_t> block, size_t entrySize,
                                    unsigned index) {
    if (!entryFits(block.size(), entrySize, index)) return {};
    return block.subspan(entryOffset(entrySize, index), entrySize);
}

int32_t entryPointer(std::span<const uint8_t> block, size_t entrySize, unsigned index) {
    const std::span<const uint8_t> e = entryBytes(block, entrySize, index);
    return e.empty() ? 0 : static_cast<int32_t>(getBe32(e.data()));
}

std::span<const uint8_t> entryValue(std::span<const uint8_t> block, size_t entrySize,
                                    unsigned index) {
    const std::span<const uint8_t> e = entryBytes(block, entrySize, index);
    return e.empty() ? e : e.subspan(kPointerSize);
}

void setEntryPointer(std::span<uint8_t> block, size_t entrySize, unsigned index, int32_t pointer) {
    const std::span<uint8_t> e = entryBytes(block, entrySize, index);
    if (!e.empty()) putBe32(e.data(), static_cast<uint32_t>(pointer));
}

KeySearch searchKeyBlock(std::span<const uint8_t> block, size_t entrySize,
                         std::span<const uint8_t> value) {
    if (!entryCountValid(block, entrySize)) return {};
    const unsigned n = entryCount(block);
    if (n == 0) return {};
    // Every entry below the (valid) count lies inside the block, so the probes need no bounds
    // check of their own.
    const uint8_t* values = block.data() + kKeyBlockHeader + kPointerSize;
    const size_t valueBytes = entrySize - kPointerSize;
    unsigned low = 0;
    unsigned high = n - 1;
    unsigned mid = n / 2;
    for (;;) {
        // Both entries the next probe may look at are asked for before this one is compared: a
        // leaf is usually not in the processor cache, and the probes of a binary search would
        // otherwise wait for memory one after the other.
        __builtin_prefetch(values + size_t{low + (mid - low) / 2} * entrySize);
        __builtin_prefetch(values + size_t{std::min(mid + 1 + (high - mid) / 2, high)} * entrySize);
        const int c = compareValues({values + size_t{mid} * entrySize, valueBytes}, value);
        if (c == 0) return KeySearch{mid, true};
        if (c < 0) {
            // Entry below the value: nothing greater in the lower part.  With n = 2 the first
            // probe is the last entry, so low can pass high here: the value is above them all.
            if (low >= high || mid + 1 > high) return KeySearch{mid + 1, false};
            low = mid + 1;
        } else {
            high = mid;
            if (mid == low) return KeySearch{mid, false};
        }
        mid = low + (high - low) / 2;
    }
}

bool insertEntry(std::span<uint8_t> block, size_t entrySize, unsigned index, int32_t pointer,
                 std::span<const uint8_t> value, BlockParts* parts) {
    const unsigned capacity = capacityOf(block, entrySize);
    const unsigned n = entryCount(block);
    if (n >= capacity || index > n || value.size() != entrySize - kPointerSize) return false;
    const size_t at = entryOffset(entrySize, index);
    std::memmove(block.data() + at + entrySize, block.data() + at, (n - index) * entrySize);
    const std::span<uint8_t> e = entryBytes(block, entrySize, index);
    putBe32(e.data(), static_cast<uint32_t>(pointer));
    std::copy(value.begin(), value.end(), e.begin() + kPointerSize);
    setEntryCount(block, n + 1);
    if (parts) {
        parts->add(kCountOffset, kCountOffset + 1);
        parts->add(at, entryOffset(entrySize, n + 1));
    }
    return true;
}

bool deleteEntry(std::span<uint8_t> block, size_t entrySize, unsigned index, BlockParts* parts) {
    const unsigned n = entryCount(block);
    if (n > capacityOf(block, entrySize) || index >= n) return false;
    const size_t at = entryOffset(entrySize, index);
    std::memmove(block.data() + at, block.data() + at + entrySize, (n - 1 - index) * entrySize);
    const std::span<uint8_t> last = entryBytes(block, entrySize, n - 1);
    std::fill(last.begin(), last.end(), uint8_t{0});
    setEntryCount(block, n - 1);
    if (parts) {
        parts->add(kCountOffset, kCountOffset + 1);
        parts->add(at, entryOffset(entrySize, n));
    }
    return true;
}

SplitPlan planSplit(unsigned capacity, unsigned index) {
    const unsigned q = (capacity + 3) / 4;
    const unsigned lowest = std::min(q, capacity);
    const unsigned highest = capacity >= q ? capacity - q : 0;
    const unsigned s = std::clamp(index, std::min(lowest, highest), std::max(lowest, highest));
    if (index < s) return SplitPlan{s, true, index};
    return SplitPlan{s, false, index - s};
}

bool splitEntries(std::span<uint8_t> from, std::span<uint8_t> to, size_t entrySize,
                  unsigned moved) {
    const unsigned n = entryCount(from);
    if (n > capacityOf(from, entrySize) || moved > n || entryCount(to) != 0 ||
        moved > capacityOf(to, entrySize)) {
        return false;
    }
    const size_t movedBytes = size_t{moved} * entrySize;
    const size_t keptBytes = size_t{n - moved} * entrySize;
    std::memcpy(to.data() + kKeyBlockHeader, from.data() + kKeyBlockHeader, movedBytes);
    setEntryCount(to, moved);
    std::memmove(from.data() + kKeyBlockHeader, from.data() + kKeyBlockHeader + movedBytes,
                 keptBytes);
    std::memset(from.data() + kKeyBlockHeader + keptBytes, 0, movedBytes);
    setEntryCount(from, n - moved);
    return true;
}

bool appendEntries(std::span<uint8_t> to, std::span<const uint8_t> from, size_t entrySize) {
    const unsigned n = entryCount(to);
    const unsigned m = entryCount(from);
    if (n > capacityOf(to, entrySize) || m > capacityOf(from, entrySize) ||
        n + m > capacityOf(to, entrySize)) {
        return false;
    }
    std::memcpy(to.data() + entryOffset(entrySize, n), from.data() + kKeyBlockHeader,
                size_t{m} * entrySize);
    setEntryCount(to, n + m);
    return true;
}

}  // namespace mdnio::common
