#include "indexed/builder.h"

#include <cstring>

#include "indexed/format.h"
#include "mdnio.h"
#include "platform/platform.h"

namespace mdnio::indexed {

namespace {

// The record length is a signed 16-bit field.
constexpr int kLongestRecord = 32767;

Header headerFor(int recordLength, uint32_t maxRecords, SeparatorChoice separator) {
    Header h;
    h.recordLength = recordLength;
    h.maxRecords = maxRecords;
    switch (separator.kind) {
        case SeparatorChoice::Kind::Standard:
            break;
        case SeparatorChoice::Kind::Byte:
            h.flags = kFlagSeparatorGiven;
            h.separatorByte = separator.byte;
            break;
        case SeparatorChoice::Kind::None:
            h.flags = kFlagNoSeparator;
            break;
    }
    return h;
}

}  // namespace

int buildIndexedFile(const std::string& path, int recordLength, uint32_t maxRecords,
                     SeparatorChoice separator) {
    if (recordLength < 1 || recordLength > kLongestRecord) return MDK_E_LENGTH;
    uint8_t header[kHeaderSize] = {};
    std::memcpy(header + kAtMagic, kMagic, 8);
    encodeHeader(headerFor(recordLength, maxRecords, separator), header);

    int fd = platform::createFile(path.c_str());
    if (fd < 0) return MDK_E_OPEN;
    platform::IoResult io = platform::writeAt(fd, header, sizeof header, 0);
    platform::closeFile(fd);
    if (io.status != platform::IoStatus::Ok || io.count != kHeaderSize) return MDK_E_WRITE;
    return 0;
}

}  // namespace mdnio::indexed
