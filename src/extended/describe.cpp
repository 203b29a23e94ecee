// An extended file as the catalog describes it: the header's fields and 64-bit counts, the key
// layout with its names, and the current key for the restricted reads.
#include <algorithm>
#include <cstdio>

#include "common/describe.h"
#include "extended/extended.h"

namespace mdnio::extended {

namespace {

int32_t word(const uint8_t* p) {
    return static_cast<int32_t>(common::getBe32(p));
}

int32_t low(uint64_t v) {
    return static_cast<int32_t>(static_cast<uint32_t>(v));
}
int32_t high(uint64_t v) {
    return static_cast<int32_t>(static_cast<uint32_t>(v >> 32));
}

constexpr size_t kNameFrom = 2;  // descriptor payload bytes 2..25 may hold the key's name
constexpr size_t kNameBytes = 24;

}  // namespace

std::string keyNameOf(const KeyDescriptor& d, size_t key) {
    const uint8_t* name = d.head.data() + kNameFrom;
    if (name[0] > ' ' && name[0] < 0x7F) {
        const size_t n = static_cast<size_t>(std::find(name, name + kNameBytes, 0) - name);
        return std::string(reinterpret_cast<const char*>(name), n);
    }
    return "#" + std::to_string(key + 1);
}

// Capacity (10..17), value5 (40..47), value7 (the identity, 36..39), the flag bytes 49 and 50,
// the block-size code (48) plus 1, the segment count (55..56) and flags C (51).
void describeHeader(std::span<const uint8_t, kFixedSize> header, uint64_t recordCount,
                    MdkFileInfo& info) {
    const uint8_t* h = header.data();
    info.capacityLow = word(h + kOffMaxRecords + 4);
    info.capacityHigh = word(h + kOffMaxRecords);
    info.recordCountLow = low(recordCount);
    info.recordCountHigh = high(recordCount);
    info.value5Low = word(h + kOffReported + 4);
    info.value5High = word(h + kOffReported);
    info.value7 = word(h + kOffIdentity);
    info.describeFlags = common::describeFlags(h[kOffFlagsA], h[kOffFlagsB]);
    info.formatCode = MDK_FORMAT_KEYED2;
    info.blockSizeCode = h[kOffBlockCode] + 1;
    info.segmentCount = common::getBe16(h + kOffSegmentCount);
    info.flagsC = h[kOffFlagsC];
}

void describeFile(MdkFile* f, MdkFileInfo* info) {
    const ExtShared* s = X(f)->sh();
    describeHeader(std::span<const uint8_t, kFixedSize>(s->fixed.raw), s->region.recordCount,
                   *info);
    info->maxDataLength = s->fixed.maxDataLength;
    info->keyCount = static_cast<int32_t>(s->layout.keyCount());
    // The description's byte for "no separator" (length-coded fields) is 0xFF.
    info->separator = static_cast<uint8_t>(s->separator);
}

KeyShape keyLayoutOf(MdkFile* f, common::KeyLayout* out) {
    *out = X(f)->sh()->layout;
    return KeyShape::Layout;
}

// The buffer holds t + 5 bytes, so both counts are bounded by it.
CurrentKey currentKeyOf(MdkFile* mf) {
    const ExtFile* f = X(mf);
    const common::KeyLayout& layout = f->sh()->layout;
    const size_t capacity = f->current.size() - 1;
    CurrentKey key;
    key.bytes = f->current.data() + 1;
    key.stored = std::min<size_t>(f->current[0], capacity);
    const size_t k = static_cast<size_t>(f->curKey);
    const size_t length = k < layout.keyCount() ? layout.keys[k].searchableLength() : 0;
    key.length = static_cast<int32_t>(std::min(length, capacity));
    return key;
}

}  // namespace mdnio::extended
