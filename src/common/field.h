// Finding field n inside the data area of a record.  Fields are either ended by a separator
// byte or preceded by a length prefix.  Nothing here trusts the data: a field never reaches past
// the end of the span it was found in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace mdnio::common {

struct FieldRef {
    bool found = false;  // false: the data holds fewer fields
    size_t offset = 0;   // first byte of the field, from the start of the data
    size_t length = 0;   // bytes of the field (up to the next separator or the end of the data)

    std::span<const uint8_t> in(std::span<const uint8_t> data) const {
        return found ? data.subspan(offset, length) : std::span<const uint8_t>();
    }
};

// Field n (1-based) of separator-delimited data: it starts after the (n-1)-th separator and ends
// before the next one or at the end of the data.  n = 0 is never found.
FieldRef findSeparatedField(std::span<const uint8_t> data, unsigned n, uint8_t separator);

// One length prefix: the number of prefix bytes and the length it announces.
struct FieldPrefix {
    bool valid = false;  // false: the prefix runs past the end of the data
    size_t size = 0;
    size_t length = 0;
};

// Decodes the prefix at data[at]: a byte p < 128 is the length itself; 241 takes the length from
// the next byte, 242 from the next two (big-endian); any other p gives (p AND 7), plus 1 when
// (p AND 0xF0) is 0x90.
FieldPrefix decodeFieldPrefix(std::span<const uint8_t> data, size_t at);

// Field n (1-based) of length-prefixed data: skips n - 1 fields, then takes the next one.  A field
// whose announced length passes the end of the data is cut at the end; a later field then does not
// exist.
FieldRef findPrefixedField(std::span<const uint8_t> data, unsigned n);

}  // namespace mdnio::common
