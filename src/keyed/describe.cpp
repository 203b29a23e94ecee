#include "keyed/describe.h"

#include <algorithm>

#include "common/describe.h"
#include "keyed/keyed.h"

namespace mdnio::keyed {

namespace {

int32_t headerWord(const uint8_t* h, int at) {
    return static_cast<int32_t>(common::getBe32(h + at));
}

// The separator as the description's byte: "none" (-1) shows as 0xFF.
uint8_t separatorByte(int32_t separator) {
    return static_cast<uint8_t>(separator);
}

}  // namespace

// The buffer holds the largest value of the file, so both counts are bounded by it.
CurrentKey currentKeyOf(MdkFile* f) {
    const size_t capacity = static_cast<size_t>(std::max(f->shared->keyBufferSize, 1)) - 1;
    const uint8_t* buffer = f->keyBuffer;
    CurrentKey key;
    key.bytes = buffer + 1;
    key.stored = std::min<size_t>(buffer[0], capacity);
    key.length =
        static_cast<int32_t>(std::min<size_t>(static_cast<size_t>(currentKeyLength(f)), capacity));
    return key;
}

// From the header: capacity (maximum record count), record count, value5 (the word after the
// file identity), value7 (the file identity), the two flag bytes, block-size code plus 1.  The
// high halves are 0; flagsC is not set.
void describeFile(MdkFile* f, MdkFileInfo* info) {
    const KeyedShared* s = K(f)->sh();
    const uint8_t* h = s->header;
    info->capacityLow = headerWord(h, kOffMaxRecords);
    info->capacityHigh = 0;
    info->recordCountLow = headerWord(h, kOffRecordCount);
    info->recordCountHigh = 0;
    info->value5Low = headerWord(h, kOffIdentity + 4);
    info->value5High = 0;
    info->value7 = headerWord(h, kOffIdentity);
    info->describeFlags = common::describeFlags(h[kOffFlagsA], h[kOffFlagsB]);
    info->formatCode = MDK_FORMAT_KEYED;
    info->blockSizeCode = static_cast<int8_t>(h[kOffBlockCode]) + 1;
    info->maxDataLength = s->maxDataLength;
    info->keyCount = static_cast<int32_t>(s->layout.keyCount());
    // The segments of every key, as MDDescribeIndex numbers them from key 0 on.
    info->segmentCount = static_cast<int32_t>(s->layout.segments.size());
    info->separator = separatorByte(s->separator);
}

KeyShape keyLayoutOf(MdkFile* f, common::KeyLayout* out) {
    *out = K(f)->sh()->layout;
    return KeyShape::Layout;
}

}  // namespace mdnio::keyed
