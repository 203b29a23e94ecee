#include "restrict/record_fields.h"

namespace mdnio::filter {

common::FieldRef RecordFields::search(std::span<const uint8_t> data, int32_t number) const {
    // The nearest field found before `number` saves searching the bytes in front of it again.
    const Known* from = nullptr;
    for (int i = 0; i < knownCount_; ++i) {
        if (known_[i].number < number && (!from || known_[i].number > from->number))
            from = &known_[i];
    }
    size_t base = 0;
    unsigned relative = static_cast<unsigned>(number);
    if (separator_ >= 0) {
        // Field k starts the searched bytes and counts as their field 1.
        if (from) {
            base = from->ref.offset;
            relative = static_cast<unsigned>(number - from->number) + 1;
        }
        common::FieldRef ref = common::findSeparatedField(data.subspan(base), relative,
                                                          static_cast<uint8_t>(separator_));
        ref.offset += base;
        return ref;
    }
    // Length-prefixed: the prefix of field k + 1 follows the bytes of field k.
    if (from) {
        base = from->ref.offset + from->ref.length;
        relative = static_cast<unsigned>(number - from->number);
    }
    common::FieldRef ref = common::findPrefixedField(data.subspan(base), relative);
    ref.offset += base;
    return ref;
}

bool RecordFields::find(int32_t number, FieldSpan& out) {
    if (number < 0) return false;
    if (number == 0) {
        out = FieldSpan{0, record_.size()};
        return true;
    }
    if (dataStart_ > record_.size()) return false;
    for (int i = 0; i < knownCount_; ++i) {
        if (known_[i].number == number) {
            out = FieldSpan{dataStart_ + known_[i].ref.offset,
                            dataStart_ + known_[i].ref.offset + known_[i].ref.length};
            return true;
        }
    }
    const common::FieldRef ref = search(record_.subspan(dataStart_), number);
    if (!ref.found) return false;
    if (knownCount_ < kRestrictSlots) known_[knownCount_++] = Known{number, ref};
    out = FieldSpan{dataStart_ + ref.offset, dataStart_ + ref.offset + ref.length};
    return true;
}

}  // namespace mdnio::filter
