#include "catalog/text.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace mdnio::catalog {

void copyField(char* field, size_t size, std::string_view text) {
    if (size == 0) return;
    size_t n = std::min(text.size(), size - 1);
    if (n) std::memcpy(field, text.data(), n);
    std::memset(field + n, 0, size - n);
}

char upperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string upperAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = upperAscii(c);
    return out;
}

std::string lowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool containsNoCase(std::string_view text, std::string_view part) {
    return lowerAscii(text).find(lowerAscii(part)) != std::string::npos;
}

bool equalNoCase(std::string_view a, std::string_view b, size_t limit) {
    a = a.substr(0, std::min(a.size(), limit));
    b = b.substr(0, std::min(b.size(), limit));
    return upperAscii(a) == upperAscii(b);
}

int32_t parseDecimal(std::string_view text) {
    size_t at = 0;
    bool negative = false;
    if (at < text.size() && (text[at] == '-' || text[at] == '+')) {
        negative = text[at] == '-';
        ++at;
    }
    int64_t value = 0;
    constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        value = std::min(value * 10 + (text[at] - '0'), kLimit);
    }
    if (negative) value = -value;
    value = std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                                std::numeric_limits<int32_t>::max());
    return static_cast<int32_t>(value);
}

std::string_view boundedText(const char* buffer, size_t size) {
    if (!buffer) return {};
    const void* end = std::memchr(buffer, '\0', size);
    size_t n = end ? static_cast<size_t>(static_cast<const char*>(end) - buffer) : size;
    return std::string_view(buffer, n);
}

}  // namespace mdnio::catalog
