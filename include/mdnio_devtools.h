// mdnio_devtools.h -- the developer tools beside the library: new, empty data files made from a
// layout, the integrity check of a data file with its report, and the sample data set.
//
// The library itself never creates a data file and never checks one whole: these tools are for
// the programs that do (the mdk command-line tool, the samples, the tests and the benchmark).
// They live in a library of their own, libmdnio_devtools.a, linked with the static library
// (libmdnio_static.a); the shared library libmdnio.so holds none of them.  The interface is C++20;
// the settings that the public interface also reports (segment options, key flags) take the
// values of mdnio.h.
//
// Results follow the library: 0, or an error code of mdnio.h (MDK_ErrorMessage gives its text),
// with the reason in words in *why when `why` is not null.  Nothing here throws but
// std::bad_alloc.
#ifndef MDNIO_DEVTOOLS_H
#define MDNIO_DEVTOOLS_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "mdnio.h"

namespace mdnio::devtools {

// ---- layouts --------------------------------------------------------------------------------

// The field a segment takes its bytes from when it takes them from the record's key area.
inline constexpr uint16_t kKeyAreaField = 0xFFFF;

// A segment of a key.
struct Segment {
    uint16_t field = 0;       // 0 the whole data, n >= 1 data field n, kKeyAreaField the key area
    uint16_t offset = 0;      // byte offset inside the field
    uint8_t length = 0;       // bytes the segment takes (1 to 127)
    bool descending = false;  // also with MDK_SEG_DESCENDING among the options
    uint16_t options = 0;     // MDK_SEG_* bits of mdnio.h, as MdkSegmentInfo::segFlags holds them
    uint8_t nullByte = 0;     // the byte a null segment (MDK_SEG_NULL) is made of
};

// A segment of `length` bytes at `offset` in `field`, with MDK_SEG_* `options`.
inline Segment keySegment(uint16_t field, uint16_t offset, uint8_t length, uint16_t options = 0) {
    Segment s;
    s.field = field;
    s.offset = offset;
    s.length = length;
    s.options = options;
    return s;
}

// A key: its segments, in order, and its flags.
struct Key {
    std::vector<Segment> segments;
    bool unique = false;    // alternate keys only: no two records share a value
    bool sequence = false;  // the primary key only: it ends in a sequence number
};

// Everything of a classic keyed file's layout but its keys.
struct ClassicSettings {
    bool blockMode = true;    // slotted data blocks and allocation maps (false: slot mode)
    int blockSize = 4096;     // a multiple of 1024
    int recordSize = 0;       // the largest data length of a record (0: keys only)
    int keyAreaSize = 0;      // key area bytes reserved in every record
    uint32_t maxRecords = 0;  // 0: no limit
    bool compress = false;    // records stored compressed (block mode only)
    int fillPercent = 10;     // data blocks stop taking records below this share of free room
    enum class Separator { Default, Byte, LengthPrefixed } separator = Separator::Default;
    uint8_t separatorByte = 0x8A;    // with Separator::Byte
    bool padSignificant = false;     // key padding counts in the key value
    bool counterCheck = false;       // the header carries check bytes of its change counter
    bool newRecordOnUpdate = false;  // an update stores the record anew
    bool tjwMagic = false;           // "[Tjwkey]" instead of "[Mdnkey]"
    uint32_t identity = 0;           // the file identity; 0: make a fresh one
};

// A classic keyed file: its settings and 1 to 16 keys, the primary key first.
struct ClassicLayout : ClassicSettings {
    std::vector<Key> keys;
};

// An indexed file.
struct IndexedLayout {
    int recordSize = 0;       // every record's length, 1 to 32767
    uint32_t maxRecords = 0;  // 0: no limit
    enum class Separator { Default, Byte, None } separator = Separator::Default;
    uint8_t separatorByte = 0;  // with Separator::Byte
};

// A key of an extended keyed file: a Key with the name its descriptor record carries.
struct ExtendedKey : Key {
    std::string name;  // up to 23 printable ASCII characters; empty: none (the key is "#n")
};

// An extended keyed file: blocks through a block map, written copy-on-write, files past 2 GB.
struct ExtendedLayout {
    int blockSize = 4096;     // a multiple of 1024 from 4096 to 65536
    int maxDataLength = 0;    // the largest data of one record part (0: keys only); longer
                              // records continue in overflow parts
    int keyAreaSize = 0;      // key area bytes reserved in every record (0 to 127)
    uint64_t maxRecords = 0;  // 0: no limit
    bool compress = false;    // record data stored compressed
    enum class Separator { Default, Byte, LengthCoded } separator = Separator::Default;
    uint8_t separatorByte = 0x8A;    // with Separator::Byte
    bool fullLengthKeys = false;     // a caller's key is compared at the key's full length
    bool newRecordOnUpdate = false;  // an update stores the record anew (and reads always lock)
    bool stepBackIgnoringSuffixOnly = false;  // only searches that ignore the suffix step back
    bool largeFile = false;                   // 64-bit file offsets: files past 2 GB
    uint32_t identity = 0;                    // the file identity; 0: make a fresh one
    // Map groups written after group 0 with every number free and the directory's free bit
    // clear, so that the engine's first new block lies in a group appended past them: a sparse
    // file whose blocks start far out.  Group 0's free bit is clear too when this is not 0.
    unsigned emptyGroups = 0;
    // 1 to 255 keys, the primary key first.  Key 0 with `sequence` ends in the record serial
    // and takes duplicates; `unique` is for alternate keys.
    std::vector<ExtendedKey> keys;
};

// Where a refused layout is at fault: key `key` (from 0) and its segment `segment` (from 0,
// counted within the key), each -1 when the refusal is not about one; `reason` says what is
// wrong there.
struct LayoutFault {
    int key = -1;
    int segment = -1;
    std::string reason;
};

// Creates `path`, which must not exist, as an empty classic keyed file with `layout`.  Answers
// 0; MDK_E_OPEN when the file cannot be created (it exists, or the directory refuses it);
// MDK_E_LENGTH when the layout is impossible (nothing is created then; the place at fault in
// *fault when `fault` is not null); MDK_E_WRITE when writing the file failed.  Every segment
// must lie within what its field can hold: the key area, the record size for the whole data,
// and for field n what is left of the record size once the fields before it are there.
int createClassicFile(const std::string& path, const ClassicLayout& layout, std::string* why,
                      LayoutFault* fault = nullptr);

// Creates `path`, which must not exist, as an empty extended keyed file with `layout`: the
// header block with its header region, map group 0 in both copies, the key-descriptor block with
// one record per key, and the layout's empty groups.  Answers as createClassicFile.  Every segment
// must lie within what its field can hold (the key area, the maximum data length for the data),
// a record part of the maximum data length must fit in a data block, and the key descriptors in
// one block.
int createExtendedFile(const std::string& path, const ExtendedLayout& layout, std::string* why,
                       LayoutFault* fault = nullptr);

// Creates `path`, which must not exist, as an indexed file with no records.  Answers 0,
// MDK_E_LENGTH for a record size outside 1 to 32767, MDK_E_OPEN when the file cannot be
// created, MDK_E_WRITE when its header cannot be written (the file is then left as far as it
// got).
int createIndexedFile(const std::string& path, const IndexedLayout& layout, std::string* why);

// ---- verification ---------------------------------------------------------------------------

// The shape of one key tree, as the walk found it.
struct KeyTreeShape {
    int depth = 0;         // levels from the root to the leaves; 0 for an empty key
    uint32_t blocks = 0;   // key blocks
    uint32_t entries = 0;  // leaf entries, end markers left out
    bool operator==(const KeyTreeShape&) const = default;
};

// What the check of a keyed file (classic or extended) found.
struct VerifyReport {
    // Each names the broken invariant and where (block address, key, record).
    std::vector<std::string> problems;
    uint32_t records = 0;  // records reached from the primary key
    // Problems found beyond those listed; the last line of `problems` then says how many.
    size_t unlisted = 0;
    std::vector<KeyTreeShape> trees;  // one per key, when the trees could be walked
    int64_t bytes = 0;                // the lengths of the base file and its segment files
    unsigned files = 0;               // the base file and its segment files
    bool ok() const { return problems.empty(); }
    // Every problem found, listed or not.
    size_t count() const { return problems.size() - (unlisted > 0 ? 1 : 0) + unlisted; }
};

struct VerifyOptions {
    // Turns the enciphered bytes 5..B-1 of a key block or data block back into plain bytes, in
    // place.  It is called only for a file whose password record asks for enciphered blocks.
    // Without it the key trees and records of such a file cannot be checked, and the report
    // says so as a problem (the file is then not shown as sound).
    std::function<void(std::span<uint8_t>)> decipher;
    // Problems listed at most; a last line tells how many more were found.
    size_t maxProblems = 200;
    // Only the header, the dictionary records and the key trees: what the shapes of the trees
    // need, without the records, chains and block maps (whose checks read every block).
    bool treesOnly = false;
};

// Reads the classic keyed file at `path` (and its segment files) without trusting any of it and
// lists every broken invariant it finds: header fields, the shape and order of every key tree,
// the records reached from the primary key and their entries in the other keys, the chains of
// slot mode, the allocation maps and data blocks of block mode, the dictionary records and the
// password record.  A damaged file gives problems, never a crash or a hang; the file is opened
// read-only and never changed.
VerifyReport verifyClassicFile(const std::string& path, const VerifyOptions& options = {});

// Reads the extended keyed file at `path` without trusting any of it and lists every broken
// invariant it finds: the header and its region, the key descriptors, both copies of every map
// block (places a permutation, no entry at a map place or past the highest block, usage bytes
// against the blocks they describe), numbers in use that nothing reaches and free numbers that
// something reaches, every key tree, the records reached from the primary key with their overflow
// parts and their entries in every key (rebuilt with the record serial), the record count,
// unique serials, overflow parts no record reaches, and the dictionary and key-descriptor
// chains both ways.  The directory's free bits and fill classes are hints and are not judged.
// `files` is 1 and `bytes` the file's length.  A damaged file gives problems, never a crash or a
// hang; the file is opened read-only and never changed.
VerifyReport verifyExtendedFile(const std::string& path, const VerifyOptions& options = {});

// What the check of an indexed file found: one sentence per problem; none when it is sound.
struct IndexedVerifyReport {
    std::vector<std::string> problems;
    bool ok() const { return problems.empty(); }
};

// Reads the indexed file at `path` and lists what is wrong with it: a file that cannot be
// opened or is shorter than its header, an unknown magic, a record length not above 0, a record
// count above a maximum other than 0, and a length other than exactly the header and the
// records its count promises.
IndexedVerifyReport verifyIndexedFile(const std::string& path);

// ---- the sample data set --------------------------------------------------------------------

// Writes the sample data set into `directory`, which must exist and must not hold any of its
// files yet: customers.dat, orders.dat and stock.dat (classic keyed, customers.dat and stock.dat
// with their own dictionaries), products.ind (indexed), the .ini dictionary sales.ini with the
// column source orders_cols.ini, and the keyed dictionary file meridane.ddf.  0, or an error
// code with the reason in *why.
int makeSampleData(const std::string& directory, std::string* why);

}  // namespace mdnio::devtools

#endif  // MDNIO_DEVTOOLS_H
