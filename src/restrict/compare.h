// Comparing one field of a record with the constant of a restrict entry.  Results read the
// field against the constant: -1 when the field is below it, 0 equal, 1 above.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace mdnio::filter {

// `length` bytes of the record from `at` against the constant, unsigned byte by byte.  The
// bytes may run on past the field into the ones after it, but never past the record: a record
// that ends before the constant does, equal up to there, is below it.
int compareBytes(std::span<const uint8_t> record, size_t at, const char* constant, size_t length);

// The number written in the record from `at`: at most `width` bytes, none at or past `end`,
// stopping before a separator byte (`separator` -1: the file has none).  Divided by `divisor`
// (10 to the power of the entry's scale) and compared with `constant`: differences closer to
// 0 than 1e-14 are equal.  Nothing when the bytes are not a number.
std::optional<int> compareNumber(std::span<const uint8_t> record, size_t at, size_t end,
                                 int32_t width, int32_t separator, double divisor, double constant);

// Whether operator `op` (without the numeric bit) holds for a comparison result; nothing for an
// operator the restricted reads do not know.
std::optional<bool> operatorHolds(int32_t op, int comparison);

}  // namespace mdnio::filter
