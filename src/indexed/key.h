// The key of an indexed record: its record number as eight decimal digits.
#pragma once

#include <cstdint>

namespace mdnio::indexed {

// The value of `length` key bytes (1 to 8), all of them decimal digits; false when one is not.
bool parseKeyDigits(const uint8_t* key, int32_t length, int64_t* number);

// True for the record numbers a key can name (0 to 99999999).
bool nameableByKey(int64_t number);

// Writes a nameable number as eight digits, zero-padded on the left (no terminator).
void formatKey(int64_t number, uint8_t* out);

}  // namespace mdnio::indexed
