// The extended keyed file format: magic, header offsets and codec, derived sizes, block heads,
// record addresses, map entries and the map directory, data records, chained records and key
// descriptors.
//
// An extended file is an array of blocks of one size.  Block 0 is the header block; every other
// block is reached through a block map that turns the logical numbers every pointer holds into
// physical places (blockmap.h).  All multi-byte integers are big-endian.
//
// Nothing read from a file is trusted: every decoder here checks its bounds and what the engine
// cannot work with, and returns 0 or the code the engine raises: MDK_E_FILETYPE (5) for a header
// that describes an impossible file, MDK_E_BUFFER (41) for block contents that contradict the
// format, and a few record-level codes named where they are returned.  At open the engine reports
// any failure of block 0 or of the key descriptors as 5.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/bytes.h"
#include "common/keydesc.h"
#include "mdnio.h"

namespace mdnio::extended {

// ---- integers the common helpers do not cover --------------------------------------------------

inline uint32_t getBe24(const uint8_t* p) {
    return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | uint32_t{p[2]};
}
inline void putBe24(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 16);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v);
}
// A 64-bit counter is stored as two BE32 words, the high word first.
inline uint64_t getBe64(const uint8_t* p) {
    return (uint64_t{common::getBe32(p)} << 32) | common::getBe32(p + 4);
}
inline void putBe64(uint8_t* p, uint64_t v) {
    common::putBe32(p, static_cast<uint32_t>(v >> 32));
    common::putBe32(p + 4, static_cast<uint32_t>(v));
}

// ---- header block ----------------------------------------------------------------------------

// The first 8 bytes of an extended file.
inline constexpr char kMagic[] = "[Mdnky2]";
inline constexpr size_t kMagicSize = 8;

// Fixed fields at the start of block 0.  Bytes 24..27, 32..35 and 57 are carried as read.
inline constexpr size_t kOffMagic = 0;
inline constexpr size_t kOffMaxDataLength = 8;    // BE16, signed
inline constexpr size_t kOffMaxRecords = 10;      // BE64, 0 = unlimited
inline constexpr size_t kOffKeyArea = 18;         // BE16, signed: k
inline constexpr size_t kOffKeyDescriptors = 20;  // BE32 record address, 0xFD chain
inline constexpr size_t kOffDictionary = 28;      // BE32 record address, 0xFB chain, 0 = none
inline constexpr size_t kOffIdentity = 36;        // 4 bytes compared as they stand
inline constexpr size_t kOffReported = 40;        // BE64, only reported by the file description
inline constexpr size_t kOffBlockCode = 48;       // block size = (code + 1) * 1024
inline constexpr size_t kOffFlagsA = 49;
inline constexpr size_t kOffFlagsB = 50;
inline constexpr size_t kOffFlagsC = 51;
inline constexpr size_t kOffSeparator = 52;
inline constexpr size_t kOffKeyBuffer = 53;     // t: key buffers hold t + 5 bytes
inline constexpr size_t kOffKeyCount = 54;      // n
inline constexpr size_t kOffSegmentCount = 55;  // BE16 s: segments over all keys
inline constexpr size_t kFixedSize = 58;

// The header region: the key roots below offset 2048 (key n - 1 first, key 0 last), the counters
// from 2048 and the map directory from 2084.  The engine rewrites it in one piece.
inline constexpr size_t kOffRootsEnd = 2048;
inline constexpr size_t kOffChangeCounter = 2048;   // BE64
inline constexpr size_t kOffRecordCount = 2056;     // BE64
inline constexpr size_t kOffInsertSequence = 2064;  // BE64
inline constexpr size_t kOffHighestBlock = 2072;    // BE32
inline constexpr size_t kOffGroupCount = 2076;      // BE16 D
inline constexpr size_t kOffRegionSpare = 2078;     // 6 bytes carried as read
inline constexpr size_t kOffDirectory = 2084;       // D bytes
inline constexpr size_t kCountersSize = kOffDirectory - kOffChangeCounter;  // 36

// Flags A (byte 49).
inline constexpr uint8_t kFullLengthKeys = 0x04;  // caller keys compared at full length
inline constexpr uint8_t kSeparatorGiven = 0x08;  // the separator is byte 52
inline constexpr uint8_t kLengthCoded = 0x10;     // fields carry length codes (wins over 0x08)
inline constexpr uint8_t kStepBackIgnoringSuffixOnly = 0x40;
// Flags B (byte 50).
inline constexpr uint8_t kCompressed = 0x01;
inline constexpr uint8_t kAlwaysLockedNewOnUpdate = 0x08;
// Flags C (byte 51).
inline constexpr uint8_t kLargeFile = 0x08;

inline constexpr unsigned kMinBlockCode = 3;    // 4096-byte blocks at least
inline constexpr unsigned kMaxKeyBuffer = 250;  // t + 5 must fit a byte

// ---- blocks ----------------------------------------------------------------------------------

inline constexpr size_t kBlockHead = 6;  // type, BE32 number, count
inline constexpr uint8_t kTypeReleased = 0x00;
inline constexpr uint8_t kTypeData = 0x80;
inline constexpr uint8_t kTypeDictionary = 0xFB;
inline constexpr uint8_t kTypeMap = 0xFC;
inline constexpr uint8_t kTypeKeyDescriptor = 0xFD;
inline constexpr uint8_t kTypeKey = 0xFE;

inline uint8_t blockType(std::span<const uint8_t> block) {
    return block.empty() ? 0 : block[0];
}
// The number in a block's head: its logical number, for a map block its physical one.  0 when
// the span is shorter than a head.
inline uint32_t blockNumber(std::span<const uint8_t> block) {
    return block.size() < kBlockHead ? 0 : common::getBe32(block.data() + 1);
}
inline uint8_t blockCount(std::span<const uint8_t> block) {
    return block.size() < kBlockHead ? 0 : block[5];
}
// Writes type, number and count; the span must hold a head.
void putBlockHead(std::span<uint8_t> block, uint8_t type, uint32_t number, uint8_t count);

// True for the types a block may carry on disk.
bool knownBlockType(uint8_t type);

// ---- record addresses ------------------------------------------------------------------------

// A record address is logical block number * 256 + slot.  Block numbers have 23 bits; slot 0
// names no record.
inline constexpr uint32_t kMaxAddressBlock = 0x7FFFFF;

struct RecordAddress {
    uint32_t block = 0;
    unsigned slot = 0;
};
inline RecordAddress splitAddress(uint32_t address) {
    return {address >> 8, address & 0xFF};
}
inline uint32_t makeAddress(uint32_t block, unsigned slot) {
    return (block << 8) | (slot & 0xFF);
}
// A block of 1..0x7FFFFF and a slot of 1..255.
inline bool addressValid(uint32_t address) {
    const RecordAddress a = splitAddress(address);
    return a.block >= 1 && a.block <= kMaxAddressBlock && a.slot >= 1;
}

// ---- map blocks and the directory ------------------------------------------------------------

// A map entry: the usage byte of a logical number and the BE24 physical place that holds it
// (0 = not yet assigned, which reads as the number itself).
struct MapEntry {
    uint8_t usage = 0;
    uint32_t physical = 0;
    bool operator==(const MapEntry&) const = default;
};
inline constexpr size_t kMapEntrySize = 4;
inline constexpr uint32_t kMaxPhysical = 0xFFFFFF;

// Usage bytes.
inline constexpr uint8_t kUsageFree = 0x00;
inline constexpr uint8_t kUsageData = 0x80;  // | fill class 1..15; 0x80 alone is class 0
inline constexpr uint8_t kUsageDataLast = 0x8F;
inline constexpr uint8_t kUsageDictionary = kTypeDictionary;
inline constexpr uint8_t kUsageMap = kTypeMap;
inline constexpr uint8_t kUsageKeyDescriptor = kTypeKeyDescriptor;
inline constexpr uint8_t kUsageKey = kTypeKey;
// Entries 0 and 1 of every group are the group's two map copies.
inline constexpr unsigned kFirstNonMapEntry = 2;

inline size_t mapEntryOffset(unsigned index) {
    return kBlockHead + kMapEntrySize * index;
}
// Entry `index` of a map block; the caller keeps the index below E.
MapEntry readMapEntry(std::span<const uint8_t> map, unsigned index);
void writeMapEntry(std::span<uint8_t> map, unsigned index, MapEntry entry);

// Map-directory byte, one per group.
inline constexpr uint8_t kDirSecondCopy = 0x80;  // current copy at g * E + 2, else g * E + 1
inline constexpr uint8_t kDirMayHaveFree = 0x40;
inline constexpr uint8_t kDirChanged = 0x20;   // map changed since the last map commit
inline constexpr uint8_t kDirFillMask = 0x0F;  // best fill class of the group's data blocks

// ---- sizes that follow from the header -------------------------------------------------------

inline constexpr uint32_t kLargeFileBlockLimit = 0x7FFFFF;
inline constexpr uint64_t kSmallFileBytes = 0x7FFFFFFF;
// A 32-bit file offset may reach this and no further.
inline constexpr uint64_t kSmallFileOffsetLimit = 0x80000000;

struct Geometry {
    uint32_t blockSize = 0;
    uint32_t entriesPerMap = 0;  // E = (block size - 6) / 4, also the numbers of one group
    uint32_t maxGroups = 0;      // the directory's room: block size - 2084
    uint32_t blockLimit = 0;     // block numbers, logical and physical, stay at or below it
    bool largeFile = false;

    // The group and entry of logical (or physical) number x >= 1.
    uint32_t groupOf(uint32_t x) const { return (x - 1) / entriesPerMap; }
    unsigned entryOf(uint32_t x) const { return (x - 1) % entriesPerMap; }
    uint32_t numberAt(uint32_t group, unsigned entry) const {
        return group * entriesPerMap + entry + 1;
    }
    // The physical places of a group's two map copies.
    uint32_t mapCopy(uint32_t group, bool second) const {
        return group * entriesPerMap + (second ? 2 : 1);
    }
    // True when physical place p is one of the map copies of its group.
    bool isMapPlace(uint32_t p) const { return p >= 1 && entryOf(p) < kFirstNonMapEntry; }
};

// The geometry of block-size code `code`: MDK_E_FILETYPE below code 3.  The block limit is
// 0x7FFFFF in large-file mode and 0x7FFFFFFF / block size otherwise (the file stays below 2 GB),
// and no more than E * (block size - 2084) numbers exist.
int makeGeometry(uint8_t code, bool largeFile, Geometry& out);

// The file offset of physical block p.  MDK_E_FULL when a file without large-file mode would
// pass 0x80000000.
int blockOffset(const Geometry& g, uint32_t physical, uint64_t& offset);

// ---- the header codec ------------------------------------------------------------------------

// Bytes 0..57 of block 0.  `raw` keeps them as read, so that a rewrite (drop key) changes only
// the fields it sets and carries the rest.
struct FixedHeader {
    std::array<uint8_t, kFixedSize> raw{};
    int16_t maxDataLength = 0;
    uint64_t maxRecords = 0;
    int16_t keyAreaSize = 0;  // k
    uint32_t keyDescriptors = 0;
    uint32_t dictionary = 0;
    std::array<uint8_t, 4> identity{};
    uint64_t reported = 0;
    uint8_t blockCode = 0;
    uint8_t flagsA = 0, flagsB = 0, flagsC = 0;
    uint8_t separatorByte = 0;
    uint8_t keyBuffer = 0;      // t
    uint8_t keyCount = 0;       // n
    uint16_t segmentCount = 0;  // s

    bool largeFile() const { return (flagsC & kLargeFile) != 0; }
    bool compressed() const { return (flagsB & kCompressed) != 0; }
    uint32_t blockSize() const { return (uint32_t{blockCode} + 1) * 1024; }
    // The field separator, or -1 when fields are length-coded.
    int separator() const;
    // R: k + maximum data length + 11, plus 1 when compressed; 9 when that is below 5.
    int recordBufferLength() const;
    size_t keyBufferSize() const { return size_t{keyBuffer} + 5; }
    // First byte of the header region: 2048 - 4n.
    size_t regionStart() const { return kOffRootsEnd - 4 * size_t{keyCount}; }
};

// Decodes bytes 0..57 (more may be given).  MDK_E_FILETYPE for fewer than 58 bytes, another
// magic, a block-size code below 3, t above 250, no key, a negative k or maximum data length.
int decodeFixedHeader(std::span<const uint8_t> bytes, FixedHeader& out);
// Writes the fields over `raw` into out[0..57] (out.size() >= 58).
void encodeFixedHeader(const FixedHeader& h, std::span<uint8_t> out);

struct HeaderRegion {
    std::vector<uint32_t> roots;  // root key block of each key, key 0 first; 0 = empty tree
    uint64_t changeCounter = 0;
    uint64_t recordCount = 0;
    uint64_t insertSequence = 0;
    uint32_t highestBlock = 0;
    std::array<uint8_t, 6> spare{};  // bytes 2078..2083, carried as read
    std::vector<uint8_t> directory;  // D bytes

    uint16_t groupCount() const { return static_cast<uint16_t>(directory.size()); }
    // Bytes of the region: 4n + 36 + D.
    size_t size() const { return 4 * roots.size() + kCountersSize + directory.size(); }
};

// The BE16 D of a region read from offset 2048 - 4n (`region` starts there), or -1 when the
// span is too short to hold it.  The engine reads the region again when D differs from the one
// it read with.
int regionGroupCount(std::span<const uint8_t> region, unsigned keyCount);

// Decodes a header region of `keyCount` keys: `region` starts at block 0 offset 2048 - 4n and
// holds 4n + 36 + D bytes at least.  MDK_E_BUFFER when it is shorter, when D is 0 or above the
// directory's room, when the highest block number is below group 0's two map copies or beyond the
// block limit, or when a root is not a block number of the file.
int decodeHeaderRegion(std::span<const uint8_t> region, const Geometry& g, unsigned keyCount,
                       HeaderRegion& out);
// Writes the region back, 4n + 36 + D bytes, into `out` (which starts at 2048 - 4n).  Returns
// the bytes written, or 0 when `out` is too short.
size_t encodeHeaderRegion(const HeaderRegion& r, std::span<uint8_t> out);

// ---- data records ----------------------------------------------------------------------------

inline constexpr uint8_t kOverflowPart = 0x80;  // key length byte: a later part of a record
inline constexpr uint16_t kHasLink = 0x8000;    // data length: the record carries a link
inline constexpr size_t kSerialSize = 4;
inline constexpr size_t kLinkSize = 4;

// A data record: key length byte (bit 7 = overflow part), k bytes of key area, BE16 data length
// (bit 15 = link follows), the data, the BE32 record serial and, with bit 15, the BE32 address of
// the record's next part.
struct DataRecord {
    uint8_t keyLength = 0;  // low 7 bits of byte 0
    bool overflowPart = false;
    std::span<const uint8_t> keyArea;  // k bytes
    std::span<const uint8_t> data;     // L stored bytes
    bool hasLink = false;
    uint32_t serial = 0;
    uint32_t link = 0;  // 0 without a link
    size_t size = 0;    // bytes the record occupies
};

// The bytes a record of key area k, L stored data bytes and an optional link occupies.
inline size_t dataRecordSize(size_t keyArea, size_t dataLength, bool link) {
    return 1 + keyArea + 2 + dataLength + kSerialSize + (link ? kLinkSize : 0);
}

struct RecordLimits {
    size_t keyArea = 0;        // k
    size_t maxDataLength = 0;  // uncompressed data of one part
    size_t bufferLength = 0;   // R
    bool compressed = false;
};
RecordLimits recordLimits(const FixedHeader& h);

// Decodes the record at the start of `bytes` (which run to the end of the block).  Returns 0,
// MDK_E_KEYSIZE (12) for a key length above k, MDK_E_RECSIZE (13) for a stored size k + 3 + L
// above R or, uncompressed, data above the maximum data length, MDK_E_OFFSET (9) when the record
// runs past `bytes`.
int decodeDataRecord(std::span<const uint8_t> bytes, const RecordLimits& limits, DataRecord& out);

// Lays out a record into out[0..dataRecordSize); false when `out` is too short, the key is
// longer than the key area or 127 bytes, or the data longer than 0x7FFF bytes.
bool encodeDataRecord(std::span<uint8_t> out, size_t keyArea, std::span<const uint8_t> key,
                      bool overflowPart, std::span<const uint8_t> data, uint32_t serial,
                      uint32_t link, bool withLink);

// ---- chained records (dictionary and key-descriptor chains) ----------------------------------

inline constexpr size_t kChainHead = 10;  // next, previous, BE16 total length

struct ChainedRecord {
    uint32_t next = 0;  // 0 = last of the chain
    uint32_t previous = 0;
    std::span<const uint8_t> payload;
    size_t size = 0;  // total length, head included
};

// Decodes the chained record at the start of `bytes` (which run to the end of the block).
// MDK_E_BUFFER when the total length is below the 10-byte head, above the block size or beyond
// `bytes`.
int decodeChainedRecord(std::span<const uint8_t> bytes, uint32_t blockSize, ChainedRecord& out);
// Lays out a chained record; false when `out` is shorter than 10 + payload or the total length
// passes 0xFFFF.
bool encodeChainedRecord(std::span<uint8_t> out, uint32_t next, uint32_t previous,
                         std::span<const uint8_t> payload);

// ---- key descriptors -------------------------------------------------------------------------

// Key flags (payload bytes 26..27).  On key 0, 0x01 gives its stored entries a 4-byte suffix and
// 0x20 makes that suffix the record serial (searched by prefix, duplicates allowed); on an
// alternate key 0x01 makes the key unique.
inline constexpr uint16_t kKeySuffixed = 0x0001;
inline constexpr uint16_t kKeyUnique = 0x0001;
inline constexpr uint16_t kKeySerialSuffix = 0x0020;

// Segment flags this engine acts on beyond the common option bits: complement (descending).
inline constexpr uint32_t kSegDescending = 0x0080;

inline constexpr size_t kKeyDescriptorHead = 28;
inline constexpr size_t kSegmentSize = 10;

// One 10-byte segment as it stands in the file.
struct SegmentDescriptor {
    uint8_t length = 0;  // with kSegDescending only bits 0..6 count
    uint8_t nullByte = 0;
    uint32_t flags = 0;
    uint16_t field = 0;  // 0 whole data, n field n, 0xFFFF key area
    uint16_t offset = 0;
};

// The payload of one record of the key-descriptor chain; the uninterpreted bytes are kept so
// that an encode gives back what was read.
struct KeyDescriptor {
    std::array<uint8_t, kKeyDescriptorHead> head{};  // bytes 0..27 as read
    uint16_t keyFlags = 0;
    std::vector<SegmentDescriptor> segments;
};

// Decodes a payload: MDK_E_BUFFER when it is shorter than its 28-byte head and segments.
int decodeKeyDescriptor(std::span<const uint8_t> payload, KeyDescriptor& out);
// The payload of `d` (head with its segment count and key flags, then the segments).
std::vector<uint8_t> encodeKeyDescriptor(const KeyDescriptor& d);

// The common key layout of the file from its header and its key descriptors (key 0 first).
// Alternate keys end in a 4-byte suffix, key 0 when it has kKeySuffixed; KeyDesc::flags holds the
// key flags as stored, less kKeySerialSuffix on a key 0 without a suffix.  MDK_E_FILETYPE when
// the descriptors are not exactly n keys of s segments in all, when a key has no segment or a
// segment of length 0, or when a key is longer than the key buffers (t bytes besides the suffix)
// or than two entries of a key block allow.
int buildKeyLayout(const FixedHeader& h, std::span<const KeyDescriptor> keys,
                   common::KeyLayout& out);

// Key 0 with a serial suffix and every alternate key are searched by their bytes without the
// suffix; key 0 of any other file by all of its bytes.
bool searchedByPrefix(const common::KeyLayout& layout, size_t key);
// Key 0 is checked for duplicates unless its suffix is the serial; an alternate key when unique.
bool checkedForDuplicates(const common::KeyLayout& layout, size_t key);

}  // namespace mdnio::extended
