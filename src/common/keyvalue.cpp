#include "common/keyvalue.h"

#include <algorithm>
#include <cstring>

#include "common/bytes.h"
#include "common/cp1252.h"
#include "common/field.h"
#include "mdnio.h"

namespace mdnio::common {

namespace {

// Does the segment list of `key` fit in its value, suffix included?
bool segmentsFit(const KeyLayout& layout, const KeyDesc& key) {
    if (size_t{key.firstSegment} + key.segmentCount > layout.segments.size()) return false;
    size_t need = key.suffix == KeySuffix::None ? 0 : 4;
    for (size_t i = 0; i < key.segmentCount; ++i)
        need += layout.segments[key.firstSegment + i].length;
    return need <= key.length;
}

uint8_t shapeByte(uint8_t b, uint16_t options) {
    if (options & kOptFoldAccents) b = foldAccent1252(b);
    if (options & kOptUpper) {
        b = toUpper1252(b);
    } else if (options & kOptLower) {
        b = toLower1252(b);
    }
    return b;
}

}  // namespace

std::span<const uint8_t> recordKeyArea(std::span<const uint8_t> record, size_t keyAreaSize) {
    if (record.empty()) return {};
    const size_t used = std::min({size_t{record[0] & 0x7Fu}, keyAreaSize, record.size() - 1});
    return record.subspan(1, used);
}

std::span<const uint8_t> recordData(std::span<const uint8_t> record, size_t keyAreaSize) {
    if (record.size() < keyAreaSize + 3) return {};
    const size_t stated = getBe16(&record[keyAreaSize + 1]) & 0x7FFF;
    const size_t start = keyAreaSize + 3;
    return record.subspan(start, std::min(stated, record.size() - start));
}

std::span<const uint8_t> segmentSource(const KeyLayout& layout, const Segment& segment,
                                       std::span<const uint8_t> record) {
    std::span<const uint8_t> field;
    if (segment.field == kKeyAreaField) {
        field = recordKeyArea(record, layout.keyAreaSize);
    } else {
        const std::span<const uint8_t> data = recordData(record, layout.keyAreaSize);
        if (segment.field == 0) {
            field = data;
        } else if (layout.lengthPrefixedFields) {
            field = findPrefixedField(data, segment.field).in(data);
        } else {
            field = findSeparatedField(data, segment.field, layout.separator).in(data);
        }
    }
    if (segment.offset >= field.size()) return {};
    return field.subspan(segment.offset);
}

int buildKeyValue(const KeyLayout& layout, size_t key, std::span<const uint8_t> record,
                  uint32_t address, bool appendSequence, uint32_t sequenceCounter,
                  std::span<uint8_t> out) {
    if (key >= layout.keys.size()) return MDK_E_KEYNUM;
    const KeyDesc& desc = layout.keys[key];
    if (out.size() < desc.valueSize() || !segmentsFit(layout, desc)) return MDK_E_LENGTH;
    const std::span<uint8_t> value = out.first(desc.valueSize());
    std::fill(value.begin(), value.end(), uint8_t{0});

    size_t pos = 1;  // next free value position
    size_t total = 0;
    bool nullCounted = false;
    const std::span<const Segment> segments = layout.segmentsOf(key);
    for (size_t i = 0; i < segments.size(); ++i) {
        const Segment& seg = segments[i];
        const bool last = i + 1 == segments.size();
        const std::span<const uint8_t> src = segmentSource(layout, seg, record);
        const size_t taken = std::min(src.size(), size_t{seg.length});
        const uint8_t x = seg.descending ? 0xFF : 0x00;

        if (seg.options == 0) {
            for (size_t j = 0; j < taken; ++j)
                value[pos + j] = src[j] ^ x;
        } else {
            nullCounted = false;
            bool isNull = true;
            const bool reverse = (seg.options & kOptReverseMask) != 0;
            size_t s = 0;
            for (size_t j = 0; j < taken; ++j) {
                const uint8_t b = shapeByte(src[s], seg.options);
                if (b != seg.nullByte) isNull = false;
                if (!((seg.options & kOptStopAtZero) && b == 0)) ++s;
                value[reverse ? pos + taken - 1 - j : pos + j] = b ^ x;
            }
            if ((seg.options & kOptFlipSign) && taken > 0) value[pos] ^= 0x80;
            if ((seg.options & kOptNullSegment) && isNull) {
                std::fill(value.begin(), value.end(), uint8_t{0});
                return MDK_OK;
            }
            if ((seg.options & kOptNullCounting) && isNull) nullCounted = true;
        }
        pos += taken;
        total += taken;

        const size_t padding = seg.length - taken;
        if (last && desc.suffix == KeySuffix::Sequence && appendSequence) {
            putBe32(&value[pos], sequenceCounter + 1);
            pos += 4;
            total += 4;
            value[0] = static_cast<uint8_t>(total);
        }
        if (layout.padSignificant) {
            std::fill_n(value.begin() + static_cast<std::ptrdiff_t>(pos), padding, x);
            pos += padding;
            total += padding;
        }
        if (last) {
            if (nullCounted && desc.segmentCount == 1) {
                std::fill(value.begin(), value.end(), uint8_t{0});
                return MDK_OK;
            }
            if (desc.suffix == KeySuffix::Address) {
                putBe32(&value[pos], address);
                pos += 4;
                total += 4;
            }
            value[0] = static_cast<uint8_t>(total);
        }
        if (!layout.padSignificant) {
            std::fill_n(value.begin() + static_cast<std::ptrdiff_t>(pos), padding, x);
            pos += padding;
            if (!last) total += padding;
        }
    }
    return MDK_OK;
}

void shapeSearchBytes(const KeyLayout& layout, size_t key, std::span<uint8_t> bytes, size_t given) {
    if (key >= layout.keys.size() || !segmentsFit(layout, layout.keys[key])) return;
    given = std::min(given, bytes.size());
    size_t pos = 0;
    for (const Segment& seg : layout.segmentsOf(key)) {
        if (pos >= given) break;
        const std::span<uint8_t> part =
            bytes.subspan(pos, std::min(size_t{seg.length}, given - pos));
        pos += seg.length;
        if (seg.options & kOptStopAtZero) {
            auto zero = std::find(part.begin(), part.end(), uint8_t{0});
            std::fill(zero, part.end(), uint8_t{0});
        }
        if (seg.options & kOptReverseMask) std::reverse(part.begin(), part.end());
        if ((seg.options & kOptFlipSign) && !part.empty()) part[0] ^= 0x80;
        if (!(seg.options & (kOptFoldAccents | kOptUpper | kOptLower)) && !seg.descending)
            continue;  // the bytes stay as given
        for (uint8_t& b : part) {
            b = shapeByte(b, seg.options);
            if (seg.descending) b = static_cast<uint8_t>(~b);
        }
    }
}

int buildSearchValue(const KeyLayout& layout, size_t key, std::span<const uint8_t> given,
                     std::span<uint8_t> out) {
    if (key >= layout.keys.size()) return MDK_E_KEYNUM;
    const KeyDesc& desc = layout.keys[key];
    if (out.size() < desc.valueSize() || given.size() > desc.searchableLength())
        return MDK_E_LENGTH;
    const std::span<uint8_t> value = out.first(desc.valueSize());
    std::fill(value.begin(), value.end(), uint8_t{0});
    value[0] = static_cast<uint8_t>(layout.padSignificant ? desc.length : given.size());
    std::copy(given.begin(), given.end(), value.begin() + 1);
    shapeSearchBytes(layout, key, value.subspan(1), given.size());
    return MDK_OK;
}

bool isEmptyValue(std::span<const uint8_t> value) {
    return std::all_of(value.begin(), value.end(), [](uint8_t b) { return b == 0; });
}

void makeEndMarker(std::span<uint8_t> value) {
    std::fill(value.begin(), value.end(), uint8_t{0xFF});
}

bool matchesIgnoringSuffix(std::span<const uint8_t> found, std::span<const uint8_t> search,
                           size_t n) {
    if (found.empty() || found[0] != n + 4 || found.size() < n + 1 || search.size() < n + 1) {
        return false;
    }
    return std::memcmp(found.data() + 1, search.data() + 1, n) == 0;
}

}  // namespace mdnio::common
