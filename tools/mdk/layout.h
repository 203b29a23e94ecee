// The layout of a data file as `mdk create` takes it and `mdk info` shows it, in JSON.
//
// Classic keyed file (every member but "keys" may be left out; defaults shown):
//   {"kind": "classic", "storage": "block", "blockSize": 4096, "recordSize": 0,
//    "keyAreaSize": 0, "maxRecords": 0, "compress": false, "fillPercent": 10,
//    "separator": "default", "padSignificant": false, "counterCheck": false,
//    "newRecordOnUpdate": false, "magic": "[Mdnkey]",
//    "keys": [{"unique": false, "sequence": false,
//              "segments": [{"field": "key", "offset": 0, "length": 6, "descending": false,
//                            "options": [], "null": 0}]}]}
// Indexed file: {"kind": "indexed", "recordSize": 40, "maxRecords": 0, "separator": "default"}.
// Extended keyed file (defaults shown; keys as for a classic file, each with an optional "name"
// of up to 23 characters, up to 255 keys):
//   {"kind": "extended", "blockSize": 4096, "maxDataLength": 0, "keyAreaSize": 0,
//    "maxRecords": 0, "compress": false, "separator": "default", "fullLengthKeys": false,
//    "newRecordOnUpdate": false, "stepBackIgnoringSuffixOnly": false, "largeFile": false,
//    "emptyGroups": 0, "keys": [...]}
//
// storage: "block" or "slot".  separator: "default" (0x8A), "length-prefixed" (also "none"), a
// one-byte string in the escaped form of records ("|", "\\x01") or a number 0..255.  field: "key"
// for the key area, 0 for the whole data, n for data field n.  options: names from
// kSegmentOptions.  unique: alternate keys only; sequence: key 1 only (a sequence number
// appended to the primary key).
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

#include "mdk/session.h"
#include "mdnio_devtools.h"

namespace mdk {

struct Layout {
    FileKind kind = FileKind::Classic;
    mdnio::devtools::ClassicLayout classic;    // kind Classic
    mdnio::devtools::IndexedLayout indexed;    // kind Indexed
    mdnio::devtools::ExtendedLayout extended;  // kind Extended
};

struct SegmentOption {
    const char* name;
    uint16_t bit;
};

// The segment options by name, in the order `info` lists them.
extern const SegmentOption kSegmentOptions[11];

// Reads a layout; throws Failure naming the member that is wrong.
Layout layoutFromJson(const nlohmann::json& json);

nlohmann::ordered_json layoutToJson(const Layout& layout);

// The layout of an open file, from what the library describes of it.
Layout layoutOfFile(OpenFile& file);

// Creates `path` with `layout`; throws Failure with the builder's reason and code.
void buildFile(const std::string& path, const Layout& layout);

}  // namespace mdk
