// The on-disk layout of an indexed file: a 512-byte header, then fixed-length records addressed
// by their number (record n at 512 + n x record length).  Only the first 20 header bytes carry
// anything; every multi-byte number is big-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mdnio::indexed {

constexpr int64_t kHeaderSize = 512;
constexpr size_t kHeaderFields = 20;  // the bytes of the header that are read and written

// Byte offsets of the header fields.
constexpr size_t kAtMagic = 0;         // 8 bytes
constexpr size_t kAtRecordLength = 8;  // signed 16-bit
constexpr size_t kAtMaxRecords = 10;   // 32-bit; 0 means no limit
constexpr size_t kAtRecordCount = 14;  // 32-bit: the number of the first unwritten record
constexpr size_t kAtFlags = 18;
constexpr size_t kAtSeparator = 19;

constexpr uint8_t kFlagSeparatorGiven = 0x08;  // the separator byte is at kAtSeparator
constexpr uint8_t kFlagNoSeparator = 0x10;     // no separator; wins over kFlagSeparatorGiven
constexpr int32_t kDefaultSeparator = 0x8A;
constexpr int32_t kNoSeparator = -1;

constexpr char kMagic[] = "[Mdnind]";
constexpr char kOldMagic[] = "[Tjwind]";  // older files; read the same way

// The key of a record is its number as at most this many decimal digits, so no record beyond
// kLastRecord can be named.
constexpr int kKeyDigits = 8;
constexpr int64_t kLastRecord = 99'999'999;

// The decoded header fields.
struct Header {
    int32_t recordLength = 0;
    uint32_t maxRecords = 0;
    uint32_t recordCount = 0;
    uint8_t flags = 0;
    uint8_t separatorByte = 0;

    // The field separator the flags select: kNoSeparator, the given byte, or the default.
    int32_t separator() const;
};

bool hasIndexedMagic(const uint8_t* fields);
Header decodeHeader(const uint8_t* fields);
// Writes every field but the magic into `fields`.
void encodeHeader(const Header& header, uint8_t* fields);
void encodeRecordCount(uint8_t* fields, uint32_t count);

// Where record `number` starts.
inline int64_t recordOffset(int32_t recordLength, int64_t number) {
    return kHeaderSize + number * recordLength;
}

}  // namespace mdnio::indexed
