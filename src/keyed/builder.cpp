#include "keyed/builder.h"

#include <algorithm>

#include "common/bytes.h"
#include "common/keydesc.h"
#include "devtools/layout_parts.h"
#include "keyed/format.h"
#include "platform/platform.h"

namespace mdnio::keyed {

namespace {

using common::KeyDesc;
using common::KeyLayout;
using common::KeySuffix;
using common::Segment;

constexpr int kMaxBlockCode = 127;  // header 240 is signed
// Data blocks hold 16-bit record positions and free counts: their body must stay below 64 KiB.
constexpr int kMaxBlockModeSize = 65536;
constexpr int kMaxRecordSize = 0x7FFF;  // the data length field is signed, bit 15 a flag
constexpr int kMaxKeyArea = 0x7F;       // the key area length byte has 7 bits of length
constexpr uint16_t kMaxSegmentOffset = 0xFFF;
constexpr uint8_t kMaxSegmentLength = 0x7F;
constexpr uint16_t kMaxClassicField = 0xFE;  // 0xFF is the key area
constexpr size_t kEntrySize = 4;
constexpr size_t kHeaderEntries = 32;
constexpr size_t kTableBytes = kDescriptorBytes + kHeaderSize;  // header part and continuation
constexpr uint16_t kKnownOptions = 0x3F7F;
constexpr uint16_t kNullOptions = common::kOptNullSegment | common::kOptNullCounting;

// Refusals answer MDK_E_LENGTH.
class Refusal : public devtools::LayoutRefusal {
  public:
    Refusal(std::string* why, LayoutFault* fault)
        : devtools::LayoutRefusal(MDK_E_LENGTH, why, fault) {}
};

// The slot size S of the layout: the most bytes a record (or a piece of one) takes.
int slotSize(const ClassicLayout& layout) {
    return slotSizeOf(layout.recordSize, layout.keyAreaSize, layout.blockMode, layout.compress);
}

int checkSizes(const ClassicLayout& layout, const Refusal& refuse) {
    const int b = layout.blockSize;
    if (b < kBlockUnit || b % kBlockUnit != 0 || b / kBlockUnit - 1 > kMaxBlockCode) {
        return refuse("block size " + std::to_string(b) +
                      " is not a multiple of 1024 from 1024 to " +
                      std::to_string((kMaxBlockCode + 1) * kBlockUnit));
    }
    if (layout.blockMode && b > kMaxBlockModeSize) {
        return refuse("block size " + std::to_string(b) +
                      " is above 65536, the largest a data block can address");
    }
    if (layout.recordSize < 0 || layout.recordSize > kMaxRecordSize) {
        return refuse("record size " + std::to_string(layout.recordSize) + " is not in 0..32767");
    }
    if (layout.keyAreaSize < 0 || layout.keyAreaSize > kMaxKeyArea) {
        return refuse("key area size " + std::to_string(layout.keyAreaSize) + " is not in 0..127");
    }
    if (layout.recordSize == 0 && layout.keyAreaSize == 0) {
        return refuse("record size and key area size are both 0: records would hold nothing");
    }
    if (layout.compress && !layout.blockMode) {
        return refuse("compression needs block mode: slot-mode records are stored as they are");
    }
    // A record piece of S bytes and its slot entry must fit in an empty data block (B - 8 free).
    if (layout.blockMode && slotSize(layout) + 2 > b - 8) {
        return refuse("a record of " + std::to_string(slotSize(layout)) +
                      " bytes (record size, key area and record head) does not fit in a " +
                      std::to_string(b) + "-byte data block");
    }
    if (layout.fillPercent < 0 || layout.fillPercent > 100) {
        return refuse("fill percentage " + std::to_string(layout.fillPercent) +
                      " is not in 0..100");
    }
    switch (layout.separator) {
        case ClassicLayout::Separator::Default:
        case ClassicLayout::Separator::Byte:
        case ClassicLayout::Separator::LengthPrefixed:
            return 0;
    }
    return refuse("unknown field separator choice");
}

int checkSegment(const ClassicLayout& layout, size_t k, size_t i, const Segment& s,
                 const Refusal& refuse) {
    auto refused = [&](const std::string& reason) { return refuse.segment(k, i, reason); };
    if (s.length == 0 || s.length > kMaxSegmentLength) {
        return refused("length " + std::to_string(s.length) + " is not in 1..127");
    }
    if (s.offset > kMaxSegmentOffset) {
        return refused("offset " + std::to_string(s.offset) + " is above 4095");
    }
    if (s.field != common::kKeyAreaField && s.field > kMaxClassicField) {
        return refused("field " + std::to_string(s.field) + " is above 254");
    }
    // The first descriptor byte holds the offset's high nibble and the key number; two of its
    // values are the option and end-of-table marks and cannot describe a segment.
    const unsigned e0 = ((s.offset >> 8) << 4) | static_cast<unsigned>(k);
    if (e0 == 0xFE || e0 == 0xFF) {
        return refused("offset " + std::to_string(s.offset) +
                       " cannot be written for this key number (descriptor byte " +
                       std::to_string(e0) + " is reserved)");
    }
    if (s.field != common::kKeyAreaField && layout.recordSize == 0) {
        return refused("takes a data field, but the file holds keys only (record size 0)");
    }
    const std::string overreach =
        common::segmentOverreach(s, layout.keyAreaSize, layout.recordSize,
                                 layout.separator == ClassicLayout::Separator::LengthPrefixed);
    if (!overreach.empty()) return refused(overreach);
    if (s.options & ~kKnownOptions) {
        return refused("unknown option bits " + std::to_string(s.options & ~kKnownOptions));
    }
    if ((s.options & common::kOptSequenceSuffix) && (k != 0 || i != 0)) {
        return refused("the sequence suffix option belongs on the first segment of key 0");
    }
    if (k == 0 && (s.options & kNullOptions)) {
        return refused("key 0 indexes every record and cannot have null segments");
    }
    return 0;
}

// Builds the key layout the file will hold: the given keys and segments, the per-file settings
// taken from `layout`, suffix kinds and lengths computed.
int normalizeKeys(const ClassicLayout& layout, KeyLayout& keys, const Refusal& refuse) {
    const KeyLayout& given = layout.keys;
    if (given.keys.empty() || given.keys.size() > common::kMaxClassicKeys) {
        return refuse("the file needs 1 to 16 keys, not " + std::to_string(given.keys.size()));
    }
    keys = KeyLayout{};
    keys.keyAreaSize = static_cast<uint16_t>(layout.keyAreaSize);
    keys.padSignificant = layout.padSignificant;
    keys.lengthPrefixedFields = layout.separator == ClassicLayout::Separator::LengthPrefixed;
    keys.separator = layout.separator == ClassicLayout::Separator::Byte ? layout.separatorByte
                                                                        : common::kDefaultSeparator;
    keys.segments = given.segments;

    size_t next = 0;  // the descriptor table lists the keys' segments in key order
    int autoNumbered = 0;
    for (size_t k = 0; k < given.keys.size(); ++k) {
        const KeyDesc& g = given.keys[k];
        if (g.segmentCount == 0) return refuse.key(k, "it has no segments");
        if (g.firstSegment != next || next + g.segmentCount > given.segments.size()) {
            return refuse.key(k, "its segments must follow those of the key before it");
        }
        KeyDesc key;
        key.firstSegment = g.firstSegment;
        key.segmentCount = g.segmentCount;
        unsigned length = 0;
        for (size_t i = 0; i < g.segmentCount; ++i) {
            const Segment& s = given.segments[next + i];
            if (int code = checkSegment(layout, k, i, s, refuse)) return code;
            if (s.options & common::kOptAutoNumberMask) ++autoNumbered;
            length += s.length;
        }
        if (k == 0) {
            const bool sequence = (g.flags & common::kKeySequenceSuffixed) ||
                                  g.suffix == KeySuffix::Sequence ||
                                  (given.segments[next].options & common::kOptSequenceSuffix);
            key.suffix = sequence ? KeySuffix::Sequence : KeySuffix::None;
            key.flags = sequence ? common::kKeySequenceSuffixed : 0;
        } else {
            key.suffix = KeySuffix::Address;
            key.flags = g.flags & common::kKeyUnique;
        }
        if (key.suffix != KeySuffix::None) length += 4;
        if (length > common::kMaxKeyLength) {
            return refuse.key(k, "key length " + std::to_string(length) +
                                     " (segments and suffix) is above " +
                                     std::to_string(common::kMaxKeyLength));
        }
        keys.keys.push_back(key);
        next += g.segmentCount;
    }
    if (next != given.segments.size()) {
        return refuse(std::to_string(given.segments.size() - next) + " segments belong to no key");
    }
    if (autoNumbered > 1) {
        return refuse("more than one segment is auto-numbered");
    }
    if (common::finishKeyLayout(keys, static_cast<size_t>(layout.blockSize)) != 0) {
        return refuse("a key does not fit two entries in a " + std::to_string(layout.blockSize) +
                      "-byte key block");
    }
    return 0;
}

uint8_t flagsA(const ClassicLayout& layout) {
    uint8_t f = 0;
    if (layout.blockMode) f |= kBlockMode;
    if (layout.padSignificant) f |= kPadSignificant;
    if (layout.separator == ClassicLayout::Separator::Byte) f |= kSeparatorGiven;
    if (layout.separator == ClassicLayout::Separator::LengthPrefixed) f |= kLengthPrefixed;
    if (layout.counterCheck) f |= kCounterCheck;
    return f;
}

uint8_t flagsB(const ClassicLayout& layout) {
    uint8_t f = 0;
    if (layout.compress) f |= kCompressed;
    if (layout.newRecordOnUpdate) f |= kNewRecordOnUpdate;
    return f;
}

// Writes the descriptor table of `keys` into the header and, when it needs more than the 32
// entries there, into the continuation at offset 256 (setting flag A bit 1).
int writeDescriptorTable(const KeyLayout& keys, ClassicFileImage& image, const Refusal& refuse) {
    std::array<uint8_t, kTableBytes> table{};
    size_t written = 0;
    if (common::encodeClassicKeys(keys, table, written) != 0) {
        return refuse("the key descriptor table needs more than 96 entries");
    }
    // Entries before the end mark; segment entries never start with 0xFF (checked above).
    size_t entries = 0;
    while (entries * kEntrySize < table.size() && table[entries * kEntrySize] != 0xFF)
        ++entries;
    std::copy_n(table.begin(), kDescriptorBytes, image.begin() + kOffDescriptors);
    if (entries > kHeaderEntries) {
        image[kOffFlagsA] |= kDescContinued;
        std::copy_n(table.begin() + kDescriptorBytes, kHeaderSize, image.begin() + kHeaderSize);
    }
    return 0;
}

// Decodes the table back the way the engine will and compares it with what was meant, so that
// a layout the encoder and the decoder would see differently is never written.
int checkRoundTrip(const KeyLayout& keys, const ClassicFileImage& image, const Refusal& refuse) {
    KeyLayout decoded;
    const std::span<const uint8_t> all(image);
    if (decodeHeaderKeys(all.first(kHeaderSize), all.subspan(kHeaderSize), decoded) != 0 ||
        decoded.keys.size() != keys.keys.size() ||
        decoded.segments.size() != keys.segments.size()) {
        return refuse("the key descriptor table does not decode to the keys given");
    }
    for (size_t k = 0; k < keys.keys.size(); ++k) {
        const KeyDesc& a = keys.keys[k];
        const KeyDesc& b = decoded.keys[k];
        if (a.segmentCount != b.segmentCount || a.length != b.length || a.suffix != b.suffix ||
            (a.flags & common::kKeyUnique) != (b.flags & common::kKeyUnique)) {
            return refuse.key(k, "it does not decode from the descriptor table as given");
        }
    }
    for (size_t i = 0; i < keys.segments.size(); ++i) {
        const Segment& a = keys.segments[i];
        const Segment& b = decoded.segments[i];
        if (a.field != b.field || a.offset != b.offset || a.length != b.length ||
            a.descending != b.descending) {
            return refuse("segment " + std::to_string(i + 1) +
                          " does not decode from the descriptor table as given");
        }
    }
    return 0;
}

}  // namespace

int checkClassicLayout(const ClassicLayout& layout, KeyLayout* keys, std::string* why,
                       LayoutFault* fault) {
    const Refusal refuse(why, fault);
    if (int code = checkSizes(layout, refuse)) return code;
    KeyLayout normal;
    if (int code = normalizeKeys(layout, normal, refuse)) return code;
    if (keys) *keys = std::move(normal);
    return 0;
}

int classicFileImage(const ClassicLayout& layout, ClassicFileImage& image, std::string* why,
                     LayoutFault* fault) {
    const Refusal refuse(why, fault);
    KeyLayout keys;
    if (int code = checkClassicLayout(layout, &keys, why, fault)) return code;

    image.fill(0);
    uint8_t* h = image.data();
    putMagic(h, layout.tjwMagic);
    common::putBe16(h + kOffRecordSize, static_cast<uint16_t>(layout.recordSize));
    common::putBe32(h + kOffMaxRecords, layout.maxRecords);
    common::putBe16(h + kOffKeyArea, static_cast<uint16_t>(layout.keyAreaSize));
    common::putBe32(h + kOffEof, kFirstBlock);
    common::putBe32(h + kOffIdentity, layout.identity);
    h[kOffBlockCode] = static_cast<uint8_t>(layout.blockSize / kBlockUnit - 1);
    h[kOffFlagsA] = flagsA(layout);
    h[kOffFill] = static_cast<uint8_t>(layout.fillPercent);
    if (layout.separator == ClassicLayout::Separator::Byte) h[kOffSeparator] = layout.separatorByte;
    h[kOffFlagsB] = flagsB(layout);
    if (int code = writeDescriptorTable(keys, image, refuse)) return code;
    if (int code = checkRoundTrip(keys, image, refuse)) return code;
    // The change counter starts at 0; the check bytes follow it whether or not flag A bit 6 is
    // set, so that turning the check on later needs no rewrite of them.
    putCounterCheck(h);
    return 0;
}

int buildClassicFile(const std::string& path, const ClassicLayout& layout, std::string* why,
                     LayoutFault* fault) {
    ClassicLayout chosen = layout;
    if (chosen.identity == 0) chosen.identity = devtools::freshIdentity();
    ClassicFileImage image;
    if (int code = classicFileImage(chosen, image, why, fault)) return code;

    const int fd = platform::createFile(path.c_str());
    if (fd < 0) {
        if (why) *why = "cannot create " + path + " (it exists, or the directory refuses it)";
        return MDK_E_OPEN;
    }
    const platform::IoResult r = platform::writeAt(fd, image.data(), image.size(), 0);
    const bool written = r.status == platform::IoStatus::Ok &&
                         r.count == static_cast<int64_t>(image.size()) && platform::syncFile(fd);
    if (!written) {
        // No partial header must look like a keyed file; the platform layer cannot remove files,
        // so leave it empty.
        platform::truncateFile(fd, 0);
        platform::closeFile(fd);
        if (why) *why = "writing the header of " + path + " failed";
        return MDK_E_WRITE;
    }
    platform::closeFile(fd);
    return 0;
}

common::Segment makeSegment(uint16_t field, uint16_t offset, uint8_t length, uint16_t options,
                            bool descending, uint8_t nullByte) {
    common::Segment s;
    s.field = field;
    s.offset = offset;
    s.length = length;
    s.options = options;
    s.descending = descending;
    s.nullByte = nullByte;
    return s;
}

void addKeys(ClassicLayout& layout, const std::vector<KeySpec>& keys) {
    for (const KeySpec& k : keys) {
        common::KeyDesc d;
        d.firstSegment = static_cast<uint16_t>(layout.keys.segments.size());
        d.segmentCount = static_cast<uint8_t>(k.segments.size());
        d.flags = k.flags;
        layout.keys.keys.push_back(d);
        layout.keys.segments.insert(layout.keys.segments.end(), k.segments.begin(),
                                    k.segments.end());
    }
}

}  // namespace mdnio::keyed
