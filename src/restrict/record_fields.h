// Finding the fields a restrict program names inside the record a read just delivered.
//
// Field 0 is the key area at the start of the record.  The data fields follow the key area (in
// a file whose records carry no data the fields start at the first byte): field 1 starts there,
// field n after the (n-1)-th separator, or, in a file without a separator, after n - 1
// length-prefixed fields.  Only the bytes the read delivered are looked at.
//
// A record is searched at most once from its start: every field found is remembered for the
// record, and a later field is searched from the nearest one found before it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/field.h"
#include "frame/handle.h"

namespace mdnio::filter {

// Where a field lies in the record: its first byte, and the end of its own bytes (its
// separator, the end of its prefixed length or the end of the record; field 0 runs to the end
// of the record).
struct FieldSpan {
    size_t start = 0;
    size_t end = 0;
};

class RecordFields {
  public:
    // dataStart: offset of field 1 in the record; separator: the file's separator, or -1 when
    // the fields are length-prefixed.
    RecordFields(size_t dataStart, int32_t separator)
        : dataStart_(dataStart), separator_(separator) {}

    // The record whose fields the following calls find; forgets the fields of the last one.
    void reset(std::span<const uint8_t> record) {
        record_ = record;
        knownCount_ = 0;
    }

    std::span<const uint8_t> record() const { return record_; }
    int32_t separator() const { return separator_; }

    // False when the record has no field `number` (a negative number included).
    bool find(int32_t number, FieldSpan& out);

  private:
    struct Known {
        int32_t number;
        common::FieldRef ref;  // offsets from the start of the data fields
    };

    common::FieldRef search(std::span<const uint8_t> data, int32_t number) const;

    std::span<const uint8_t> record_;
    size_t dataStart_;
    int32_t separator_;
    Known known_[kRestrictSlots] = {};
    int knownCount_ = 0;
};

}  // namespace mdnio::filter
