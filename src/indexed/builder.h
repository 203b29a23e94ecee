// Making new, empty indexed files.
#pragma once

#include <cstdint>
#include <string>

namespace mdnio::indexed {

// The field separator a new file declares.
struct SeparatorChoice {
    enum class Kind { Standard, Byte, None };
    Kind kind = Kind::Standard;
    uint8_t byte = 0;

    static SeparatorChoice standard() { return {}; }                  // 0x8A, no flag
    static SeparatorChoice of(uint8_t b) { return {Kind::Byte, b}; }  // flag 0x08 and the byte
    static SeparatorChoice none() { return {Kind::None, 0}; }         // flag 0x10
};

// Creates `path` (which must not exist) as an indexed file with no records: the 512-byte
// header with the magic, the record length, the maximum record count (0: no limit), a record
// count of 0 and the separator flags.  Answers 0, 7 for a record length outside 1 to 32767,
// 1 when the file cannot be created, or 19 when its header cannot be written (the file is then
// left as far as it got).
int buildIndexedFile(const std::string& path, int recordLength, uint32_t maxRecords,
                     SeparatorChoice separator = SeparatorChoice::standard());

}  // namespace mdnio::indexed
