#include "common/describe.h"

namespace mdnio::common {

namespace {

// A header flag bit and the bit it becomes in describeFlags.
struct FlagBit {
    uint8_t from;
    int32_t to;
};

constexpr FlagBit kFirstByte[] = {{0x01, 1}, {0x04, 2}, {0x08, 4}, {0x10, 8}, {0x80, 16}};
constexpr FlagBit kSecondByte[] = {
    {0x01, 32}, {0x02, 64}, {0x04, 128}, {0x08, 0x100}, {0x10, 0x200}};

}  // namespace

int32_t describeFlags(uint8_t first, uint8_t second) {
    int32_t flags = 0;
    for (const FlagBit& b : kFirstByte)
        if (first & b.from) flags |= b.to;
    for (const FlagBit& b : kSecondByte)
        if (second & b.from) flags |= b.to;
    return flags;
}

}  // namespace mdnio::common
