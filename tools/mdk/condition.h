// The conditions of `mdk scan --where`, and the restrict programs they become.
//
//   FIELD[@OFFSET] OP VALUE [num] [scale=S] [width=W]
//
// FIELD is "key" (the key area, field 0) or a data field number from 1; OFFSET the byte in the
// field where the comparison starts.  OP is one of = == != <> < <= > >=.  VALUE is a word, or
// a text in double quotes (\" for a quote), in the encoding of the records' text.  A text
// comparison looks at as many bytes of the field as VALUE has.  "num" compares the field as a
// number, read from at most W bytes (up to the next separator); scale=S says that the field holds S
// implied decimals (scale or width alone also make the comparison numeric).  With a table, FIELD
// may also be a column name (mdk/columns.h); OFFSET then counts from the column's first byte.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mdk/encoding.h"
#include "mdnio.h"

namespace mdk {

struct Condition {
    int32_t field = 0;
    int32_t offset = 0;
    int32_t op = MDK_OP_EQ;  // with MDK_OP_NUMERIC for numbers
    bool numeric = false;
    int32_t scale = 0;
    int32_t width = -1;  // -1: as wide as the field can be
    std::string value;   // the constant's bytes (numbers: their text)
};

// Where a named column lies: its field, its offset in the field and the bytes it holds (0: the
// rest of the field).
struct FieldPlace {
    int32_t field = 0;
    int32_t offset = 0;
    int32_t width = 0;
};
using FieldNames = std::function<std::optional<FieldPlace>(std::string_view name)>;

// Reads one condition, its value in `encoding`; throws Failure (usage) saying what is wrong.
// `names` places a FIELD that is a name (none: only "key" and numbers).
Condition parseCondition(const std::string& text, Encoding encoding, const FieldNames& names = {});

// The entry MDK_PutRestrictInfo takes; `value` points into `condition`, which must outlive it.
// `keyAreaWidth` and `maxDataLength` give numeric entries without a width their widest field.
MdkRestrictEntry restrictEntry(const Condition& condition, int keyAreaWidth, int maxDataLength);

// The packed program of MDK_read_FIRST: the entries, then the start key and its key number.
std::string packedProgram(const std::vector<MdkRestrictEntry>& entries, const std::string& startKey,
                          int keyNumber);

}  // namespace mdk
