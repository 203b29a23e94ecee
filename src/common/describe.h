// The parts of a file description (MDDescribeFile) that every kind forms the same way.
#pragma once

#include <cstdint>

namespace mdnio::common {

// The two header flag bytes as one word: from the first byte 0x01 -> 1, 0x04 -> 2, 0x08 -> 4,
// 0x10 -> 8, 0x80 -> 16; from the second 0x01 -> 32, 0x02 -> 64, 0x04 -> 128, 0x08 -> 0x100,
// 0x10 -> 0x200.  Other bits are not reported.
int32_t describeFlags(uint8_t first, uint8_t second);

}  // namespace mdnio::common
