// Writing one record the way load and put do: insert it, update it, or insert it and update it
// when its key is there already, and say which happened.
#pragma once

#include <string>

#include "mdk/session.h"

namespace mdk {

enum class WriteMode { Insert, Update, Either };

struct WriteOutcome {
    enum Kind { Inserted, Updated, Refused } kind;
    std::string why;  // Refused: the library's message and code
};

WriteOutcome writeRecord(OpenFile& file, const Record& record, WriteMode mode);

}  // namespace mdk
