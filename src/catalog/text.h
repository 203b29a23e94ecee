// Small text helpers of the catalog: bounded copies into record fields, case folding and
// decimal numbers that never overflow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace mdnio::catalog {

// Stores `text` in a record field of `size` bytes: at most size - 1 bytes, a terminator, and
// zeros in the rest of the field.
void copyField(char* field, size_t size, std::string_view text);

template <size_t N>
void copyField(char (&field)[N], std::string_view text) {
    copyField(field, N, text);
}

// The zero-terminated contents of a field, never reading past its size.
template <size_t N>
std::string_view fieldText(const char (&field)[N]) {
    size_t n = 0;
    while (n < N && field[n] != '\0')
        ++n;
    return std::string_view(field, n);
}

char upperAscii(char c);
std::string upperAscii(std::string_view text);
std::string lowerAscii(std::string_view text);

// Whether `text` contains `part`, ignoring the case of ASCII letters.
bool containsNoCase(std::string_view text, std::string_view part);
// Whether the first `limit` bytes of both texts agree, ignoring the case of ASCII letters.
bool equalNoCase(std::string_view a, std::string_view b, size_t limit);

// The decimal number at the start of `text` (after an optional sign), stopping at the first
// other character; 0 when there is none.  Values beyond the int32 range are clamped.
int32_t parseDecimal(std::string_view text);

// The zero-terminated text in `buffer`, at most `size` bytes.
std::string_view boundedText(const char* buffer, size_t size);

}  // namespace mdnio::catalog
