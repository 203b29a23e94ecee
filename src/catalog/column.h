// A column being read from a dictionary, before its field and offset are placed.
#pragma once

#include <cstdint>

#include "mdnio.h"

namespace mdnio::catalog {

// Bits of MdkColumnRecord::columnFlags.
inline constexpr int32_t kColumnHide = 1;
inline constexpr int32_t kColumnStarRecType = 2;
inline constexpr int32_t kColumnRecType = 4;
inline constexpr int32_t kColumnNoShow = 8;
inline constexpr int32_t kColumnRight = 16;

inline constexpr int32_t kDefaultPadChar = 32;

struct ColumnDraft {
    MdkColumnRecord record{};
    bool fieldGiven = false;   // FIELD named the field: placement keeps it
    bool offsetGiven = false;  // OFFSET named the offset: placement takes it as the running offset

    ColumnDraft() {
        record.type = 'S';
        record.storage = 'D';
    }
};

// Delimited storage ends its field: the next column starts the next field.
inline bool isDelimited(int32_t storage) {
    return storage == 'D' || storage == 'L' || storage == 'Z';
}

}  // namespace mdnio::catalog
