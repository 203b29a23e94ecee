// Creating classic keyed files.
//
// This is the one place of the library that makes a new classic keyed file: the engine only
// opens, extends and rewrites existing ones.  The builder writes an empty file (header, key
// descriptor table, no blocks) whose every field has been checked to describe a layout the
// engine can work with.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "common/keydesc.h"
#include "mdnio_devtools.h"

namespace mdnio::keyed {

// The settings of devtools::ClassicSettings (flag A bit 0 block mode; B a multiple of 1024,
// header 240 holding B / 1024 - 1; R, K; flags B bit 0 compression; header 242 the fill
// threshold; flag A bit 3 and header 247 a separator byte; flag A bit 2 padding; flag A bit 6
// with bytes 253..254 the counter check; flags B bit 3 new record on update; header 232..235 the
// identity), and the keys in the engine's own form.
struct ClassicLayout : devtools::ClassicSettings {
    // The keys: for each key its first segment, segment count and flags (kKeyUnique on an
    // alternate key, kKeySequenceSuffixed - or suffix = KeySuffix::Sequence - on key 0), and
    // the segments.  The other fields (lengths, suffix kinds, key area size, separator, padding,
    // auto-numbered segment) follow from the rest of the layout and are ignored here.
    common::KeyLayout keys;
};

// A segment of a key, for code that lays out files.
common::Segment makeSegment(uint16_t field, uint16_t offset, uint8_t length, uint16_t options = 0,
                            bool descending = false, uint8_t nullByte = 0);

// A key as a list of segments, with its flags (common::kKeyUnique, kKeySequenceSuffixed).
struct KeySpec {
    std::vector<common::Segment> segments;
    uint16_t flags = 0;
};

// Appends keys, in order, to the layout's key list.
void addKeys(ClassicLayout& layout, const std::vector<KeySpec>& keys);

using devtools::LayoutFault;

// Creates `path`, which must not exist, as an empty classic keyed file: the 256-byte header,
// the key descriptor table (continued at offset 256, with flag A bit 1, when it needs more than
// 32 entries), record count 0, end of file 512 and every key root 0.  Returns 0, or MDK_E_OPEN
// (the file exists, or no access), MDK_E_LENGTH (the layout is impossible) or MDK_E_WRITE, with
// an explanation in *why (when why is not null) and, for a refused layout, the place at fault in
// *fault (when not null).  Nothing is created when the layout is refused.
//
// Every segment must lie within what its field can hold (common::segmentOverreach): the key
// area, the record size for the whole data, and for field n what is left of the record size
// once the fields before it are there.
int buildClassicFile(const std::string& path, const ClassicLayout& layout, std::string* why,
                     LayoutFault* fault = nullptr);

// Checks `layout` without creating anything; on success fills *keys (when not null) with the
// key layout the file will describe, as the engine decodes it from the header.  Returns 0 or
// MDK_E_LENGTH with the reason in *why and the place in *fault.
int checkClassicLayout(const ClassicLayout& layout, common::KeyLayout* keys, std::string* why,
                       LayoutFault* fault = nullptr);

// The first 512 bytes of a classic file: the header and the descriptor continuation.
using ClassicFileImage = std::array<uint8_t, 512>;

// The bytes buildClassicFile writes for `layout`, with the identity taken as given (0 included).
// Returns 0 or MDK_E_LENGTH with the reason in *why and the place in *fault.
int classicFileImage(const ClassicLayout& layout, ClassicFileImage& image, std::string* why,
                     LayoutFault* fault = nullptr);

}  // namespace mdnio::keyed
