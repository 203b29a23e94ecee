// Splitting record data into fields and joining fields back into data.
//
// A file either ends each field with a separator byte, or (separator -1) starts each field with
// a length prefix: a byte below 128 is the length; 241 and one byte, or 242 and two bytes
// (big-endian), give longer lengths; any other byte from 128 on is a short form whose length is
// its low three bits, plus one when its high nibble is 9.
//
// Fields are handled as text in an encoding (mdk/encoding.h).  A field given with the separator
// byte inside it is refused: it cannot be stored as one field.  Splitting never loses a byte: a
// length-prefixed field whose prefix is not the one `join` would write starts with "\pHH" (HH
// the prefix byte, f1 or f2 for the one- and two-byte length forms), and bytes at the end of the
// data that do not make a whole field form a last field starting with "\R" (kept as they are).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "mdk/encoding.h"

namespace mdk {

// A field that holds the separator byte: text the file cannot hold as given, as a character
// without a byte is.
class SeparatorError : public EncodingError {
  public:
    using EncodingError::EncodingError;
};

class FieldCodec {
  public:
    static constexpr int kLengthPrefixed = -1;

    // `separator`: the file's separator byte (0..255), or kLengthPrefixed; the value
    // MDGetEnvMode(file, -10) answers.  `encoding`: the form of the fields' text.
    FieldCodec(int separator, Encoding encoding) : separator_(separator), encoding_(encoding) {}

    int separator() const { return separator_; }
    Encoding encoding() const { return encoding_; }

    // The fields of `data`, as text.  With a separator byte there is always at least one field.
    std::vector<std::string> split(std::string_view data) const;

    // The data bytes of `fields`.  Throws EscapeError for a malformed field, EncodingError for a
    // character the file cannot hold, SeparatorError for a field holding the separator byte.
    std::string join(const std::vector<std::string>& fields) const;

    // The bytes of field `number` (from 1) of `data`, as a key segment takes them; empty when
    // the data has fewer fields.
    std::string_view field(std::string_view data, int number) const;

  private:
    int separator_;
    Encoding encoding_;
};

}  // namespace mdk
