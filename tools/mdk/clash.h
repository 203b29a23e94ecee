// Which key a write that the library refused as a duplicate (code 26) collided on.
//
// The library says only that a key that must be unique already holds one of the record's values.
// The tool builds the record's value of each such key (the primary key unless it ends in a
// sequence number, and the unique alternate keys) as the key's segments take it from the record,
// and seeks it: the key where another record holds it is the one named.
#pragma once

#include <string>

#include "mdk/session.h"

namespace mdk {

// "the primary key #1 already holds ...", "unique key #2 already holds ...", or, when no key
// could be told this way (segment options whose search form differs from the stored one on short
// fields), a sentence naming every key that must be unique.  `updating`: the write replaced the
// record with the same primary key, whose own values do not count.  Moves the file's position.
std::string duplicateKeyText(OpenFile& file, const Record& record, bool updating);

}  // namespace mdk
