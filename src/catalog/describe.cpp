#include "catalog/describe.h"

#include <cstdio>
#include <cstring>

#include "common/bytes.h"
#include "common/describe.h"

namespace mdnio::catalog {

void describeKey(const common::KeyLayout& layout, size_t key, MdkKeyInfo& out) {
    const common::KeyDesc& k = layout.keys[key];
    out = MdkKeyInfo{};
    out.keyLength = static_cast<int32_t>(k.searchableLength());
    out.segmentCount = k.segmentCount;
    out.keyFlags = k.flags;
    out.zero = 0;
    std::snprintf(out.keyName, sizeof out.keyName, "#%d", static_cast<int>(key) + 1);
}

void describeSegment(const common::Segment& segment, MdkSegmentInfo& out) {
    out = MdkSegmentInfo{};
    out.segLength = static_cast<uint8_t>(segment.length | (segment.descending ? 0x80 : 0));
    out.segByte1 = segment.nullByte;
    out.segFlags = segment.options | (segment.descending ? MDK_SEG_DESCENDING : 0);
    out.segField = segment.field == common::kKeyAreaField ? MDK_SEGMENT_KEY_AREA : segment.field;
    out.segValue = segment.offset;
}

bool describeKeys(const common::KeyLayout& layout, int32_t firstKey, int32_t* keyCountInOut,
                  int32_t* segmentCountOut, MdkKeyInfo* keyRecords,
                  MdkSegmentInfo* segmentRecords) {
    const int32_t keys = static_cast<int32_t>(layout.keyCount());
    if (firstKey < 0 || firstKey > keys) return false;
    if (keys < *keyCountInOut || (!keyRecords && *keyCountInOut == 0 && *segmentCountOut != -1))
        *keyCountInOut = keys;
    int32_t number = 0;
    for (int32_t k = firstKey; k < *keyCountInOut; ++k) {
        if (keyRecords) describeKey(layout, static_cast<size_t>(k), keyRecords[k - firstKey]);
        for (const common::Segment& s : layout.segmentsOf(static_cast<size_t>(k))) {
            ++number;
            if (segmentRecords) describeSegment(s, segmentRecords[number - 1]);
            if (number > *segmentCountOut) *segmentCountOut = number;
        }
    }
    return true;
}

void describeRecordNumberKey(MdkKeyInfo* keyRecord, MdkSegmentInfo* segmentRecord) {
    if (keyRecord) {
        *keyRecord = MdkKeyInfo{};
        keyRecord->keyLength = 8;
        keyRecord->segmentCount = 1;
        std::snprintf(keyRecord->keyName, sizeof keyRecord->keyName, "#1");
    }
    if (segmentRecord) {
        *segmentRecord = MdkSegmentInfo{};
        segmentRecord->segLength = 8;
        segmentRecord->segField = MDK_SEGMENT_KEY_AREA;
    }
}

}  // namespace mdnio::catalog
