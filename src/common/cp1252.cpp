#include "common/cp1252.h"

namespace mdnio::common {

namespace {

constexpr ByteTable identity() {
    ByteTable t{};
    for (int i = 0; i < 256; ++i)
        t[i] = static_cast<uint8_t>(i);
    return t;
}

constexpr void mapRange(ByteTable& t, int first, int last, int target) {
    for (int i = first; i <= last; ++i)
        t[i] = static_cast<uint8_t>(target + (i - first));
}

constexpr void mapRangeTo(ByteTable& t, int first, int last, char letter) {
    for (int i = first; i <= last; ++i)
        t[i] = static_cast<uint8_t>(letter);
}

constexpr ByteTable makeUpper() {
    ByteTable t = identity();
    mapRange(t, 'a', 'z', 'A');
    t[0x9A] = 0x8A;
    t[0x9C] = 0x8C;
    mapRange(t, 0xE0, 0xFE, 0xC0);
    t[0xF7] = 0xF7;  // division sign
    t[0xFF] = 0x9F;
    return t;
}

constexpr ByteTable makeLower() {
    ByteTable t = identity();
    mapRange(t, 'A', 'Z', 'a');
    t[0x8A] = 0x9A;
    t[0x8C] = 0x9C;
    t[0x9F] = 0xFF;
    mapRange(t, 0xC0, 0xDE, 0xE0);
    t[0xD7] = 0xD7;  // multiplication sign
    return t;
}

constexpr ByteTable makeFold() {
    ByteTable t = identity();
    t[0x8A] = 'S';
    t[0x9A] = 's';
    t[0x9F] = 'Y';
    mapRangeTo(t, 0xC0, 0xC6, 'A');
    t[0xC7] = 'C';
    mapRangeTo(t, 0xC8, 0xCB, 'E');
    mapRangeTo(t, 0xCC, 0xCF, 'I');
    t[0xD1] = 'N';
    mapRangeTo(t, 0xD2, 0xD6, 'O');
    mapRangeTo(t, 0xD9, 0xDC, 'U');
    t[0xDD] = 'Y';
    mapRangeTo(t, 0xE0, 0xE6, 'a');
    t[0xE7] = 'c';
    mapRangeTo(t, 0xE8, 0xEB, 'e');
    mapRangeTo(t, 0xEC, 0xEF, 'i');
    t[0xF1] = 'n';
    mapRangeTo(t, 0xF2, 0xF6, 'o');
    mapRangeTo(t, 0xF9, 0xFC, 'u');
    t[0xFD] = 'y';
    t[0xFF] = 'y';
    return t;
}

}  // namespace

constinit const ByteTable kUpperTable = makeUpper();
constinit const ByteTable kLowerTable = makeLower();
constinit const ByteTable kFoldTable = makeFold();

}  // namespace mdnio::common
