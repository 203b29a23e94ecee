// The printable form of record bytes.
//
// Records hold any byte: field separators, binary numbers, Windows-1252 letters.  This is the
// raw form (--encoding raw), the same in every output format, which `load` reverses exactly:
//   printable ASCII (0x20..0x7E) stands for itself, except the backslash;
//   a backslash is written "\\";
//   every other byte is written "\xHH" (two lower-case hex digits).
// Reading also takes "\t", "\n", "\r" and "\0", and upper-case hex digits, for hand-written
// input.  Any other character read is taken as its own bytes (a UTF-8 letter becomes its UTF-8
// bytes).  The other encodings (mdk/encoding.h) show letters as letters and keep these escapes
// for the bytes that are no character.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace mdk {

// A text that is not a valid escaped form; what() says where.
class EscapeError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

std::string escape(std::string_view bytes);

// For names and texts shown to people (catalog entries, magic): like escape, but a backslash
// stands for itself, as in the Windows-style paths dictionaries hold.  Not read back.
std::string printable(std::string_view bytes);

// The bytes of an escaped text.  Throws EscapeError for a backslash not followed by one of the
// forms above.
std::string unescape(std::string_view text);

// Appends "\xHH" for `byte`.
void appendHexEscape(std::string& out, unsigned char byte);

// Reads the escape that starts with the backslash at text[at], appends its byte to `out` and
// answers the offset after it.  Throws EscapeError as unescape does.
size_t readEscape(std::string_view text, size_t at, std::string& out);

}  // namespace mdk
