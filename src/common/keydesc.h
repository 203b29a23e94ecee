// In-memory description of the keys of a keyed file, and the decoder and encoder of the
// classic 4-byte key descriptor entries.
//
// A key is a list of segments; each segment takes bytes from one field of a record (or from
// the record's key area), shapes them by its options and appends them to the key value.  The
// layout is format-neutral: the classic engine fills it from the descriptor table of its header,
// the extended engine from its key-descriptor records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "mdnio.h"

namespace mdnio::common {

// Field number that names the record's key area instead of a data field (the classic table
// writes it as 0xFF, the extended descriptor records as 0xFFFF).
inline constexpr uint16_t kKeyAreaField = 0xFFFF;

// Segment option bits: the public MDK_SEG_* values (mdnio.h says what each does), which the
// catalog hands out as they are; the key's own flags travel on the bits of MDK_KEY_*.
inline constexpr uint16_t kOptUnique = MDK_KEY_UNIQUE;
inline constexpr uint16_t kOptUpper = MDK_SEG_UPPER;
inline constexpr uint16_t kOptLower = MDK_SEG_LOWER;
inline constexpr uint16_t kOptFoldAccents = MDK_SEG_FOLD_ACCENTS;
inline constexpr uint16_t kOptReverse = MDK_SEG_REVERSE;
inline constexpr uint16_t kOptSequenceSuffix = MDK_KEY_SEQUENCE;
inline constexpr uint16_t kOptNullSegment = MDK_SEG_NULL;
inline constexpr uint16_t kOptNullCounting = MDK_SEG_NULL_COUNTING;
inline constexpr uint16_t kOptReverseAuto = MDK_SEG_AUTO_NUMBER;
inline constexpr uint16_t kOptStopAtZero = MDK_SEG_STOP_AT_ZERO;
inline constexpr uint16_t kOptAutoTextZero = MDK_SEG_AUTO_TEXT_ZERO;
inline constexpr uint16_t kOptAutoText = MDK_SEG_AUTO_TEXT;
inline constexpr uint16_t kOptFlipSign = MDK_SEG_FLIP_SIGN;

inline constexpr uint16_t kOptReverseMask = kOptReverse | kOptReverseAuto;
inline constexpr uint16_t kOptAutoNumberMask = kOptReverseAuto | kOptAutoTextZero | kOptAutoText;

// Key flags: the public MDK_KEY_* values (unique alternate key; key 0 ends in a sequence
// number).
inline constexpr uint16_t kKeyUnique = MDK_KEY_UNIQUE;
inline constexpr uint16_t kKeySequenceSuffixed = MDK_KEY_SEQUENCE;

inline constexpr size_t kMaxClassicKeys = 16;
// A key value's length byte must be able to hold L and still differ from the end marker 0xFF.
inline constexpr unsigned kMaxKeyLength = 254;
// Classic field separator when the header selects none.
inline constexpr uint8_t kDefaultSeparator = 0x8A;

struct Segment {
    uint16_t field = 0;   // 0 = whole data, n >= 1 = field n, kKeyAreaField = key area
    uint16_t offset = 0;  // byte offset inside the field (12 bits in the classic table)
    uint8_t length = 0;   // bytes the segment occupies in the value (1..127 classic)
    bool descending = false;
    uint16_t options = 0;  // kOpt* bits
    uint8_t nullByte = 0;
};

// What the last four value bytes of a key hold.
enum class KeySuffix : uint8_t {
    None,      // nothing: the value is the segments only
    Address,   // the record address (or the number the engine stores in its place)
    Sequence,  // a sequence number, appended when a new record is indexed
};

struct KeyDesc {
    uint16_t firstSegment = 0;  // index into KeyLayout::segments
    uint8_t segmentCount = 0;
    uint16_t length = 0;  // L: value bytes after the length byte, suffix included
    uint16_t flags = 0;   // kKey* bits (and any other option bit 0 seen on its segments)
    KeySuffix suffix = KeySuffix::None;

    size_t valueSize() const { return size_t{length} + 1; }  // length byte + L
    size_t entrySize() const { return size_t{length} + 5; }  // pointer + length byte + L
    // L less the suffix: the most bytes a caller may give for a search.
    unsigned searchableLength() const {
        if (suffix == KeySuffix::None) return length;
        return length >= 4 ? length - 4u : 0;
    }
};

struct KeyLayout {
    std::vector<KeyDesc> keys;  // key 0 first
    std::vector<Segment> segments;
    uint16_t keyAreaSize = 0;           // K: key area bytes reserved in every record
    bool padSignificant = false;        // every segment padded, padding counted in byte 0
    bool lengthPrefixedFields = false;  // fields carry length prefixes instead of separators
    uint8_t separator = kDefaultSeparator;
    int autoNumberSegment = -1;  // index of the auto-numbered segment, -1 for none

    size_t keyCount() const { return keys.size(); }
    std::span<const Segment> segmentsOf(size_t key) const {
        const KeyDesc& k = keys[key];
        return std::span<const Segment>(segments).subspan(k.firstSegment, k.segmentCount);
    }
    // Largest L + 1 over the keys: the size of a buffer that holds any key value.
    size_t maxValueSize() const;
};

// The largest number of entries of size `entrySize` one key block of `blockSize` bytes holds:
// min(255, (blockSize - 6) / entrySize).
unsigned keyBlockCapacity(size_t blockSize, size_t entrySize);

// Fills the per-key fields that follow from the segments: L and the suffix kind.  Checks the
// lengths: every segment 1..255 bytes, L <= kMaxKeyLength and room for at least two entries in a
// block of `blockSize` bytes.  Returns 0 or MDK_E_LENGTH.
int finishKeyLayout(KeyLayout& layout, size_t blockSize);

// ---- what a record can hold ------------------------------------------------------------------

// The most bytes the field named by `field` can ever hold in a record whose key area holds at
// most `keyAreaSize` bytes and whose data (as keys are built from it) at most `recordSize`:
// the key area K; the whole data (field 0) R; field n >= 1 at most R - (n - 1) with separators
// (the n - 1 separators before it take a byte each) and R - n with length prefixes (each field
// up to n starts with a prefix of a byte at least).  0 when the field can never be there.
int fieldCapacity(uint16_t field, int keyAreaSize, int recordSize, bool lengthPrefixed);

// Empty when every byte the segment takes can be held by its field; otherwise why not, as
// "offset 4 + length 6 reaches past the 6-byte key area".  Such a segment loses key bytes on
// every record: they never exist, so no two records can differ in them.
std::string segmentOverreach(const Segment& segment, int keyAreaSize, int recordSize,
                             bool lengthPrefixed);

// ---- classic descriptor table ---------------------------------------------------------------

// What the header says besides the table (the classic format module reads it there).
struct ClassicKeyParams {
    int keyAreaSize = 0;  // K
    size_t blockSize = 0;
    bool padSignificant = false;
    bool lengthPrefixed = false;
    uint8_t separator = kDefaultSeparator;
};

// Decodes 4-byte descriptor entries (e0, e1, e2, e3) up to a 0xFF entry or the end of `entries`.
// Returns 0, MDK_E_KEYNUM (no key 0, a key whose segments are not contiguous, a segment of a key
// after a key with none) or MDK_E_LENGTH (bad key area size, segment length 0, key too long for the
// block).  `out` is replaced.
int decodeClassicKeys(std::span<const uint8_t> entries, const ClassicKeyParams& params,
                      KeyLayout& out);

// Writes `layout` as descriptor entries followed by a 0xFF terminator (when room remains;
// `written` counts it).  Key flags are carried by option entries: unique on the first segment of
// an alternate key, kKeySequenceSuffixed on the file's first segment.  Returns 0 with `written`
// set, or MDK_E_LENGTH (a segment not expressible, or `out` too small) / MDK_E_KEYNUM (more than 16
// keys, or a key without segments).
int encodeClassicKeys(const KeyLayout& layout, std::span<uint8_t> out, size_t& written);

}  // namespace mdnio::common
