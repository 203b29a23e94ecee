// The dictionary a data file carries inside itself: its dictionary records, read with MDK_dict.
//
// Records -1, -2, ... describe the key, records 1, 2, ... the data.  Each record (an element)
// is a sequence of items, each a length and that many bytes: a length byte below 128 is the
// length itself, otherwise (byte & 127) x 256 plus the next byte.  The first item is a tag;
// the items after it, numbered from 0, are:
//   0 name, 2 type (first byte), 3 length ("9" or "9.2"), 4 item4, 5 storage (first byte;
//   also the format unless it is F, P or S), 12 format (when not empty), 13 flags ('H' hide,
//   'N' no show).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "catalog/column.h"
#include "mdnio.h"

namespace mdnio::catalog {

// Size of one element as the reader takes it; a longer element fails the listing.
inline constexpr size_t kElementBuffer = 4096;
// Elements read per series at most.  Reading record n walks n links, so a damaged chain that
// loops would otherwise keep the reader busy for hours; no real dictionary comes near this.
inline constexpr int32_t kMaxElementsPerSeries = 2048;

// The items of an element, tag first.  An item whose length runs past the end of the element
// ends the list (the items before it are kept).
std::vector<std::string_view> splitItems(std::span<const uint8_t> element);

// The element made of `items` (tag first), the inverse of splitItems.  Items of 128 bytes or
// more take two length bytes; an item is cut to the longest length two bytes can give (32767).
std::vector<uint8_t> joinItems(const std::vector<std::string_view>& items);

// The tag of the elements that describe columns.
inline constexpr std::string_view kColumnTag("\0\0\xB9", 3);

// Whether an element with this tag describes a column: tags shorter than 3 bytes, and tags
// that begin 00 00 B9.  Other tags ("VAR1", the password record's "EXT", ...) are passed over.
bool isColumnTag(std::string_view tag);

// The column an element describes (items as splitItems gives them, tag first).
ColumnDraft columnFromItems(const std::vector<std::string_view>& items);

enum class EmbeddedResult { Ok, Failed };

// Reads both series of `file`'s dictionary into columns, placed.  A series ends where MDK_dict
// answers code 3 (no such record); any other failure, an element longer than kElementBuffer or
// more than kMaxElementsPerSeries elements fail the reading.
EmbeddedResult readEmbeddedColumns(MdkFile* file, std::vector<ColumnDraft>& columns);

}  // namespace mdnio::catalog
