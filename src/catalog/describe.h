// File and index descriptions (MDDescribeFile, MDDescribeIndex) built from a file's header
// bytes and key layout.  These functions only format what they are given; facts.h takes the
// inputs from an open file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/keydesc.h"
#include "mdnio.h"

namespace mdnio::catalog {

// MdkFileInfo::formatCode.
inline constexpr int32_t kFormatIndexed = 1;
inline constexpr int32_t kFormatClassic = 2;
inline constexpr int32_t kFormatExtended = 3;

// The two header flag bytes as one word: from the first byte 0x01 -> 1, 0x04 -> 2, 0x08 -> 4,
// 0x10 -> 8, 0x80 -> 16; from the second 0x01 -> 32, 0x02 -> 64, 0x04 -> 128, 0x08 -> 0x100,
// 0x10 -> 0x200.  Other bits are not reported.
int32_t describeFlags(uint8_t first, uint8_t second);

// The header-derived fields of a classic file (a 256-byte header): capacity (maximum record
// count, 10), record count (14), value5 (the word after the file identity, 236), value7 (the
// file identity, 232), flags A (241) and B (255), block-size code (240) plus 1.  The high
// halves are 0; flagsC is not set.
void describeClassicHeader(std::span<const uint8_t, 256> header, MdkFileInfo& info);

// The same for an extended file from the first 58 bytes of its header block and its 64-bit
// record count (kept beyond those bytes): capacity (10..17), value5 (40..47), value7 (36..39),
// flags (49, 50), block-size code (48) plus 1, segment count (55..56), flagsC (51).
inline constexpr size_t kExtendedHeaderFields = 58;
void describeExtendedHeader(std::span<const uint8_t, kExtendedHeaderFields> header,
                            uint64_t recordCount, MdkFileInfo& info);

// An indexed file from the first 20 header bytes: capacity (10), record count (14), flags (18,
// the first flag byte only).  value7 and flagsC are not set; value5 and the block-size code
// are 0; one key of one segment.
void describeIndexedHeader(std::span<const uint8_t, 20> header, MdkFileInfo& info);

// The keys of a keyed file from `firstKey` on, as MDDescribeIndex answers them.
//   When the file has fewer keys than *keyCountInOut, or when no key records are wanted,
//   *keyCountInOut is 0 and *segmentCountOut is not -1, *keyCountInOut becomes the number of
//   keys.  Key records go to keyRecords[k - firstKey] for firstKey <= k < *keyCountInOut;
//   their segments are numbered from 1 across all keys described, go to segmentRecords[n - 1],
//   and *segmentCountOut is raised to the highest number.
// False (nothing written) when firstKey is negative or above the number of keys.
bool describeKeys(const common::KeyLayout& layout, int32_t firstKey, int32_t* keyCountInOut,
                  int32_t* segmentCountOut, MdkKeyInfo* keyRecords, MdkSegmentInfo* segmentRecords);

// The one key of an indexed file: its record number, 8 digits.
void describeRecordNumberKey(MdkKeyInfo* keyRecord, MdkSegmentInfo* segmentRecord);

// One key's and one segment's record.  Key names are "#n" with n the key number MDK_seek
// takes (key 0 is "#1").  A descending segment shows bit 0x80 in its length byte and flags.
void describeKey(const common::KeyLayout& layout, size_t key, MdkKeyInfo& out);
void describeSegment(const common::Segment& segment, MdkSegmentInfo& out);

}  // namespace mdnio::catalog
