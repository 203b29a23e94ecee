// One slotted block: the layout shared by data blocks, dictionary blocks and key-descriptor
// blocks of both keyed formats.
//
//   offset 0      block type
//   offset 1..4   the block's own address or number
//   offset 5      slot count m (0..255)
//   offset 6..7   BE16 free bytes F
//   offset 6+2i   BE16 position of the record of slot i (1..m), counted from block offset 6;
//                 0 = unused slot
//   ...           free space, then the records, packed from the end of the block downwards
//
// Positions below are always counted from block offset 6 ("body positions"): the slot table
// occupies body bytes 0 .. 2 + 2m, the free space the next F bytes, and the records the rest up to
// body position B - 6.  Every function checks what it reads from the block before using it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/blockparts.h"

namespace mdnio::common {

inline constexpr size_t kSlottedHeader = 6;  // type, address, count
inline constexpr unsigned kMaxSlots = 255;
inline constexpr uint8_t kDataBlockType = 0x80;

// How to find the size of a record in a slotted block from its first bytes.
struct RecordShape {
    enum class Kind : uint8_t {
        Data,     // length byte, key area of keyArea bytes, BE16 length (bit 15 = continued),
                  // data, `trailer` bytes, and a 4-byte link when continued
        Chained,  // next (4), previous (4), BE16 total length including these 10 bytes
    };
    Kind kind = Kind::Data;
    uint16_t keyArea = 0;  // K
    uint8_t trailer = 0;   // bytes between the data and the link (0 classic, 4 extended serial)
};

// Size of the record whose bytes start `rec` (the span runs to the end of the block body), or -1
// when the span is too short to hold the size fields.
long recordSize(std::span<const uint8_t> rec, const RecordShape& shape);

uint8_t slotCount(std::span<const uint8_t> block);
uint16_t freeBytes(std::span<const uint8_t> block);
// Body position of slot i (1-based); 0 for an unused slot or a slot outside the table.
uint16_t slotPosition(std::span<const uint8_t> block, unsigned slot);

// Makes `block` an empty slotted block: zeroed, type, BE32 address, count 0, F = B - 8.
void initSlottedBlock(std::span<uint8_t> block, uint8_t type, uint32_t address);

// Checks the slot table against the block: the table and F fit, every used slot lies in the
// record area and its record (sized by `shape`) ends within the block, records are packed without
// holes or overlaps down from the block end to exactly the end of the free space.  `maxRecord`
// (0 = no limit) bounds each record size.  Returns 0, MDK_E_KEYADDR (table or F inconsistent),
// MDK_E_OFFSET (a record outside the block) or MDK_E_RECSIZE (a record above `maxRecord`).
int validateSlottedBlock(std::span<const uint8_t> block, const RecordShape& shape,
                         size_t maxRecord);

// The slot a new record would take: the lowest unused slot, else m + 1; 0 when all 255 are used.
unsigned findFreeSlot(std::span<const uint8_t> block);

// Free bytes a record of `size` bytes needs: its size, plus 2 when it needs a new slot entry.
size_t spaceNeeded(std::span<const uint8_t> block, size_t size);

struct SlotPlace {
    unsigned slot = 0;    // 1..255, 0 = no room
    size_t position = 0;  // body position of the record (block offset = position + 6)
};

// Reserves room for a record of `size` bytes (size >= 1): takes findFreeSlot, places the record
// right below the lowest record, sets the slot's position and lowers F.  The caller writes the
// record bytes at block offset position + 6.  Returns slot 0 when the block has no room, no free
// slot, or an inconsistent slot table / F.  `parts`, when given, gains the bytes the reservation
// changed and the room it reserved.
SlotPlace reserveRecord(std::span<uint8_t> block, size_t size, BlockParts* parts = nullptr);

// Removes the record of `slot`, which is `size` bytes long: the records below it move up by
// `size`, the vacated bytes are zeroed, the positions of those records grow by `size`, F grows,
// the slot becomes unused and trailing unused slots are dropped (count - 1, F + 2 each).  Returns
// 0, MDK_E_KEY (slot 0, beyond the count, or unused), MDK_E_OFFSET (the record or the moved
// area outside the block) or MDK_E_KEYADDR (inconsistent F).  `parts`, when given, gains the
// bytes the removal changed.
int removeRecord(std::span<uint8_t> block, unsigned slot, size_t size, BlockParts* parts = nullptr);

// Resizes the record of `slot` from `oldSize` to `newSize` bytes in place, when
// newSize <= oldSize + F: the records below it move by oldSize - newSize, vacated bytes are
// zeroed, their positions and F are adjusted, and the slot gets the new position (the old record's
// end stays where it was).  The record's bytes are NOT preserved: the caller writes the new record
// at the returned body position.  Returns the new body position, or 0 when the record does not fit
// in place (the caller then removes and adds) or the slot / block is inconsistent.  `parts`, when
// given, gains the bytes the resize changed and the new record's room.
size_t resizeRecord(std::span<uint8_t> block, unsigned slot, size_t oldSize, size_t newSize,
                    BlockParts* parts = nullptr);

struct RecordRef {
    int code = 0;                    // 0, or the reason the record cannot be read
    size_t position = 0;             // body position
    std::span<const uint8_t> bytes;  // the record, `size` bytes long
};

// The bytes of the record of `slot`: MDK_E_KEY for slot 0, a slot beyond the count or an
// unused slot; MDK_E_OFFSET for a position beyond B - 6 or a record that does not end within the
// block; MDK_E_RECSIZE when the record is larger than `maxRecord` (0 = no limit).
RecordRef readRecord(std::span<const uint8_t> block, unsigned slot, const RecordShape& shape,
                     size_t maxRecord);

}  // namespace mdnio::common
