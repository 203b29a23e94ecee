// The classic keyed file format: header offsets, block types and the arithmetic of block
// addresses.  All multi-byte integers are big-endian, except the change counter.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "common/bytes.h"
#include "common/keydesc.h"

namespace mdnio::keyed {

constexpr uint32_t kHeaderSize = 256;
constexpr uint32_t kFirstBlock = 512;
constexpr int kBlockUnit = 1024;  // block sizes are multiples of it: (code + 1) x 1024
constexpr int kMaxDepth = 16;
constexpr int kMaxSegments = 32;
constexpr uint32_t kMaxEof = 0x7FFF0000u;
constexpr uint32_t kHeaderLockOffset = 0x100;  // in the lock region
// Continuation pieces one record may have (block mode): the writer refuses a longer record and
// the verifier reports one, so that a chain of links is bounded wherever it is followed.
constexpr size_t kMaxPiecesPerRecord = size_t{1} << 16;

// The first 8 bytes of a classic file; older files carry the second and are read the same way.
constexpr char kMagic[] = "[Mdnkey]";
constexpr char kOldMagic[] = "[Tjwkey]";

// Header offsets.
constexpr int kOffMagic = 0;
constexpr int kOffRecordSize = 8;           // R, 2 bytes signed
constexpr int kOffMaxRecords = 10;          // 4
constexpr int kOffRecordCount = 14;         // 4
constexpr int kOffKeyArea = 18;             // K, 2 bytes signed
constexpr int kOffDeletedOrDataGroup = 24;  // slot mode: deleted chain; block mode: data group
constexpr int kOffFreeOrAllocGroup = 28;    // slot mode: free blocks; block mode: alloc group
constexpr int kOffEof = 32;
constexpr int kOffCounter = 36;       // little-endian
constexpr int kOffRoots = 40;         // 16 x 4
constexpr int kOffDescriptors = 104;  // 32 entries of 4 bytes; 64 more at 256 with flag A bit 1
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

constexpr size_t kDescriptorBytes = kOffIdentity - kOffDescriptors;

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

// ---- the header codec ----------------------------------------------------------------------

// Whether the first 8 bytes of `h` are either magic.
bool hasMagic(const uint8_t* h);
// Writes kMagic, or kOldMagic when `old`, at the start of the header.
void putMagic(uint8_t* h, bool old);

// The record slot size S (also the most a record piece takes in block mode): R + K + 3, plus 4
// for a continuation link in block mode, plus 1 when records are compressed, and at least 5.
int32_t slotSizeOf(int32_t recordSize, int32_t keyAreaSize, bool blockMode, bool compressed);

// The header fields as they are stored.  Decoding checks nothing: the open refuses what it
// cannot use, the verifier reports it.
struct Header {
    int32_t recordSize = 0;   // R, signed
    int32_t keyAreaSize = 0;  // K, signed
    int32_t blockCode = 0;    // signed: B = (code + 1) x 1024
    uint8_t flagsA = 0;
    uint8_t flagsB = 0;
    uint32_t maxRecords = 0;
    uint32_t recordCount = 0;
    uint32_t eof = 0;
    uint32_t identity = 0;
    uint32_t sequence = 0;
    uint32_t dictionary = 0;
    uint8_t fillPercent = 0;
    uint8_t segments = 0;  // the highest segment number in use
    uint8_t separatorByte = 0;
    std::array<uint32_t, 16> roots{};

    bool blockMode() const { return (flagsA & kBlockMode) != 0; }
    bool compressed() const { return (flagsB & kCompressed) != 0; }
    // 0 for a negative code, which names no block size.
    uint32_t blockSize() const {
        return blockCode < 0 ? 0 : static_cast<uint32_t>((blockCode + 1) * kBlockUnit);
    }
    int32_t slotSize() const {
        return slotSizeOf(recordSize, keyAreaSize, blockMode(), compressed());
    }
    // The field separator the flags select; -1 when fields are length-prefixed.
    int32_t separator() const;
};

Header decodeHeader(const uint8_t* h);

// Whether the check bytes at 253..254 agree with the change counter.
bool counterCheckHolds(const uint8_t* h);
// Sets the check bytes from the change counter, whatever flag A bit 6 says.
void putCounterCheck(uint8_t* h);

// The keys the descriptor table describes: 32 entries in the header and, with flag A bit 1, 64
// more in the 256 bytes of `continuation` (not read otherwise; may then be empty).  Returns 0,
// MDK_E_LENGTH for a header or continuation cut short or a negative block-size code, or what
// common::decodeClassicKeys answers.
int decodeHeaderKeys(std::span<const uint8_t> header, std::span<const uint8_t> continuation,
                     common::KeyLayout& out);

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
        putCounterCheck(h);
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
