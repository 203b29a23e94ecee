#include "common/keydesc.h"

#include <algorithm>
#include <array>
#include <string>

#include "mdnio.h"

namespace mdnio::common {

namespace {

constexpr size_t kEntrySize = 4;
constexpr uint8_t kEntryEnd = 0xFF;
constexpr uint8_t kEntryOption = 0xFE;
constexpr uint8_t kClassicKeyAreaField = 0xFF;

}  // namespace

size_t KeyLayout::maxValueSize() const {
    size_t most = 0;
    for (const KeyDesc& k : keys)
        most = std::max(most, k.valueSize());
    return most;
}

unsigned keyBlockCapacity(size_t blockSize, size_t entrySize) {
    if (entrySize == 0 || blockSize <= 6) return 0;
    return static_cast<unsigned>(std::min<size_t>(255, (blockSize - 6) / entrySize));
}

int finishKeyLayout(KeyLayout& layout, size_t blockSize) {
    if (layout.keys.empty()) return MDK_E_KEYNUM;
    for (size_t k = 0; k < layout.keys.size(); ++k) {
        KeyDesc& key = layout.keys[k];
        if (key.segmentCount == 0 ||
            size_t{key.firstSegment} + key.segmentCount > layout.segments.size()) {
            return MDK_E_KEYNUM;
        }
        unsigned total = key.suffix == KeySuffix::None ? 0 : 4;
        for (const Segment& s : layout.segmentsOf(k)) {
            if (s.length == 0) return MDK_E_LENGTH;
            total += s.length;
        }
        if (total > kMaxKeyLength) return MDK_E_LENGTH;
        key.length = static_cast<uint16_t>(total);
        if (keyBlockCapacity(blockSize, key.entrySize()) < 2) return MDK_E_LENGTH;
    }
    return MDK_OK;
}

int fieldCapacity(uint16_t field, int keyAreaSize, int recordSize, bool lengthPrefixed) {
    if (field == kKeyAreaField) return std::max(keyAreaSize, 0);
    if (field == 0) return std::max(recordSize, 0);
    const int before = lengthPrefixed ? field : field - 1;  // bytes that must precede the field
    return std::max(recordSize - before, 0);
}

std::string segmentOverreach(const Segment& segment, int keyAreaSize, int recordSize,
                             bool lengthPrefixed) {
    const int capacity = fieldCapacity(segment.field, keyAreaSize, recordSize, lengthPrefixed);
    const int reach = segment.offset + segment.length;
    if (reach <= capacity) return {};
    const std::string what = "offset " + std::to_string(segment.offset) + " + length " +
                             std::to_string(segment.length) + " reaches past ";
    if (segment.field == kKeyAreaField)
        return what + "the " + std::to_string(capacity) + "-byte key area";
    if (segment.field == 0)
        return what + "the record size of " + std::to_string(capacity) + " bytes";
    const std::string field = "field " + std::to_string(segment.field);
    if (capacity == 0)
        return what + field + ", which a " + std::to_string(recordSize) +
               "-byte record can never hold";
    return what + field + ", which holds at most " + std::to_string(capacity) + " bytes of a " +
           std::to_string(recordSize) + "-byte record";
}

int decodeClassicKeys(std::span<const uint8_t> entries, const ClassicKeyParams& params,
                      KeyLayout& out) {
    out = KeyLayout{};
    if (params.keyAreaSize < 0 || params.keyAreaSize > 0xFFFF) return MDK_E_LENGTH;
    out.keyAreaSize = static_cast<uint16_t>(params.keyAreaSize);
    out.padSignificant = params.padSignificant;
    out.lengthPrefixedFields = params.lengthPrefixed;
    out.separator = params.separator;

    if (entries.size() >= kEntrySize && entries[3] == 0) {
        // A first entry of length 0: one key over the key area.
        Segment s;
        s.field = kKeyAreaField;
        s.length = static_cast<uint8_t>(params.keyAreaSize & 0xFF);
        out.segments.push_back(s);
        out.keys.push_back(KeyDesc{0, 1, 0, 0, KeySuffix::None});
        return finishKeyLayout(out, params.blockSize);
    }

    std::array<KeyDesc, kMaxClassicKeys> keys{};
    std::array<bool, kMaxClassicKeys> seen{};
    int currentKey = -1;
    bool afterSegment = false;
    for (size_t at = 0; at + kEntrySize <= entries.size(); at += kEntrySize) {
        const uint8_t e0 = entries[at], e1 = entries[at + 1], e2 = entries[at + 2],
                      e3 = entries[at + 3];
        if (e0 == kEntryEnd) break;
        if (e0 == kEntryOption) {
            // Applies to the segment entry right before it; otherwise ignored.
            if (!afterSegment) continue;
            afterSegment = false;
            Segment& s = out.segments.back();
            s.options = static_cast<uint16_t>(e2 << 8 | e1);
            s.nullByte = e3;
            KeyDesc& key = keys[static_cast<size_t>(currentKey)];
            key.flags |= e1 & kKeyUnique;
            // Only the option of the file's first segment entry makes key 0 sequence-suffixed.
            if (currentKey == 0 && out.segments.size() == 1 && (e1 & kOptSequenceSuffix)) {
                key.flags |= kKeySequenceSuffixed;
            }
            continue;
        }
        const int keyNumber = e0 & 0x0F;
        if (keyNumber != currentKey) {
            if (seen[static_cast<size_t>(keyNumber)]) return MDK_E_KEYNUM;  // not contiguous
            seen[static_cast<size_t>(keyNumber)] = true;
            keys[static_cast<size_t>(keyNumber)].firstSegment =
                static_cast<uint16_t>(out.segments.size());
            currentKey = keyNumber;
        }
        KeyDesc& key = keys[static_cast<size_t>(keyNumber)];
        if (key.segmentCount == 255) return MDK_E_LENGTH;
        ++key.segmentCount;
        Segment s;
        s.field = e1 == kClassicKeyAreaField ? kKeyAreaField : e1;
        s.offset = static_cast<uint16_t>(((e0 & 0xF0) << 4) + e2);
        s.length = e3 & 0x7F;
        s.descending = (e3 & 0x80) != 0;
        if (s.length == 0) return MDK_E_LENGTH;
        out.segments.push_back(s);
        afterSegment = true;
    }

    size_t count = 0;
    while (count < kMaxClassicKeys && seen[count])
        ++count;
    for (size_t k = count; k < kMaxClassicKeys; ++k) {
        if (seen[k]) return MDK_E_KEYNUM;  // a key number gap
    }
    if (count == 0) return MDK_E_KEYNUM;
    for (size_t k = 0; k < count; ++k) {
        KeyDesc key = keys[k];
        if (k > 0) {
            key.suffix = KeySuffix::Address;
        } else if (key.flags & kKeySequenceSuffixed) {
            key.suffix = KeySuffix::Sequence;
        }
        out.keys.push_back(key);
    }
    for (size_t i = 0; i < out.segments.size(); ++i) {
        if (out.segments[i].options & kOptAutoNumberMask)
            out.autoNumberSegment = static_cast<int>(i);
    }
    return finishKeyLayout(out, params.blockSize);
}

int encodeClassicKeys(const KeyLayout& layout, std::span<uint8_t> out, size_t& written) {
    written = 0;
    if (layout.keys.empty() || layout.keys.size() > kMaxClassicKeys) return MDK_E_KEYNUM;
    size_t at = 0;
    auto put = [&](uint8_t e0, uint8_t e1, uint8_t e2, uint8_t e3) {
        if (at + kEntrySize > out.size()) return false;
        out[at] = e0;
        out[at + 1] = e1;
        out[at + 2] = e2;
        out[at + 3] = e3;
        at += kEntrySize;
        return true;
    };
    for (size_t k = 0; k < layout.keys.size(); ++k) {
        const KeyDesc& key = layout.keys[k];
        if (key.segmentCount == 0 ||
            size_t{key.firstSegment} + key.segmentCount > layout.segments.size()) {
            return MDK_E_KEYNUM;
        }
        bool first = true;
        for (const Segment& s : layout.segmentsOf(k)) {
            if (s.length == 0 || s.length > 0x7F || s.offset > 0xFFF) return MDK_E_LENGTH;
            if (s.field != kKeyAreaField && s.field >= kClassicKeyAreaField) return MDK_E_LENGTH;
            uint16_t options = s.options;
            if (first && k > 0 && (key.flags & kKeyUnique)) options |= kOptUnique;
            if (first && k == 0 && key.suffix == KeySuffix::Sequence) options |= kOptSequenceSuffix;
            const uint8_t e0 = static_cast<uint8_t>(((s.offset >> 8) << 4) | k);
            const uint8_t e1 =
                s.field == kKeyAreaField ? kClassicKeyAreaField : static_cast<uint8_t>(s.field);
            const uint8_t e3 = static_cast<uint8_t>(s.length | (s.descending ? 0x80 : 0));
            if (!put(e0, e1, static_cast<uint8_t>(s.offset & 0xFF), e3)) return MDK_E_LENGTH;
            if (options != 0 || s.nullByte != 0) {
                if (!put(kEntryOption, static_cast<uint8_t>(options & 0xFF),
                         static_cast<uint8_t>(options >> 8), s.nullByte)) {
                    return MDK_E_LENGTH;
                }
            }
            first = false;
        }
    }
    if (at + kEntrySize <= out.size()) put(kEntryEnd, 0, 0, 0);
    written = at;
    return MDK_OK;
}

}  // namespace mdnio::common
