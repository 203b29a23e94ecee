// Writing one record the way load and put do: insert it, update it, or insert it and update it
// when its key is there already, and say which happened.
//
// An indexed file stores the first record-size bytes of longer data without a word (callers of
// the library may rely on that); the tool refuses such a record instead, unless it is told that
// the cut is wanted (`truncate`).  A file whose record size is 0 holds keys only: data given for
// it is refused, cut or not.
#pragma once

#include <string>

#include "mdk/session.h"

namespace mdk {

enum class WriteMode { Insert, Update, Either };

struct WriteOutcome {
    enum Kind { Inserted, Updated, Refused } kind;
    std::string why;   // Refused: the reason, with the library's message and code when it refused
    bool cut = false;  // the data was longer than the record size and was cut (`truncate`)
    std::string category = {};  // Refused: the reason without what varies from record to record
};

WriteOutcome writeRecord(OpenFile& file, const Record& record, WriteMode mode,
                         bool truncate = false);

}  // namespace mdk
