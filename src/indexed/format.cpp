#include "indexed/format.h"

#include <cstring>

#include "common/bytes.h"

namespace mdnio::indexed {

using common::getBe16;
using common::getBe32;
using common::putBe16;
using common::putBe32;

int32_t Header::separator() const {
    if (flags & kFlagNoSeparator) return kNoSeparator;
    if (flags & kFlagSeparatorGiven) return separatorByte;
    return kDefaultSeparator;
}

bool hasIndexedMagic(const uint8_t* fields) {
    return std::memcmp(fields + kAtMagic, kMagic, 8) == 0 ||
           std::memcmp(fields + kAtMagic, kOldMagic, 8) == 0;
}

Header decodeHeader(const uint8_t* fields) {
    Header h;
    h.recordLength = static_cast<int16_t>(getBe16(fields + kAtRecordLength));
    h.maxRecords = getBe32(fields + kAtMaxRecords);
    h.recordCount = getBe32(fields + kAtRecordCount);
    h.flags = fields[kAtFlags];
    h.separatorByte = fields[kAtSeparator];
    return h;
}

void encodeHeader(const Header& header, uint8_t* fields) {
    putBe16(fields + kAtRecordLength, static_cast<uint16_t>(header.recordLength));
    putBe32(fields + kAtMaxRecords, header.maxRecords);
    putBe32(fields + kAtRecordCount, header.recordCount);
    fields[kAtFlags] = header.flags;
    fields[kAtSeparator] = header.separatorByte;
}

void encodeRecordCount(uint8_t* fields, uint32_t count) {
    putBe32(fields + kAtRecordCount, count);
}

}  // namespace mdnio::indexed
