#include "common/datablock.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "common/bytes.h"
#include "mdnio.h"

namespace mdnio::common {

namespace {

constexpr size_t kCountOffset = 5;
constexpr size_t kChainedHead = 10;
constexpr size_t kMaxBody = 0xFFFF;  // positions and F are 16-bit

// The block body (from offset 6); empty when the block is too small or too large for 16-bit
// positions.
std::span<uint8_t> bodyOf(std::span<uint8_t> block) {
    if (block.size() < kSlottedHeader + 2 || block.size() - kSlottedHeader > kMaxBody) return {};
    return block.subspan(kSlottedHeader);
}
std::span<const uint8_t> bodyOf(std::span<const uint8_t> block) {
    if (block.size() < kSlottedHeader + 2 || block.size() - kSlottedHeader > kMaxBody) return {};
    return block.subspan(kSlottedHeader);
}

size_t tableEnd(unsigned count) {
    return 2 + 2 * size_t{count};
}

// End of the free space (start of the record area), or 0 when the slot table and F do not fit.
size_t freeEnd(std::span<const uint8_t> body, unsigned count) {
    const size_t end = tableEnd(count) + getBe16(body.data());
    return end <= body.size() ? end : 0;
}

void setPosition(std::span<uint8_t> body, unsigned slot, size_t position) {
    putBe16(&body[2 * size_t{slot}], static_cast<uint16_t>(position));
}

uint16_t positionOf(std::span<const uint8_t> body, unsigned slot) {
    return getBe16(&body[2 * size_t{slot}]);
}

// Shifts the records in [from, to) of the body by `delta` bytes and adjusts the positions of
// every other slot that lies below `to`.
void shiftRecordsBelow(std::span<uint8_t> body, unsigned count, unsigned except, size_t from,
                       size_t to, std::ptrdiff_t delta) {
    std::memmove(body.data() + static_cast<std::ptrdiff_t>(from) + delta, body.data() + from,
                 to - from);
    if (delta > 0) std::memset(body.data() + from, 0, static_cast<size_t>(delta));
    for (unsigned s = 1; s <= count; ++s) {
        const uint16_t p = positionOf(body, s);
        if (s != except && p != 0 && p < to) {
            setPosition(body, s, static_cast<size_t>(static_cast<std::ptrdiff_t>(p) + delta));
        }
    }
}

}  // namespace

long recordSize(std::span<const uint8_t> rec, const RecordShape& shape) {
    if (shape.kind == RecordShape::Kind::Chained) {
        if (rec.size() < kChainedHead) return -1;
        const uint16_t total = getBe16(&rec[8]);
        return total < kChainedHead ? -1 : long{total};
    }
    const size_t head = size_t{shape.keyArea} + 3;
    if (rec.size() < head) return -1;
    const uint16_t stored = getBe16(&rec[head - 2]);
    const size_t link = (stored & 0x8000) ? 4 : 0;
    return static_cast<long>(head + (stored & 0x7FFF) + shape.trailer + link);
}

uint8_t slotCount(std::span<const uint8_t> block) {
    return block.size() > kCountOffset ? block[kCountOffset] : 0;
}

uint16_t freeBytes(std::span<const uint8_t> block) {
    return block.size() >= kSlottedHeader + 2 ? getBe16(&block[kSlottedHeader]) : 0;
}

uint16_t slotPosition(std::span<const uint8_t> block, unsigned slot) {
    const std::span<const uint8_t> body = bodyOf(block);
    if (slot == 0 || slot > slotCount(block) || tableEnd(slot) > body.size()) return 0;
    return positionOf(body, slot);
}

void initSlottedBlock(std::span<uint8_t> block, uint8_t type, uint32_t address) {
    std::fill(block.begin(), block.end(), uint8_t{0});
    if (block.size() < kSlottedHeader + 2) return;
    block[0] = type;
    putBe32(&block[1], address);
    block[kCountOffset] = 0;
    const size_t free = std::min(block.size() - kSlottedHeader - 2, kMaxBody - 2);
    putBe16(&block[kSlottedHeader], static_cast<uint16_t>(free));
}

int validateSlottedBlock(std::span<const uint8_t> block, const RecordShape& shape,
                         size_t maxRecord) {
    const std::span<const uint8_t> body = bodyOf(block);
    if (body.empty()) return MDK_E_KEYADDR;
    const unsigned count = slotCount(block);
    const size_t recordsStart = freeEnd(body, count);
    if (recordsStart == 0) return MDK_E_KEYADDR;

    struct Extent {
        size_t position, size;
    };
    std::array<Extent, kMaxSlots> used{};
    size_t n = 0;
    for (unsigned s = 1; s <= count; ++s) {
        const size_t p = positionOf(body, s);
        if (p == 0) continue;
        if (p > body.size()) return MDK_E_OFFSET;
        const long size = recordSize(body.subspan(p), shape);
        if (size < 0) return MDK_E_OFFSET;
        if (maxRecord != 0 && static_cast<size_t>(size) > maxRecord) return MDK_E_RECSIZE;
        if (p + static_cast<size_t>(size) > body.size()) return MDK_E_OFFSET;
        used[n++] = Extent{p, static_cast<size_t>(size)};
    }
    std::sort(used.begin(), used.begin() + static_cast<std::ptrdiff_t>(n),
              [](const Extent& a, const Extent& b) { return a.position < b.position; });
    size_t expect = recordsStart;
    for (size_t i = 0; i < n; ++i) {
        if (used[i].position != expect) return MDK_E_KEYADDR;  // a hole, an overlap, or bad F
        expect += used[i].size;
    }
    return expect == body.size() ? MDK_OK : MDK_E_KEYADDR;
}

unsigned findFreeSlot(std::span<const uint8_t> block) {
    const std::span<const uint8_t> body = bodyOf(block);
    const unsigned count = slotCount(block);
    if (body.empty() || tableEnd(count) > body.size()) return 0;
    for (unsigned s = 1; s <= count; ++s) {
        if (positionOf(body, s) == 0) return s;
    }
    return count < kMaxSlots ? count + 1 : 0;
}

size_t spaceNeeded(std::span<const uint8_t> block, size_t size) {
    return size + (findFreeSlot(block) > slotCount(block) ? 2 : 0);
}

SlotPlace reserveRecord(std::span<uint8_t> block, size_t size, BlockParts* parts) {
    const std::span<uint8_t> body = bodyOf(block);
    if (body.empty() || size == 0) return {};
    unsigned count = slotCount(block);
    if (freeEnd(body, count) == 0) return {};
    const unsigned slot = findFreeSlot(block);
    if (slot == 0) return {};
    size_t free = getBe16(body.data());
    const size_t newEntry = slot > count ? 2 : 0;
    if (free < size + newEntry) return {};
    if (newEntry) {
        count = slot;
        free -= 2;
        block[kCountOffset] = static_cast<uint8_t>(count);
    }
    const size_t position = tableEnd(count) + free - size;
    setPosition(body, slot, position);
    putBe16(body.data(), static_cast<uint16_t>(free - size));
    if (parts) {
        parts->add(kCountOffset, kSlottedHeader + 2);  // count and F
        parts->add(kSlottedHeader + 2 * size_t{slot}, kSlottedHeader + tableEnd(slot));
        parts->add(kSlottedHeader + position, kSlottedHeader + position + size);
    }
    return SlotPlace{slot, position};
}

int removeRecord(std::span<uint8_t> block, unsigned slot, size_t size, BlockParts* parts) {
    const std::span<uint8_t> body = bodyOf(block);
    if (body.empty()) return MDK_E_KEYADDR;
    unsigned count = slotCount(block);
    if (slot == 0 || slot > count) return MDK_E_KEY;
    const size_t recordsStart = freeEnd(body, count);
    if (recordsStart == 0) return MDK_E_KEYADDR;
    const size_t position = positionOf(body, slot);
    if (position == 0) return MDK_E_KEY;
    if (size == 0 || position < recordsStart || position > body.size() ||
        size > body.size() - position) {
        return MDK_E_OFFSET;
    }
    shiftRecordsBelow(body, count, slot, recordsStart, position, static_cast<std::ptrdiff_t>(size));
    setPosition(body, slot, 0);
    size_t free = getBe16(body.data()) + size;
    while (count > 0 && positionOf(body, count) == 0) {
        --count;
        free += 2;
    }
    if (parts) {
        // Count, F and the slot table as it stood (the positions of the moved records), and the
        // records from the lowest one to the end of the removed one.
        parts->add(kCountOffset, kSlottedHeader + tableEnd(slotCount(block)));
        parts->add(kSlottedHeader + recordsStart, kSlottedHeader + position + size);
    }
    block[kCountOffset] = static_cast<uint8_t>(count);
    putBe16(body.data(), static_cast<uint16_t>(free));
    return MDK_OK;
}

size_t resizeRecord(std::span<uint8_t> block, unsigned slot, size_t oldSize, size_t newSize,
                    BlockParts* parts) {
    const std::span<uint8_t> body = bodyOf(block);
    if (body.empty()) return 0;
    const unsigned count = slotCount(block);
    if (slot == 0 || slot > count) return 0;
    const size_t recordsStart = freeEnd(body, count);
    const size_t position = positionOf(body, slot);
    if (recordsStart == 0 || position == 0 || position < recordsStart || oldSize == 0 ||
        newSize == 0 || position > body.size() || oldSize > body.size() - position) {
        return 0;
    }
    const size_t free = getBe16(body.data());
    if (newSize > oldSize + free) return 0;
    if (newSize == oldSize) {
        if (parts) parts->add(kSlottedHeader + position, kSlottedHeader + position + newSize);
        return position;
    }
    if (parts) {
        // F and the slot table, and the records from the lowest one (before or after the move)
        // to the old end of this one, where the new record ends too.  recordsStart >= F >=
        // newSize - oldSize, so the sum below stays positive.
        parts->add(kSlottedHeader, kSlottedHeader + tableEnd(count));
        parts->add(kSlottedHeader + std::min(recordsStart, recordsStart + oldSize - newSize),
                   kSlottedHeader + position + oldSize);
    }
    const std::ptrdiff_t delta =
        static_cast<std::ptrdiff_t>(oldSize) - static_cast<std::ptrdiff_t>(newSize);
    shiftRecordsBelow(body, count, slot, recordsStart, position, delta);
    const size_t newPosition = static_cast<size_t>(static_cast<std::ptrdiff_t>(position) + delta);
    setPosition(body, slot, newPosition);
    putBe16(body.data(), static_cast<uint16_t>(static_cast<std::ptrdiff_t>(free) + delta));
    return newPosition;
}

RecordRef readRecord(std::span<const uint8_t> block, unsigned slot, const RecordShape& shape,
                     size_t maxRecord) {
    const std::span<const uint8_t> body = bodyOf(block);
    if (body.empty()) return RecordRef{MDK_E_KEYADDR, 0, {}};
    const unsigned count = slotCount(block);
    if (slot == 0 || slot > count || tableEnd(slot) > body.size()) {
        return RecordRef{MDK_E_KEY, 0, {}};
    }
    const size_t position = positionOf(body, slot);
    if (position == 0) return RecordRef{MDK_E_KEY, 0, {}};
    if (position > body.size()) return RecordRef{MDK_E_OFFSET, position, {}};
    const long size = recordSize(body.subspan(position), shape);
    if (size < 0) return RecordRef{MDK_E_OFFSET, position, {}};
    if (maxRecord != 0 && static_cast<size_t>(size) > maxRecord) {
        return RecordRef{MDK_E_RECSIZE, position, {}};
    }
    if (static_cast<size_t>(size) > body.size() - position)
        return RecordRef{MDK_E_OFFSET, position, {}};
    return RecordRef{MDK_OK, position, body.subspan(position, static_cast<size_t>(size))};
}

}  // namespace mdnio::common
