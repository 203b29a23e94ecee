// The classic keyed file format: header offsets, block types and the arithmetic of block
// addresses.  All multi-byte integers are big-endian, except the change counter.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/bytes.h"

namespace mdnio::keyed {

constexpr uint32_t kHeaderSize = 256;
constexpr uint32_t kFirstBlock = 512;
constexpr int kMaxDepth = 16;
constexpr int kMaxSegments = 32;
constexpr uint32_t kMaxEof = 0x7FFF0000u;
constexpr uint32_t kHeaderLockOffset = 0x100;  // in the lock region
// Continuation pieces one record may have (block mode): the writer refuses a longer record and
// the verifier reports one, so that a chain of links is bounded wherever it is followed.
constexpr size_t kMaxPiecesPerRecord = size_t{1} << 16;

// Header offsets.
constexpr int kOffMagic = 0;
constexpr int kOffRecordSize = 8;           // R, 2 bytes signed
constexpr int kOffMaxRecords = 10;          // 4
constexpr int kOffRecordCount = 14;         // 4
constexpr int kOffKeyArea = 18;             // K, 2 bytes signed
constexpr int kOffDeletedOrDataGroup = 24;  // slot mode: deleted chain; block mode: data group
constexpr int kOffFreeOrAllocGroup = 28;    // slot mode: free blocks; block mode: alloc group
constexpr int kOffEof = 32;
constexpr int kOffCounter = 36;  // little-endian
constexpr int kOffRoots = 40;    // 16 x 4
constexpr int kOffDescriptors = 104;
constexpr int kOffIdentity = 232;
constexpr int kOffBlockCode = 240;
constexpr int kOffFlagsA = 241;
constexpr int kOffFill = 242;
constexpr int kOffDictionary = 243;
constexpr int kOffSeparator = 247;
constexpr int kOffSegments = 248;
constexpr int kOffSequence = 249;
constexpr int kOffCheck = 253;
constexpr int kOffFlagsB = 255;

// Flags A.
constexpr uint8_t kBlockMode = 0x01;
constexpr uint8_t kDescContinued = 0x02;
constexpr uint8_t kPadSignificant = 0x04;
constexpr uint8_t kSeparatorGiven = 0x08;
constexpr uint8_t kLengthPrefixed = 0x10;
constexpr uint8_t kCounterCheck = 0x40;
// Flags B.
constexpr uint8_t kCompressed = 0x01;
constexpr uint8_t kNewRecordOnUpdate = 0x08;
constexpr uint8_t kCommitting = 0x20;

// Block types (and allocation-map bytes).
constexpr uint8_t kTypeFree = 0x00;
constexpr uint8_t kTypeData = 0x80;
constexpr uint8_t kMapDataFull = 0x81;
constexpr uint8_t kTypeDict = 0xFB;
constexpr uint8_t kTypeMap = 0xFC;
constexpr uint8_t kTypeKey = 0xFE;

// Slot mode: a deleted slot starts with this byte.
constexpr uint8_t kDeletedSlot = 0xFF;
// Key area length byte: a continuation piece.
constexpr uint8_t kPieceMark = 0x80;

inline uint32_t get32(const uint8_t* h, int off) {
    return common::getBe32(h + off);
}
inline void put32(uint8_t* h, int off, uint32_t v) {
    common::putBe32(h + off, v);
}
inline int16_t getS16(const uint8_t* h, int off) {
    return static_cast<int16_t>(common::getBe16(h + off));
}
inline uint32_t getCounter(const uint8_t* h) {
    return uint32_t{h[36]} | uint32_t{h[37]} << 8 | uint32_t{h[38]} << 16 | uint32_t{h[39]} << 24;
}
inline void putCounter(uint8_t* h, uint32_t v) {
    for (int i = 0; i < 4; i++)
        h[36 + i] = static_cast<uint8_t>(v >> (8 * i));
}
// Stores the change counter and, with flag A bit 6, its check bytes (else zeros there).
inline void putCounterChecked(uint8_t* h, uint32_t v) {
    putCounter(h, v);
    if (h[kOffFlagsA] & kCounterCheck) {
        h[kOffCheck] = h[36] ^ h[38];
        h[kOffCheck + 1] = h[37] ^ h[39];
    } else {
        h[kOffCheck] = h[kOffCheck + 1] = 0;
    }
}

// Block mode: an address holds the segment number (times 256) in the part of it below the
// block size.  That part, without a division when the block size is a power of two (the usual
// sizes): every record read asks for it a few times, and a division costs dozens of cycles.
inline uint32_t belowBlockSize(uint32_t a, uint32_t blockSize) {
    return (blockSize & (blockSize - 1)) == 0 ? a & (blockSize - 1) : a % blockSize;
}
// The segment a block address lies in and its offset in that segment's file.
inline uint32_t segmentOf(uint32_t address, uint32_t blockSize) {
    uint32_t a = (address - kFirstBlock) & 0x7FFFFF00u;
    return belowBlockSize(a, blockSize) / 256;
}
inline int64_t offsetInSegment(uint32_t address, uint32_t blockSize) {
    uint32_t a = (address - kFirstBlock) & 0x7FFFFF00u;
    return int64_t{a} - belowBlockSize(a, blockSize) + kFirstBlock;
}
inline uint32_t addressIn(uint32_t segment, int64_t offset) {
    return static_cast<uint32_t>(offset) + 256 * segment;
}

}  // namespace mdnio::keyed
