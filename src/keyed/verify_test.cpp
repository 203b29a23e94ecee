// The verifier on small classic files written byte by byte here: sound files pass, and each
// single corruption is reported with a message naming the broken invariant.
#include "keyed/verify.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "testutil.h"

namespace mdnio::keyed {
namespace {

using Bytes = std::vector<uint8_t>;

std::string hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%X", v);
    return buf;
}
// How problems name blocks and records.
std::string blockName(uint32_t a) {
    return "block " + hex(a);
}
std::string recordName(uint32_t a) {
    return "record " + hex(a);
}

// ---- writing files by hand ------------------------------------------------------------------

// A file image that grows as bytes are put into it.  Integers are big-endian.
struct Image {
    Bytes bytes;

    void put8(size_t at, uint8_t v) {
        if (bytes.size() <= at) bytes.resize(at + 1);
        bytes[at] = v;
    }
    void put16(size_t at, uint16_t v) {
        put8(at, static_cast<uint8_t>(v >> 8));
        put8(at + 1, static_cast<uint8_t>(v));
    }
    void put32(size_t at, uint32_t v) {
        put16(at, static_cast<uint16_t>(v >> 16));
        put16(at + 2, static_cast<uint16_t>(v));
    }
    void put(size_t at, const Bytes& b) {
        for (size_t i = 0; i < b.size(); ++i)
            put8(at + i, b[i]);
    }
    void put(size_t at, std::string_view s) { put(at, Bytes(s.begin(), s.end())); }
    void reserve(size_t size) {
        if (bytes.size() < size) bytes.resize(size);
    }
    uint16_t get16(size_t at) const {
        return static_cast<uint16_t>(bytes[at] << 8 | bytes[at + 1]);
    }
};

Bytes be32(uint32_t v) {
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes text(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

struct HeaderFields {
    bool blockMode = false;
    uint8_t blockCode = 0;  // B = 1024
    int16_t recordSize = 0;
    int16_t keyArea = 0;
    uint32_t count = 0;
    uint32_t head24 = 0;
    uint32_t head28 = 0;
    uint32_t eof = 512;
    std::vector<uint32_t> roots;
    Bytes descriptors;  // entries, end mark included
    uint32_t dictionary = 0;
    uint8_t segments = 0;
    uint32_t sequence = 0;
    uint8_t flagsB = 0;
};

void putHeader(Image& img, const HeaderFields& h) {
    img.reserve(512);
    img.put(0, "[Mdnkey]");
    img.put16(8, static_cast<uint16_t>(h.recordSize));
    img.put32(14, h.count);
    img.put16(18, static_cast<uint16_t>(h.keyArea));
    img.put32(24, h.head24);
    img.put32(28, h.head28);
    img.put32(32, h.eof);
    for (size_t k = 0; k < h.roots.size(); ++k)
        img.put32(40 + 4 * k, h.roots[k]);
    img.put(104, h.descriptors);
    img.put32(232, 0xCAFE0001);
    img.put8(240, h.blockCode);
    img.put8(241, h.blockMode ? 0x01 : 0x00);
    img.put8(242, 80);
    img.put32(243, h.dictionary);
    img.put8(248, h.segments);
    img.put32(249, h.sequence);
    img.put8(255, h.flagsB);
}

// Key values: a length byte, the bytes, zero padding to L.
Bytes value(std::string_view s, size_t length) {
    Bytes v(length + 1, 0);
    v[0] = static_cast<uint8_t>(s.size());
    std::copy(s.begin(), s.end(), v.begin() + 1);
    return v;
}

// The value of a one-segment alternate key: the bytes taken, the record address right after
// them, then the segment's padding.
Bytes addressed(std::string_view s, size_t segmentLength, uint32_t address) {
    Bytes v(segmentLength + 4 + 1, 0);
    v[0] = static_cast<uint8_t>(s.size() + 4);
    std::copy(s.begin(), s.end(), v.begin() + 1);
    const Bytes a = be32(address);
    std::copy(a.begin(), a.end(), v.begin() + 1 + static_cast<std::ptrdiff_t>(s.size()));
    return v;
}

Bytes endMarker(size_t length) {
    return Bytes(length + 1, 0xFF);
}

struct Entry {
    int32_t pointer;
    Bytes value;
};

constexpr size_t kB = 1024;

// A key block: type 0xFE, own address, count, entries of L + 5 bytes from offset 6.
void putKeyBlock(Image& img, uint32_t at, const std::vector<Entry>& entries) {
    img.reserve(at + kB);
    img.put8(at, 0xFE);
    img.put32(at + 1, at);
    img.put8(at + 5, static_cast<uint8_t>(entries.size()));
    size_t pos = at + 6;
    for (const Entry& e : entries) {
        img.put32(pos, static_cast<uint32_t>(e.pointer));
        img.put(pos + 4, e.value);
        pos += 4 + e.value.size();
    }
}

// A slotted block (data or dictionary): records packed down from the block end in slot order,
// slot table up from offset 8, F at 6.  An empty record leaves its slot unused.
void putSlottedBlock(Image& img, uint32_t at, uint8_t type, const std::vector<Bytes>& records) {
    img.reserve(at + kB);
    img.put8(at, type);
    img.put32(at + 1, at);
    img.put8(at + 5, static_cast<uint8_t>(records.size()));
    size_t end = kB - 6;  // body positions count from block offset 6
    for (size_t s = 0; s < records.size(); ++s) {
        if (records[s].empty()) continue;
        end -= records[s].size();
        img.put16(at + 6 + 2 * (s + 1), static_cast<uint16_t>(end));
        img.put(at + 6 + end, records[s]);
    }
    img.put16(at + 6, static_cast<uint16_t>(end - 2 - 2 * records.size()));
}

// A record in a data block: key area length byte, K key-area bytes, stored length, data and,
// when continued, the link.
Bytes dataRecord(uint8_t keyLength, std::string_view keyArea, size_t k, const Bytes& data,
                 uint32_t link = 0) {
    Bytes r(1 + k, 0);
    r[0] = keyLength;
    std::copy(keyArea.begin(), keyArea.end(), r.begin() + 1);
    const uint16_t stored = static_cast<uint16_t>(data.size() | (link ? 0x8000 : 0));
    r.push_back(static_cast<uint8_t>(stored >> 8));
    r.push_back(static_cast<uint8_t>(stored));
    r.insert(r.end(), data.begin(), data.end());
    if (link) r = cat({r, be32(link)});
    return r;
}

Bytes dictRecord(uint32_t next, uint32_t prev, const Bytes& payload) {
    const uint16_t total = static_cast<uint16_t>(10 + payload.size());
    return cat({be32(next),
                be32(prev),
                {static_cast<uint8_t>(total >> 8), static_cast<uint8_t>(total)},
                payload});
}

// ---- the slot-mode file ------------------------------------------------------------------------
//
// B = 1024, R = 20, K = 0, S = 23.  Key 0 is field 1 (4 bytes), key 1 field 2 (6 bytes, with the
// address suffix: L = 10).  Key 0 has two levels.  Three live slots, one deleted slot, a free
// block.  Fields are separated by 0x8A.
namespace slot {
constexpr uint32_t kRoot = 512, kSlotA = 1536, kSlotB = 1559, kSlotC = 1582, kDeleted = 1605;
constexpr uint32_t kLeafA = 2048, kLeafB = 3072, kAltLeaf = 4096, kFree = 5120, kEof = 6144;
constexpr size_t kL0 = 4, kL1 = 10;

void putSlot(Image& img, uint32_t at, std::string_view data) {
    img.put8(at, 0);  // key area length (K = 0)
    img.put16(at + 1, static_cast<uint16_t>(data.size()));
    img.put(at + 3, data);
}

Image file() {
    Image img;
    HeaderFields h;
    h.recordSize = 20;
    h.count = 3;
    h.head24 = kDeleted;
    h.head28 = kFree;
    h.eof = kEof;
    h.roots = {kRoot, kAltLeaf};
    h.descriptors = {0x00, 0x01, 0x00, 0x04, 0x01, 0x02, 0x00, 0x06, 0xFF, 0, 0, 0};
    putHeader(img, h);
    putKeyBlock(img, kRoot,
                {{int32_t{kLeafA}, value("A002", kL0)}, {int32_t{kLeafB}, endMarker(kL0)}});
    putKeyBlock(img, kLeafA,
                {{-int32_t{kSlotA}, value("A001", kL0)}, {-int32_t{kSlotB}, value("A002", kL0)}});
    putKeyBlock(img, kLeafB, {{-int32_t{kSlotC}, value("A003", kL0)}, {0, endMarker(kL0)}});
    putKeyBlock(img, kAltLeaf,
                {{-int32_t{kSlotC}, addressed("brown", 6, kSlotC)},
                 {-int32_t{kSlotB}, addressed("jones", 6, kSlotB)},
                 {-int32_t{kSlotA}, addressed("smith", 6, kSlotA)},
                 {0, endMarker(kL1)}});
    putSlot(img, kSlotA, "A001\x8Asmith");
    putSlot(img, kSlotB, "A002\x8Ajones");
    putSlot(img, kSlotC,
            "A003\x8A"
            "brown");
    img.put(kDeleted, Bytes{0xFF, 0, 0, 0, 0});
    img.reserve(kEof);
    img.put8(kFree, 0);
    img.put32(kFree + 1, kFree);
    return img;
}

size_t entry(uint32_t block, size_t length, size_t i) {
    return block + 6 + i * (length + 5);
}
}  // namespace slot

// ---- the block-mode file ------------------------------------------------------------------------
//
// B = 1024, R = 10, K = 2, S = 19.  Key 0 is the key area (2 bytes), key 1 the first 3 data bytes
// (L = 7).  Blocks: map, key 0 leaf, data block, key 1 leaf, dictionary block.  The data block
// holds a short record, a record continued into a piece, and the piece.
namespace block {
constexpr uint32_t kMap = 512, kKey0 = 1536, kData = 2560, kKey1 = 3584, kDict = 4608;
constexpr uint32_t kEof = 5632;
constexpr uint32_t kRec1 = kData + 1, kRec2 = kData + 2, kPiece = kData + 3;
constexpr size_t kK = 2, kL0 = 2, kL1 = 7;
// Body positions of the records, packed from the end of the block (body size B - 6 = 1018).
constexpr size_t kRec1Pos = 1008, kRec2Pos = 989, kPiecePos = 980;
constexpr size_t kDict1Pos = 1003, kDict2Pos = 989;

Image file(const Bytes& dictPayload = text("\x03"
                                           "ABC")) {
    Image img;
    HeaderFields h;
    h.blockMode = true;
    h.recordSize = 10;
    h.keyArea = 2;
    h.count = 2;
    h.eof = kEof;
    h.roots = {kKey0, kKey1};
    h.descriptors = {0x00, 0xFF, 0x00, 0x02, 0x01, 0x00, 0x00, 0x03, 0xFF, 0, 0, 0};
    h.dictionary = kDict + 1;
    putHeader(img, h);
    img.reserve(kMap + kB);
    img.put8(kMap, 0xFC);
    img.put32(kMap + 1, kMap);
    img.put(kMap + 6, Bytes{0xFC, 0xFE, 0x80, 0xFE, 0xFB});
    putKeyBlock(img, kKey0,
                {{-int32_t{kRec1}, value("K1", kL0)},
                 {-int32_t{kRec2}, value("K2", kL0)},
                 {0, endMarker(kL0)}});
    putSlottedBlock(img, kData, 0x80,
                    {dataRecord(2, "K1", kK, text("abcde")),
                     dataRecord(2, "K2", kK, text("0123456789"), kPiece),
                     dataRecord(0x82, "K2", kK, text("WXYZ"))});
    putKeyBlock(img, kKey1,
                {{-int32_t{kRec2}, addressed("012", 3, kRec2)},
                 {-int32_t{kRec1}, addressed("abc", 3, kRec1)},
                 {0, endMarker(kL1)}});
    putSlottedBlock(
        img, kDict, 0xFB,
        {dictRecord(kDict + 2, 0, text("hello")), dictRecord(0, kDict + 1, dictPayload)});
    return img;
}

size_t slotOffset(size_t pos) {
    return kData + 6 + pos;
}
}  // namespace block

// ---- running the verifier
// ------------------------------------------------------------------------

VerifyReport verifyImage(const Image& img, const VerifyOptions& options = {}) {
    test::TempDir dir;
    const std::string path = dir.file("file.dat");
    test::writeFile(path, img.bytes);
    return verifyClassicFile(path, options);
}

std::string listOf(const VerifyReport& r) {
    std::string s;
    for (const std::string& p : r.problems)
        s += "\n  " + p;
    return s.empty() ? " (none)" : s;
}

// True when one problem holds every part.
testing::AssertionResult hasProblem(const VerifyReport& r, const std::vector<std::string>& parts) {
    for (const std::string& p : r.problems) {
        if (std::all_of(parts.begin(), parts.end(), [&](const std::string& part) {
                return p.find(part) != std::string::npos;
            })) {
            return testing::AssertionSuccess();
        }
    }
    std::string wanted;
    for (const std::string& part : parts)
        wanted += " \"" + part + "\"";
    return testing::AssertionFailure() << "no problem with" << wanted << "; problems:" << listOf(r);
}

// ---- sound files -------------------------------------------------------------------------------

TEST(VerifySound, SlotModeFilePasses) {
    const VerifyReport r = verifyImage(slot::file());
    EXPECT_TRUE(r.ok()) << listOf(r);
    EXPECT_EQ(r.records, 3u);
}

TEST(VerifySound, BlockModeFilePasses) {
    const VerifyReport r = verifyImage(block::file());
    EXPECT_TRUE(r.ok()) << listOf(r);
    EXPECT_EQ(r.records, 2u);
}

// ---- the shapes of the trees -------------------------------------------------------------------

TEST(VerifyShapes, EveryKeyTreeIsMeasured) {
    const std::vector<KeyTreeShape> slotTrees = {{2, 3, 3}, {1, 1, 3}};
    const std::vector<KeyTreeShape> blockTrees = {{1, 1, 2}, {1, 1, 2}};
    for (bool treesOnly : {false, true}) {
        VerifyOptions options;
        options.treesOnly = treesOnly;
        const VerifyReport s = verifyImage(slot::file(), options);
        EXPECT_TRUE(s.ok()) << listOf(s);
        EXPECT_EQ(s.trees, slotTrees) << "trees only: " << treesOnly;
        EXPECT_EQ(s.bytes, int64_t{slot::kEof});
        EXPECT_EQ(s.files, 1u);
        const VerifyReport b = verifyImage(block::file(), options);
        EXPECT_TRUE(b.ok()) << listOf(b);
        EXPECT_EQ(b.trees, blockTrees) << "trees only: " << treesOnly;
        EXPECT_EQ(b.bytes, static_cast<int64_t>(block::file().bytes.size()));
    }
}

// Only the trees are walked: a record whose data no longer builds its entry in key 1 is not
// looked at, and the trees keep their shapes.
TEST(VerifyShapes, TreesOnlyLeavesTheRecordsAlone) {
    Image img = slot::file();
    img.put(slot::kSlotA + 3 + 5, "smyth");
    EXPECT_FALSE(verifyImage(img).ok());
    VerifyOptions options;
    options.treesOnly = true;
    const VerifyReport r = verifyImage(img, options);
    EXPECT_TRUE(r.ok()) << listOf(r);
    EXPECT_EQ(r.trees, (std::vector<KeyTreeShape>{{2, 3, 3}, {1, 1, 3}}));
}

// ---- corruptions
// ---------------------------------------------------------------------------------

enum class Fixture { Slot, Block };

struct Corruption {
    std::string name;
    Fixture fixture;
    std::function<void(Image&)> damage;
    std::vector<std::string> expected;  // parts of one problem
};

const std::vector<Corruption>& corruptions() {
    using namespace slot;
    static const std::vector<Corruption> cases = {
        // ---- key trees
        {"UnsortedEntries",
         Fixture::Slot,
         [](Image& img) {
             img.put(entry(kLeafA, kL0, 0) + 4, value("A002", kL0));
             img.put(entry(kLeafA, kL0, 1) + 4, value("A001", kL0));
         },
         {blockName(kLeafA), "entries not sorted"}},
        {"MissingEndMarker",
         Fixture::Slot,
         [](Image& img) { img.put8(kLeafB + 5, 1); },
         {blockName(kLeafB), "not closed by an end marker"}},
        {"ChildKeyAboveParentEntry",
         Fixture::Slot,
         [](Image& img) { img.put(entry(kRoot, kL0, 0) + 4, value("A001", kL0)); },
         {blockName(kLeafA), "above its parent entry"}},
        {"ChildKeyNotAbovePreviousParentEntry",
         Fixture::Slot,
         [](Image& img) { img.put(entry(kRoot, kL0, 0) + 4, value("A003", kL0)); },
         {blockName(kLeafB), "not above the parent's previous entry"}},
        {"KeyBlockPointingAtItself",
         Fixture::Slot,
         [](Image& img) { img.put32(entry(kRoot, kL0, 0), kRoot); },
         {blockName(kRoot), "reached twice"}},
        {"LeafPointingBackAtTheRoot",
         Fixture::Slot,
         [](Image& img) { img.put32(entry(kLeafA, kL0, 0), kRoot); },
         {blockName(kRoot), "reached twice"}},
        {"EntryCountAboveCapacity",
         Fixture::Slot,
         [](Image& img) { img.put8(kLeafA + 5, 200); },
         {blockName(kLeafA), "above the capacity 113"}},
        {"KeyBlockWrongType",
         Fixture::Slot,
         [](Image& img) { img.put8(kLeafA, 0x80); },
         {blockName(kLeafA), "not a key block"}},
        {"KeyBlockSelfAddress",
         Fixture::Slot,
         [](Image& img) { img.put32(kLeafA + 1, 0); },
         {blockName(kLeafA), "self address"}},
        {"EndMarkerInsideALevel",
         Fixture::Slot,
         [](Image& img) { img.put(entry(kLeafA, kL0, 1) + 4, endMarker(kL0)); },
         {blockName(kLeafA), "end marker before the end of its level"}},
        {"ValueLengthAboveKeyLength",
         Fixture::Slot,
         [](Image& img) { img.put8(entry(kLeafB, kL0, 0) + 4, 5); },
         {blockName(kLeafB), "above the key length"}},
        {"ChildPointerOutsideTheFile",
         Fixture::Slot,
         [](Image& img) { img.put32(entry(kRoot, kL0, 1), 0x00100000); },
         {blockName(0x00100000), "beyond the end of file"}},
        {"LeafEndMarkerWithPointer",
         Fixture::Slot,
         [](Image& img) { img.put32(entry(kLeafB, kL0, 1), 0xFFFFF000); },
         {blockName(kLeafB), "end marker has pointer"}},
        {"InnerEntryPointingAtARecord",
         Fixture::Slot,
         [](Image& img) {
             img.put32(entry(kRoot, kL0, 1), static_cast<uint32_t>(-int32_t{kSlotC}));
         },
         {blockName(kRoot), "inner entry pointer -1582 is not a child block"}},
        {"LeafEntryPointingAtABlock",
         Fixture::Slot,
         [](Image& img) { img.put32(entry(kLeafA, kL0, 1), kLeafB); },
         {blockName(kLeafA), "leaf entry points at a child block"}},
        {"LeavesAtDifferentDepths",
         Fixture::Slot,
         [](Image& img) {
             // An extra level above leaf B only, in place of the free block.
             img.put32(28, 0);
             putKeyBlock(img, kFree, {{int32_t{kLeafB}, endMarker(kL0)}});
             img.put32(entry(kRoot, kL0, 1), kFree);
         },
         {blockName(kLeafB), "leaf at depth 3 while other leaves are at 2"}},
        {"RootOfAKeyThatDoesNotExist",
         Fixture::Slot,
         [](Image& img) { img.put32(48, kLeafB); },
         {"root of key 2"}},
        // ---- records and keys
        {"RecordCountOffByOne",
         Fixture::Slot,
         [](Image& img) { img.put32(14, 4); },
         {"record count 4", "3 key 0 leaf entries"}},
        {"AlternateEntryMissing",
         Fixture::Slot,
         [](Image& img) {
             img.put8(kAltLeaf + 5, 3);  // drop "jones": smith and the end marker move down
             img.put(entry(kAltLeaf, kL1, 1), cat({be32(static_cast<uint32_t>(-int32_t{kSlotA})),
                                                   addressed("smith", 6, kSlotA)}));
             img.put(entry(kAltLeaf, kL1, 2), cat({be32(0), endMarker(kL1)}));
         },
         {"key 1: entry missing for", recordName(kSlotB)}},
        {"AlternateEntryExtra",
         Fixture::Slot,
         [](Image& img) {
             img.put8(kAltLeaf + 5, 5);
             img.put(entry(kAltLeaf, kL1, 3), cat({be32(static_cast<uint32_t>(-int32_t{kSlotA})),
                                                   addressed("zzzzz", 6, kSlotA)}));
             img.put(entry(kAltLeaf, kL1, 4), cat({be32(0), endMarker(kL1)}));
         },
         {"key 1: entry", "belongs to no record"}},
        {"AlternateEntryPointsElsewhere",
         Fixture::Slot,
         [](Image& img) {
             img.put32(entry(kAltLeaf, kL1, 0), static_cast<uint32_t>(-int32_t{kSlotA}));
         },
         {"key 1: entry for", recordName(kSlotC), "points at"}},
        {"UniqueKeyWithADuplicateValue",
         Fixture::Slot,
         [](Image& img) {
             // Key 1 made unique, and record B given record A's "smith".
             img.put(104, Bytes{0x00, 0x01, 0x00, 0x04, 0x01, 0x02, 0x00, 0x06, 0xFE, 0x01, 0x00,
                                0x00, 0xFF, 0, 0, 0});
             putSlot(img, kSlotB, "A002\x8Asmith");
             putKeyBlock(img, kAltLeaf,
                         {{-int32_t{kSlotC}, addressed("brown", 6, kSlotC)},
                          {-int32_t{kSlotA}, addressed("smith", 6, kSlotA)},
                          {-int32_t{kSlotB}, addressed("smith", 6, kSlotB)},
                          {0, endMarker(kL1)}});
         },
         {"unique key 1: duplicate value", recordName(kSlotA), recordName(kSlotB)}},
        {"Key0EntryDoesNotMatchItsRecord",
         Fixture::Slot,
         [](Image& img) { img.put(kSlotA + 3, "A00X"); },
         {recordName(kSlotA), "does not match the record's key 0 value"}},
        {"RecordLengthAboveR",
         Fixture::Slot,
         [](Image& img) { img.put16(kSlotB + 1, 21); },
         {recordName(kSlotB), "record length 21 is above R 20"}},
        {"LeafPointsAtADeletedSlot",
         Fixture::Slot,
         [](Image& img) {
             img.put32(entry(kLeafB, kL0, 0), static_cast<uint32_t>(-int32_t{kDeleted}));
         },
         {recordName(kDeleted), "deleted slot"}},
        {"LeafPointsBetweenSlots",
         Fixture::Slot,
         [](Image& img) {
             img.put32(entry(kLeafB, kL0, 0), static_cast<uint32_t>(-int32_t{kSlotC + 1}));
         },
         {recordName(kSlotC + 1), "not at a slot position"}},
        {"TwoLeafEntriesOneRecord",
         Fixture::Slot,
         [](Image& img) {
             img.put32(entry(kLeafA, kL0, 1), static_cast<uint32_t>(-int32_t{kSlotA}));
         },
         {recordName(kSlotA), "reached twice"}},
        // ---- slot-mode chains
        {"DeletedChainCycle",
         Fixture::Slot,
         [](Image& img) { img.put32(kDeleted + 1, static_cast<uint32_t>(-int32_t{kDeleted})); },
         {"deleted-slot chain", "cycle"}},
        {"DeletedChainPositiveLink",
         Fixture::Slot,
         [](Image& img) { img.put32(kDeleted + 1, kSlotA); },
         {"deleted-slot chain", "is positive"}},
        {"DeletedChainIntoALiveSlot",
         Fixture::Slot,
         [](Image& img) { img.put32(kDeleted + 1, static_cast<uint32_t>(-int32_t{kSlotA})); },
         {"deleted-slot chain", "is not 0xFF"}},
        {"DeletedSlotInsideAKeyBlock",
         Fixture::Slot,
         [](Image& img) {
             const uint32_t inside = 1536 + 23 * 60;  // a slot position within leaf A
             img.put(inside, Bytes{0xFF, 0, 0, 0, 0});
             img.put32(kDeleted + 1, static_cast<uint32_t>(-int32_t{inside}));
         },
         {"overlaps"}},
        {"FreeChainPointingOutsideTheFile",
         Fixture::Slot,
         [](Image& img) { img.put32(kFree + 6, 0x00100000); },
         {"free-block chain", "beyond the end of file"}},
        {"FreeChainCycle",
         Fixture::Slot,
         [](Image& img) { img.put32(kFree + 6, kFree); },
         {"free-block chain", "cycle"}},
        {"FreeChainIntoAKeyBlock",
         Fixture::Slot,
         [](Image& img) { img.put32(28, kLeafA); },
         {"free-block chain", "is not free"}},
        // ---- header
        {"BadMagic", Fixture::Slot, [](Image& img) { img.put(0, "[Mdnkex]"); }, {"bad magic"}},
        {"EndOfFileBeyondTheFile",
         Fixture::Slot,
         [](Image& img) { img.put32(32, kEof + 512); },
         {"end of file", "beyond the file length"}},
        {"CounterCheckMismatch",
         Fixture::Slot,
         [](Image& img) {
             img.put8(241, 0x40);
             img.put8(36, 7);
         },
         {"counter check"}},
        {"InterruptedCommit",
         Fixture::Slot,
         [](Image& img) { img.put8(255, 0x20); },
         {"commit-in-progress"}},
        {"DescriptorTableWithAGap",
         Fixture::Slot,
         [](Image& img) { img.put8(108, 0x02); },
         {"descriptor table does not decode"}},
        {"SegmentsInSlotMode",
         Fixture::Slot,
         [](Image& img) { img.put8(248, 1); },
         {"segment count 1"}},
        {"RecordCountAboveMaximum",
         Fixture::Slot,
         [](Image& img) { img.put32(10, 2); },
         {"above the maximum record count"}},

        // ---- block mode
        {"MapByteDisagreesWithBlockType",
         Fixture::Block,
         [](Image& img) { img.put8(block::kMap + 6 + 2, 0xFE); },
         {blockName(block::kData), "map byte 0xFE disagrees with block type 0x80"}},
        {"MapByteForAFreeBlockBeyondEof",
         Fixture::Block,
         [](Image& img) { img.put8(block::kMap + 6 + 7, 0x80); },
         {"beyond the end of file is not 0"}},
        {"MapBlockWrongType",
         Fixture::Block,
         [](Image& img) { img.put8(block::kMap, 0x00); },
         {"allocation map", "is not a map"}},
        {"DataBlockFreeCountWrong",
         Fixture::Block,
         [](Image& img) { img.put16(block::kData + 6, img.get16(block::kData + 6) + 1); },
         {blockName(block::kData), "free count F 973"}},
        {"DataRecordInTheFreeSpace",
         Fixture::Block,
         [](Image& img) {
             // The piece moved to the start of the free space: F still adds up, but the next
             // record placed below the free space would land on it.
             const size_t moved = 8;
             const size_t from = block::slotOffset(block::kPiecePos);
             const Bytes piece(img.bytes.begin() + from, img.bytes.begin() + from + 9);
             img.put(from, Bytes(9, 0));
             img.put(block::slotOffset(moved), piece);
             img.put16(block::kData + 6 + 6, moved);
         },
         {blockName(block::kData), "slot 3: record offset 8 lies in the free space"}},
        {"DataRecordsOverlap",
         Fixture::Block,
         [](Image& img) { img.put16(block::kData + 6 + 2, block::kRec2Pos); },
         {blockName(block::kData), "overlap"}},
        {"DataRecordLengthAboveR",
         Fixture::Block,
         [](Image& img) { img.put16(block::slotOffset(block::kRec2Pos) + 1 + block::kK, 14); },
         {recordName(block::kRec2), "record length 14 is above R 10"}},
        {"DataRecordBeyondSlotSize",
         Fixture::Block,
         [](Image& img) { img.put16(block::slotOffset(block::kRec1Pos) + 1 + block::kK, 15); },
         {recordName(block::kRec1), "runs past the slot size S"}},
        {"KeyAreaLengthAboveK",
         Fixture::Block,
         [](Image& img) { img.put8(block::slotOffset(block::kRec1Pos), 3); },
         {recordName(block::kRec1), "key area length 3 is above K"}},
        {"PieceNotMarked",
         Fixture::Block,
         [](Image& img) { img.put8(block::slotOffset(block::kPiecePos), 0x02); },
         {"continuation piece", "not marked as a piece"}},
        {"PieceWithAnotherKeyArea",
         Fixture::Block,
         [](Image& img) { img.put(block::slotOffset(block::kPiecePos) + 1, "K9"); },
         {"continuation piece", "owner's key area"}},
        {"ContinuationLinkToItself",
         Fixture::Block,
         [](Image& img) {
             img.put32(block::slotOffset(block::kRec2Pos) + 1 + block::kK + 2 + 10, block::kRec2);
         },
         {recordName(block::kRec2), "reached twice"}},
        {"RecordNotReachedFromKey0",
         Fixture::Block,
         [](Image& img) {
             img.put32(14, 1);
             img.put8(block::kKey0 + 5, 2);
             img.put(block::kKey0 + 6, cat({be32(static_cast<uint32_t>(-int32_t{block::kRec2})),
                                            value("K2", block::kL0)}));
             img.put(block::kKey0 + 6 + 7, cat({be32(0), endMarker(block::kL0)}));
         },
         {recordName(block::kRec1), "not reached from key 0"}},
        {"KeyBlockInNoTree",
         Fixture::Block,
         [](Image& img) { img.put32(44, 0); },
         {blockName(block::kKey1), "not part of any key tree"}},
        {"LeafPointsAtSlotZero",
         Fixture::Block,
         [](Image& img) {
             img.put32(block::kKey0 + 6, static_cast<uint32_t>(-int32_t{block::kData}));
         },
         {recordName(block::kData), "slot 0"}},
        {"LeafPointsAtAKeyBlock",
         Fixture::Block,
         [](Image& img) {
             img.put32(block::kKey0 + 6, static_cast<uint32_t>(-int32_t{block::kKey1 + 1}));
         },
         {recordName(block::kKey1 + 1), "not a data block"}},
        {"UnknownBlockType",
         Fixture::Block,
         [](Image& img) { img.put8(block::kDict, 0x42); },
         {blockName(block::kDict), "unknown block type 0x42"}},
        {"DictionaryPreviousLinkWrong",
         Fixture::Block,
         [](Image& img) { img.put32(block::kDict + 6 + block::kDict2Pos + 4, 0); },
         {"dictionary chain", "previous link"}},
        {"DictionaryCycle",
         Fixture::Block,
         [](Image& img) { img.put32(block::kDict + 6 + block::kDict2Pos, block::kDict + 2); },
         {"dictionary chain", "cycle"}},
        {"DictionaryRecordLengthTooLong",
         Fixture::Block,
         [](Image& img) { img.put16(block::kDict + 6 + block::kDict1Pos + 8, 40); },
         {"dictionary", "does not fit in its block"}},
        {"EndOfFileInAnotherSegment",
         Fixture::Block,
         [](Image& img) { img.put32(32, block::kEof + 256); },
         {"end of file", "segment 1"}},
        {"MissingSegmentFile",
         Fixture::Block,
         [](Image& img) { img.put8(248, 1); },
         {"segment 1", "cannot be opened"}},
        {"GroupHintNotAGroup",
         Fixture::Block,
         [](Image& img) { img.put32(28, block::kKey0); },
         {"free-block group hint (28)", "not the address of a map group"}},
        // ---- key segments that reach past what a record holds (descriptors at 104)
        {"KeySegmentPastTheKeyArea",
         Fixture::Block,
         [](Image& img) { img.put8(106, 1); },  // key 0: key area from offset 1, length 2
         {"key 0 segment 1", "offset 1 + length 2 reaches past the 2-byte key area"}},
        {"DataSegmentPastTheRecordSize",
         Fixture::Block,
         [](Image& img) { img.put8(110, 8); },  // key 1: whole data from offset 8, length 3
         {"key 1 segment 1", "offset 8 + length 3 reaches past the record size of 10 bytes"}},
        {"FieldPastWhatTheFieldsBeforeItLeave",
         Fixture::Slot,
         [](Image& img) { img.put8(110, 14); },  // key 1: field 2 from offset 14, length 6
         {"key 1 segment 1", "offset 14 + length 6 reaches past field 2",
          "at most 19 bytes of a 20-byte record"}},
        {"FieldNoRecordCanHold",
         Fixture::Slot,
         [](Image& img) { img.put8(109, 21); },  // key 1: field 21 of a 20-byte record
         {"key 1 segment 1", "field 21, which a 20-byte record can never hold"}},
    };
    return cases;
}

class VerifyCorruption : public testing::TestWithParam<Corruption> {};

TEST_P(VerifyCorruption, IsReportedByName) {
    Image img = GetParam().fixture == Fixture::Slot ? slot::file() : block::file();
    GetParam().damage(img);
    const VerifyReport r = verifyImage(img);
    EXPECT_FALSE(r.ok());
    EXPECT_TRUE(hasProblem(r, GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(OneAtATime, VerifyCorruption, testing::ValuesIn(corruptions()),
                         [](const auto& info) { return info.param.name; });

// ---- variants of the format ------------------------------------------------------------------

// A key-only file (R = 0): leaf entries carry no address and are the records themselves.
Image keyOnlyFile() {
    Image img;
    HeaderFields h;
    h.keyArea = 4;
    h.count = 2;
    h.eof = 1536;
    h.roots = {512};
    h.descriptors = {0x00, 0xFF, 0x00, 0x04, 0xFF, 0, 0, 0};
    putHeader(img, h);
    putKeyBlock(img, 512, {{0, value("AAAA", 4)}, {0, value("BBBB", 4)}, {0, endMarker(4)}});
    return img;
}

// Key 0 with a 4-byte sequence suffix after the 4 bytes of field 1.
Image sequenceFile(uint32_t counter) {
    Image img;
    HeaderFields h;
    h.recordSize = 20;
    h.count = 1;
    h.eof = 1536 + 23;
    h.roots = {512};
    h.sequence = counter;
    h.descriptors = {0x00, 0x01, 0x00, 0x04, 0xFE, 0x20, 0x00, 0x00, 0xFF, 0, 0, 0};
    putHeader(img, h);
    putKeyBlock(img, 512, {{-1536, cat({value("A001", 4), be32(5)})}, {0, endMarker(8)}});
    img.bytes[512 + 6 + 4] = 8;  // the length byte counts the suffix
    img.reserve(1536 + 23);
    slot::putSlot(img, 1536, "A001\x8Azz");
    return img;
}

// Block mode with compressed record data: S = R + K + 8 = 20; "aaaaaaaaaa" codes as 0x8A 'a'.
Image compressedFile(const Bytes& codes) {
    Image img;
    HeaderFields h;
    h.blockMode = true;
    h.recordSize = 10;
    h.keyArea = 2;
    h.count = 1;
    h.eof = 4608;
    h.roots = {1536, 3584};
    h.flagsB = 0x01;
    h.descriptors = {0x00, 0xFF, 0x00, 0x02, 0x01, 0x00, 0x00, 0x03, 0xFF, 0, 0, 0};
    putHeader(img, h);
    img.reserve(512 + kB);
    img.put8(512, 0xFC);
    img.put32(513, 512);
    img.put(512 + 6, Bytes{0xFC, 0xFE, 0x80, 0xFE});
    putKeyBlock(img, 1536, {{-2561, value("K1", 2)}, {0, endMarker(2)}});
    putSlottedBlock(img, 2560, 0x80, {dataRecord(2, "K1", 2, codes)});
    putKeyBlock(img, 3584, {{-2561, addressed("aaa", 3, 2561)}, {0, endMarker(7)}});
    return img;
}

// A key-0 tree of `levels` levels: a chain of inner blocks holding only the end marker, over
// one empty leaf.
Image deepFile(int levels) {
    Image img;
    HeaderFields h;
    h.recordSize = 20;
    h.eof = 512 + static_cast<uint32_t>(levels) * 1024;
    h.roots = {512};
    h.descriptors = {0x00, 0x01, 0x00, 0x04, 0xFF, 0, 0, 0};
    putHeader(img, h);
    for (int i = 0; i < levels; ++i) {
        const uint32_t at = 512 + static_cast<uint32_t>(i) * 1024;
        const int32_t child = i + 1 < levels ? static_cast<int32_t>(at + 1024) : 0;
        putKeyBlock(img, at, {{child, endMarker(4)}});
    }
    return img;
}

struct Variant {
    std::string name;
    std::function<Image()> make;
    std::vector<std::string> expected;  // empty: the file is sound
};

const std::vector<Variant>& variants() {
    static const std::vector<Variant> cases = {
        {"KeyOnlyFileIsSound", keyOnlyFile, {}},
        {"KeyOnlyFileCountOff",
         [] {
             Image img = keyOnlyFile();
             img.put32(14, 3);
             return img;
         },
         {"record count 3"}},
        {"KeyOnlyLeafWithAddress",
         [] {
             Image img = keyOnlyFile();
             img.put32(512 + 6, 0xFFFFF9FF);
             return img;
         },
         {"key-only file's leaf entry carries a record address"}},
        {"SequenceSuffixWithinTheCounter", [] { return sequenceFile(5); }, {}},
        {"SequenceSuffixAboveTheCounter",
         [] { return sequenceFile(4); },
         {"sequence suffix 5 is above the sequence counter 4"}},
        {"CompressedRecordIsSound",
         [] {
             return compressedFile({0x8A, 'a'});
         },
         {}},
        {"CompressedStoredFormIsSound",
         [] {
             return compressedFile(cat({{241}, text("aaaaaaaaaa")}));
         },
         {}},
        {"CompressedRecordExpandsBeyondR",
         [] {
             return compressedFile({0x8B, 'a'});
         },
         {"expands beyond the record size R 10"}},
        {"CompressedRecordWithABadCode",
         [] {
             return compressedFile({0xF5, 'a'});
         },
         {"does not decompress"}},
        {"TreeOf16LevelsIsSound", [] { return deepFile(16); }, {}},
        {"TreeOf17Levels", [] { return deepFile(17); }, {"tree depth above 16"}},
    };
    return cases;
}

class VerifyVariant : public testing::TestWithParam<Variant> {};

TEST_P(VerifyVariant, SoundOrReported) {
    const VerifyReport r = verifyImage(GetParam().make());
    if (GetParam().expected.empty()) {
        EXPECT_TRUE(r.ok()) << listOf(r);
    } else {
        EXPECT_TRUE(hasProblem(r, GetParam().expected));
    }
}

INSTANTIATE_TEST_SUITE_P(Files, VerifyVariant, testing::ValuesIn(variants()),
                         [](const auto& info) { return info.param.name; });

// ---- segment files ------------------------------------------------------------------------------
//
// Block mode, one key over the key area.  The base file holds its map and the key 0 leaf; the
// record lives in a data block of segment 1 (address 1792 = 512 + 256 + 1024), whose map is at
// address 768.  End of file: segment 1, offset 2560, address 2816.
struct Segmented {
    Image base;
    Image segment;
};

Segmented segmentedFile() {
    Segmented s;
    HeaderFields h;
    h.blockMode = true;
    h.recordSize = 10;
    h.keyArea = 2;
    h.count = 1;
    h.eof = 2816;
    h.segments = 1;
    h.roots = {1536};
    h.descriptors = {0x00, 0xFF, 0x00, 0x02, 0xFF, 0, 0, 0};
    putHeader(s.base, h);
    s.base.reserve(2560);
    s.base.put8(512, 0xFC);
    s.base.put32(513, 512);
    s.base.put(518, Bytes{0xFC, 0xFE});
    putKeyBlock(s.base, 1536, {{-1793, value("K1", 2)}, {0, endMarker(2)}});

    // The segment file: the base's first 512 bytes with "seg" at 4..6, its blocks at their
    // offsets in the segment.
    s.segment.bytes.assign(s.base.bytes.begin(), s.base.bytes.begin() + 512);
    s.segment.put(4, "seg");
    Image blocks;
    s.segment.reserve(2560);
    s.segment.put8(512, 0xFC);
    s.segment.put32(513, 768);
    s.segment.put(518, Bytes{0xFC, 0x80});
    putSlottedBlock(blocks, 1792, 0x80, {dataRecord(2, "K1", 2, text("data"))});
    s.segment.put(1536, Bytes(blocks.bytes.begin() + 1792, blocks.bytes.begin() + 1792 + kB));
    return s;
}

Image linkTo(const std::string& target) {
    // A link holds 60 bytes of path; a longer one would be cut and name another file.
    if (target.size() > 60) throw std::runtime_error("link target too long: " + target);
    Image link;
    link.put(0, "[Mdnlnk]");
    link.put(8, std::string(60, ' '));
    link.put(8, target);
    return link;
}

TEST(VerifySegments, RecordsInASegmentFileAreReached) {
    test::TempDir dir;
    const Segmented s = segmentedFile();
    test::writeFile(dir.file("f.dat"), s.base.bytes);
    test::writeFile(dir.file("f.dat.001"), s.segment.bytes);
    const VerifyReport r = verifyClassicFile(dir.file("f.dat"));
    EXPECT_TRUE(r.ok()) << listOf(r);
    EXPECT_EQ(r.records, 1u);
}

// Link tests keep their files in a short directory, whatever the test tree's path, so that every
// path fits the link's 60 bytes.
const char* const kShortRoot = "/tmp";

TEST(VerifySegments, LinksAreFollowed) {
    test::TempDir dir(kShortRoot);
    const Segmented s = segmentedFile();
    test::writeFile(dir.file("f.dat"), s.base.bytes);
    test::writeFile(dir.file("f.dat.001"), linkTo(dir.file("hop")).bytes);
    test::writeFile(dir.file("hop"), linkTo(dir.file("real")).bytes);
    test::writeFile(dir.file("real"), s.segment.bytes);
    const VerifyReport r = verifyClassicFile(dir.file("f.dat"));
    EXPECT_TRUE(r.ok()) << listOf(r);
    EXPECT_EQ(r.records, 1u);
}

TEST(VerifySegments, BrokenSegmentsAreReported) {
    struct Case {
        const char* name;
        std::function<void(const test::TempDir&, const Segmented&)> files;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"link cycle",
         [](const test::TempDir& d, const Segmented&) {
             test::writeFile(d.file("f.dat.001"), linkTo(d.file("loop")).bytes);
             test::writeFile(d.file("loop"), linkTo(d.file("f.dat.001")).bytes);
         },
         {"segment 1", "cycle"}},
        {"link to nowhere",
         [](const test::TempDir& d, const Segmented&) {
             test::writeFile(d.file("f.dat.001"), linkTo(d.file("gone")).bytes);
         },
         {"segment 1", "cannot be opened"}},
        {"neither segment nor link",
         [](const test::TempDir& d, const Segmented& s) {
             Image wrong = s.segment;
             wrong.put(4, "key]");
             test::writeFile(d.file("f.dat.001"), wrong.bytes);
         },
         {"segment 1", "neither a segment file"}},
        {"segment shorter than the end of file",
         [](const test::TempDir& d, const Segmented& s) {
             Bytes cut = s.segment.bytes;
             cut.resize(2000);
             test::writeFile(d.file("f.dat.001"), cut);
         },
         {"end of file", "beyond the length"}},
    };
    for (const Case& c : cases) {
        test::TempDir dir(kShortRoot);
        const Segmented s = segmentedFile();
        test::writeFile(dir.file("f.dat"), s.base.bytes);
        c.files(dir, s);
        const VerifyReport r = verifyClassicFile(dir.file("f.dat"));
        EXPECT_TRUE(hasProblem(r, c.expected)) << c.name;
    }
}

// ---- enciphered blocks --------------------------------------------------------------------------

// The block-mode file with a password record of kind 2 as dictionary record 1, and its key and
// data blocks enciphered from byte 5 by a stand-in cipher (XOR 0x5A).
Image encipheredFile() {
    const Bytes ext = cat({text("\x03"
                                "EXT"),
                           {0x00},
                           {0x02, 0x02, 0xF7}});
    Image img = block::file(ext);
    for (uint32_t at : {block::kKey0, block::kData, block::kKey1}) {
        for (size_t i = 5; i < kB; ++i)
            img.bytes[at + i] ^= 0x5A;
    }
    return img;
}

TEST(VerifyCipher, EncipheredBlocksNeedADecipher) {
    const VerifyReport r = verifyImage(encipheredFile());
    EXPECT_TRUE(hasProblem(r, {"enciphered", "no decipher"}));
}

TEST(VerifyCipher, DecipheredFileIsSound) {
    int calls = 0;
    VerifyOptions options;
    options.decipher = [&](std::span<uint8_t> bytes) {
        ++calls;
        for (uint8_t& b : bytes)
            b ^= 0x5A;
    };
    const VerifyReport r = verifyImage(encipheredFile(), options);
    EXPECT_TRUE(r.ok()) << listOf(r);
    EXPECT_EQ(r.records, 2u);
    EXPECT_GE(calls, 3);
}

TEST(VerifyCipher, PlainFileNeverCallsTheDecipher) {
    VerifyOptions options;
    options.decipher = [](std::span<uint8_t>) { ADD_FAILURE() << "a plain file was deciphered"; };
    EXPECT_TRUE(verifyImage(block::file(), options).ok());
}

// ---- untrusted input
// ------------------------------------------------------------------------------

TEST(VerifyUntrusted, EveryTruncationIsReported) {
    for (const Image& sound : {slot::file(), block::file()}) {
        for (size_t cut = 0; cut < sound.bytes.size(); cut += 97) {
            Image img = sound;
            img.bytes.resize(cut);
            const VerifyReport r = verifyImage(img);
            EXPECT_FALSE(r.ok()) << "cut at " << cut;
        }
    }
}

TEST(VerifyUntrusted, ProblemListIsBounded) {
    Image img = block::file();
    for (size_t i = 0; i < 1000; ++i)
        img.put8(block::kMap + 6 + 5 + i, 0x80);
    VerifyOptions options;
    options.maxProblems = 10;
    const VerifyReport r = verifyImage(img, options);
    ASSERT_EQ(r.problems.size(), 11u);
    EXPECT_NE(r.problems.back().find("more problems"), std::string::npos);
    // The count takes in the problems not listed: as many as a longer list holds.
    options.maxProblems = 100000;
    const VerifyReport all = verifyImage(img, options);
    ASSERT_EQ(all.unlisted, 0u);
    EXPECT_EQ(r.count(), all.problems.size());
    EXPECT_EQ(r.unlisted, all.problems.size() - 10);
    EXPECT_EQ(all.count(), all.problems.size());
}

// Random damage anywhere in either file: the verifier finishes (no crash under the sanitizers,
// no hang), gives the same answer twice, and each problem says where it is.
TEST(VerifyUntrusted, RandomDamageGivesStableReports) {
    std::mt19937 random(20240611);
    for (const Image& sound : {slot::file(), block::file()}) {
        for (int round = 0; round < 150; ++round) {
            Image img = sound;
            const int hits = 1 + static_cast<int>(random() % 8);
            for (int i = 0; i < hits; ++i) {
                img.bytes[random() % img.bytes.size()] = static_cast<uint8_t>(random());
            }
            const VerifyReport first = verifyImage(img);
            const VerifyReport second = verifyImage(img);
            EXPECT_EQ(first.problems, second.problems);
            for (const std::string& p : first.problems)
                EXPECT_NE(p.find(':'), std::string::npos) << p;
        }
    }
}

}  // namespace
}  // namespace mdnio::keyed
