// Splitting record data into fields and joining fields back into data.
//
// A file either ends each field with a separator byte, or (separator -1) starts each field with
// a length prefix: a byte below 128 is the length; 241 and one byte, or 242 and two bytes
// (big-endian), give longer lengths; any other byte from 128 on is a short form whose length is
// its low three bits, plus one when its high nibble is 9.
//
// Fields are handled in their escaped form (mdk/escape.h).  Splitting never loses a byte: a
// length-prefixed field whose prefix is not the one `join` would write starts with "\pHH" (HH
// the prefix byte, f1 or f2 for the one- and two-byte length forms), and bytes at the end of the
// data that do not make a whole field form a last field starting with "\R" (kept as they are).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace mdk {

class FieldCodec {
  public:
    static constexpr int kLengthPrefixed = -1;

    // `separator`: the file's separator byte (0..255), or kLengthPrefixed; the value
    // MDGetEnvMode(file, -10) answers.
    explicit FieldCodec(int separator) : separator_(separator) {}

    int separator() const { return separator_; }

    // The escaped fields of `data`.  With a separator byte there is always at least one field.
    std::vector<std::string> split(std::string_view data) const;

    // The data bytes of escaped `fields`.  Throws EscapeError for a malformed field.
    std::string join(const std::vector<std::string>& fields) const;

  private:
    int separator_;
};

}  // namespace mdk
