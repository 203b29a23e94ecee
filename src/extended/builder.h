// Creating extended keyed files.
//
// The engine only opens and extends existing files; this builder makes a new, empty one whose
// every field has been checked to describe a layout the engine can work with: the header block
// (fixed fields and header region), map group 0 in both its copies, the key-descriptor block with
// one chained record per key, and the layout's empty groups.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/keydesc.h"
#include "extended/format.h"
#include "mdnio_devtools.h"

namespace mdnio::extended {

// The logical (and, in a new file, physical) number of the key-descriptor block.
inline constexpr uint32_t kFirstDescriptorBlock = 3;

// The blocks of a new file, each at its physical place; the file is (highest + 1) blocks long
// and the places between them are holes.
struct BuiltFile {
    Geometry geometry;
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> blocks;  // (place, bytes)
    uint32_t highestBlock = 0;
};

// Checks `layout` and lays out its file, with the identity taken as given (0 included).  On
// success fills *keys (when not null) with the key layout the engine will decode.  Returns 0 or
// MDK_E_LENGTH with the reason in *why and the member at fault in *fault.
int extendedFileImage(const devtools::ExtendedLayout& layout, BuiltFile& out,
                      common::KeyLayout* keys, std::string* why,
                      devtools::LayoutFault* fault = nullptr);

// Creates `path`, which must not exist, as the file of extendedFileImage (a fresh identity when
// the layout's is 0).  Returns 0, MDK_E_LENGTH for a refused layout (nothing created),
// MDK_E_OPEN when the file cannot be created, MDK_E_WRITE when writing failed (the file is then
// left empty).
int buildExtendedFile(const std::string& path, const devtools::ExtendedLayout& layout,
                      std::string* why, devtools::LayoutFault* fault = nullptr);

}  // namespace mdnio::extended
