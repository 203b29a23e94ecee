// Entry-level edits inside one key block.
//
//   offset 0      block type
//   offset 1..4   the block's own address or number
//   offset 5      entry count n
//   offset 6 + i*es   entry i: BE32 signed pointer, length byte, L value bytes (es = L + 5)
//
// The value of an entry (length byte and L bytes) is the key value layout of keyvalue.h, so
// entries compare with compareValues.  A block holds at most M = min(255, (B - 6) / es) entries
// (keyBlockCapacity in keydesc.h).  Nothing here allocates or reads outside the block: an entry
// count larger than M is refused by every function.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/blockparts.h"
#include "common/keydesc.h"

namespace mdnio::common {

inline constexpr size_t kKeyBlockHeader = 6;
inline constexpr uint8_t kKeyBlockType = 0xFE;

uint8_t entryCount(std::span<const uint8_t> block);
void setEntryCount(std::span<uint8_t> block, unsigned count);

// True when the count byte is at most the block's capacity for `entrySize`.
bool entryCountValid(std::span<const uint8_t> block, size_t entrySize);

// Entry i as bytes (es long), its pointer, and its value (length byte + L bytes).  An index at or
// beyond the block's capacity gives an empty span, pointer 0, and no change.
std::span<uint8_t> entryBytes(std::span<uint8_t> block, size_t entrySize, unsigned index);
std::span<const uint8_t> entryBytes(std::span<const uint8_t> block, size_t entrySize,
                                    unsigned index);
int32_t entryPointer(std::span<const uint8_t> block, size_t entrySize, unsigned index);
std::span<const uint8_t> entryValue(std::span<const uint8_t> block, size_t entrySize,
                                    unsigned index);
void setEntryPointer(std::span<uint8_t> block, size_t entrySize, unsigned index, int32_t pointer);

struct KeySearch {
    unsigned index = 0;  // the entry found; == count when no entry is greater than the value
    bool equal = false;  // the entry at `index` equals the value
};

// Binary search of the first entry not below `value` (value.size() = es - 4).  Starts at n / 2
// and stops at the first equal entry it meets.  With no entry (or an invalid count), index 0.
KeySearch searchKeyBlock(std::span<const uint8_t> block, size_t entrySize,
                         std::span<const uint8_t> value);

// Inserts (pointer, value) at `index` (0..n), moving the entries from there up by one.  Returns
// false, changing nothing, when the block is full, the index is beyond the count or the value is
// not es - 4 bytes.  `parts`, when given, gains the bytes the insert changed.
bool insertEntry(std::span<uint8_t> block, size_t entrySize, unsigned index, int32_t pointer,
                 std::span<const uint8_t> value, BlockParts* parts = nullptr);

// Deletes entry `index` (< n): the entries after it move down, the freed last entry is zeroed,
// the count drops by one.  Returns false when the index is not below the count.  `parts`, when
// given, gains the bytes the delete changed.
bool deleteEntry(std::span<uint8_t> block, size_t entrySize, unsigned index,
                 BlockParts* parts = nullptr);

struct SplitPlan {
    unsigned moved = 0;         // s: the first s entries go to the new block
    bool intoNewBlock = false;  // the pending insert goes to the new block ...
    unsigned insertIndex = 0;   // ... or to the old one, at this index
};

// Plans the split of a full block of `capacity` (M) entries for an insert at `index`:
// q = (M + 3) / 4, s = index clamped into q..M - q.  The insert continues in the new block at
// `index` when index < s, else in the old block at index - s.
SplitPlan planSplit(unsigned capacity, unsigned index);

// Moves the first `moved` entries of `from` into the empty block `to` (its count becomes `moved`)
// and the rest of `from` to its start; the vacated tail of `from` is zeroed.  Returns false,
// changing nothing, when `moved` exceeds the count of `from` or `to` is not empty or too small.
bool splitEntries(std::span<uint8_t> from, std::span<uint8_t> to, size_t entrySize, unsigned moved);

// Appends every entry of `from` to the end of `to` (merge); `from` is left as it was.  Returns
// false, changing nothing, when the sum of the counts exceeds the capacity of `to`.
bool appendEntries(std::span<uint8_t> to, std::span<const uint8_t> from, size_t entrySize);

}  // namespace mdnio::common
