// The numeric-text reader of numeric restrict entries: the constant of an entry is read once
// when it is stored, and the field of every record a restricted read examines is read the same
// way, so both sides of a numeric comparison follow one set of rules.
#pragma once

#include <cstdint>

namespace mdnio::filter {

// Reads exactly `length` bytes of `text` (no terminator needed) as a number, in the forms the
// business language writes numbers: leading blanks, at most one '$' and one sign before the
// digits, ',' thousands separators, one decimal point, then trailing blanks, a trailing sign
// (when none came first) and an exponent written "E+nn" or "e-nn" that runs to the end.
// A length below 1 is the number 0.  Answers true with the value in *out, or false (not a
// number) leaving *out as it was.
bool parseNumber(const char* text, int32_t length, double* out);

}  // namespace mdnio::filter
