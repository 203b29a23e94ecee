// Index descriptions (MDDescribeIndex) built from a file's key layout.  These functions only
// format what they are given; facts.h takes the inputs from an open file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/keydesc.h"
#include "mdnio.h"

namespace mdnio::catalog {

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
