#include "common/field.h"

#include <algorithm>
#include <cstring>

#include "common/bytes.h"

namespace mdnio::common {

FieldRef findSeparatedField(std::span<const uint8_t> data, unsigned n, uint8_t separator) {
    if (n == 0) return {};
    // One pass over the bytes: every separator either ends a field before field n (which then
    // starts after it) or ends field n itself.
    const uint8_t* p = data.data();
    const size_t size = data.size();
    unsigned before = n - 1;  // separators still to pass before field n starts
    size_t start = 0;
    size_t i = 0;
    if constexpr (kWordSearch) {
        const uint64_t pattern = repeatedByte(separator);
        for (; i + 8 <= size; i += 8) {
            for (uint64_t m = byteMatches(loadWord(p + i), pattern); m != 0; m &= m - 1) {
                const size_t at = i + firstMatch(m);
                if (before == 0) return FieldRef{true, start, at - start};
                before--;
                start = at + 1;
            }
        }
    }
    for (; i < size; ++i) {
        if (p[i] != separator) continue;
        if (before == 0) return FieldRef{true, start, i - start};
        before--;
        start = i + 1;
    }
    if (before > 0) return {};
    return FieldRef{true, start, size - start};
}

FieldPrefix decodeFieldPrefix(std::span<const uint8_t> data, size_t at) {
    if (at >= data.size()) return {};
    const uint8_t p = data[at];
    if (p < 128) return FieldPrefix{true, 1, p};
    if (p == 241) {
        if (data.size() - at < 2) return {};
        return FieldPrefix{true, 2, data[at + 1]};
    }
    if (p == 242) {
        if (data.size() - at < 3) return {};
        return FieldPrefix{true, 3, static_cast<size_t>(data[at + 1] << 8 | data[at + 2])};
    }
    return FieldPrefix{true, 1, static_cast<size_t>((p & 7) + ((p & 0xF0) == 0x90 ? 1 : 0))};
}

FieldRef findPrefixedField(std::span<const uint8_t> data, unsigned n) {
    if (n == 0) return {};
    size_t at = 0;
    for (unsigned field = 1;; ++field) {
        const FieldPrefix prefix = decodeFieldPrefix(data, at);
        if (!prefix.valid) return {};
        const size_t start = at + prefix.size;
        const size_t length = std::min(prefix.length, data.size() - start);
        if (field == n) return FieldRef{true, start, length};
        if (length < prefix.length) return {};  // the data ended inside this field
        at = start + length;
    }
}

}  // namespace mdnio::common
