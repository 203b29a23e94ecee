// The error codes of the library's table that the building blocks in this folder report.
// The engines turn a returned code into a raise.
#pragma once

namespace mdnio::common {

inline constexpr int kOk = 0;
inline constexpr int kErrInvalidKey = 3;      // "Invalid key specified" (also: no such slot)
inline constexpr int kErrKeyNumber = 6;       // "Key number invalid"
inline constexpr int kErrLength = 7;          // "Length invalid"
inline constexpr int kErrOffset = 9;          // "File error : Offset error"
inline constexpr int kErrBlockContent = 11;   // "File error : Key header address invalid"
inline constexpr int kErrRecordSize = 13;     // "File error : Record size invalid"
inline constexpr int kErrDecompression = 30;  // "File error : Decompression failed"

}  // namespace mdnio::common
