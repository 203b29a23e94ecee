// What the indexed engine tells the rest of the library about an open file, through the slots
// of its operation table after the exported operations.
#include "common/describe.h"
#include "common/bytes.h"
#include "indexed/format.h"
#include "indexed/ops.h"

namespace mdnio::indexed {

// The key is the record number as eight digits, kept after the length byte.
CurrentKey currentKeyOf(MdkFile* f) {
    return CurrentKey{f->keyBuffer + 1, kKeyDigits, kKeyDigits};
}

// From the header fields: capacity, record count and the first flag byte.  value7 and flagsC
// are not set; value5 and the block-size code are 0; one key of one segment.
void describeFile(MdkFile* f, MdkFileInfo* info) {
    const MdkSharedFile* s = f->shared;
    const uint8_t* h = s->header;
    info->capacityLow = static_cast<int32_t>(common::getBe32(h + kAtMaxRecords));
    info->capacityHigh = 0;
    info->recordCountLow = static_cast<int32_t>(common::getBe32(h + kAtRecordCount));
    info->recordCountHigh = 0;
    info->value5Low = 0;
    info->value5High = 0;
    info->describeFlags = common::describeFlags(h[kAtFlags], 0);
    info->formatCode = MDK_FORMAT_INDEXED;
    info->keyCount = 1;
    info->blockSizeCode = 0;
    info->segmentCount = 1;
    info->maxDataLength = s->maxDataLength;
    // "None" (-1) shows as 0xFF.
    info->separator = static_cast<uint8_t>(s->separator);
}

KeyShape keyLayoutOf(MdkFile*, common::KeyLayout*) {
    return KeyShape::RecordNumber;
}

}  // namespace mdnio::indexed
