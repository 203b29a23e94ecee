// The encoding of the text mdk prints and reads, against the Windows-1252 text data files hold.
//
//   utf-8   (the default) each Windows-1252 character as its UTF-8 form: "é" for 0xE9, "€"
//           for 0x80, "Š" for 0x8A.  Text read is UTF-8; a character Windows-1252 has no byte
//           for ("上") is refused.
//   cp1252  the file's bytes as they are (text in Windows-1252 on both sides).
//   raw     printable ASCII only; every other byte "\xHH" (mdk/escape.h).
//
// In every encoding a backslash is written "\\" and a byte that is no character is written
// "\xHH": the control bytes 0x00..0x1F and 0x7F, and the five bytes Windows-1252 leaves
// undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D).  Reading takes every escape of mdk/escape.h in every
// encoding, so "\xHH" always gives the byte HH, whatever the encoding makes of other text.
#pragma once

#include <string>
#include <string_view>

#include "mdk/escape.h"

namespace mdk {

enum class Encoding { Utf8, Cp1252, Raw };

// "utf-8" (also "utf8"), "cp1252" (also "windows-1252"), "raw"; throws Failure (usage).
Encoding encodingNamed(std::string_view name);

// A character the file cannot hold, or text that is not in the encoding it claims to be.
class EncodingError : public EscapeError {
  public:
    using EscapeError::EscapeError;
};

// The text of file bytes.
std::string decodeText(std::string_view bytes, Encoding encoding);

// The file bytes of a text.  Throws EscapeError for a malformed escape, EncodingError for a
// character Windows-1252 cannot hold or text that is not UTF-8 (utf-8 only).
std::string encodeText(std::string_view text, Encoding encoding);

// The byte as people read it in messages: "0x8A (Š)", or "0x09" for a byte that is no character.
std::string byteName(unsigned char byte);

}  // namespace mdk
