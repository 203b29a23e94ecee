#include "extended/builder.h"

#include <algorithm>

#include "common/datablock.h"
#include "devtools/layout_parts.h"
#include "extended/blockmap.h"
#include "platform/platform.h"

namespace mdnio::extended {

namespace {

using devtools::ExtendedKey;
using devtools::ExtendedLayout;
using Refusal = devtools::LayoutRefusal;

constexpr int kBlockUnit = 1024;
constexpr int kMinBlockSize = 4096;
// Slotted blocks hold 16-bit record positions and free counts: their body stays below 64 KiB.
constexpr int kMaxBlockSize = 65536;
constexpr int kMaxDataLength = 0x7FFF;       // the data length has 15 bits, bit 15 is the link flag
constexpr int kMaxKeyArea = 0x7F;            // the key length byte has 7 bits of length
constexpr size_t kMaxKeys = 255;             // header byte 54
constexpr uint8_t kMaxSegmentLength = 0x7F;  // descending segments count bits 0..6 only
// The segment options a descriptor carries: every MDK_SEG_* bit.  Bits 0x0001 and 0x0020 are key
// flags in this format and are given by Key::unique and Key::sequence instead.
constexpr uint16_t kKnownOptions = 0x3FDE;
constexpr uint16_t kNullOptions = common::kOptNullSegment | common::kOptNullCounting;
constexpr size_t kOffKeyName = 2;  // descriptor payload bytes 2..25: the key's name
constexpr size_t kMaxKeyName = 23;

int checkSizes(const ExtendedLayout& layout, const Refusal& refuse) {
    const int b = layout.blockSize;
    if (b < kMinBlockSize || b > kMaxBlockSize || b % kBlockUnit != 0) {
        return refuse("block size " + std::to_string(b) +
                      " is not a multiple of 1024 from 4096 to 65536");
    }
    if (layout.maxDataLength < 0 || layout.maxDataLength > kMaxDataLength) {
        return refuse("maximum data length " + std::to_string(layout.maxDataLength) +
                      " is not in 0..32767");
    }
    if (layout.keyAreaSize < 0 || layout.keyAreaSize > kMaxKeyArea) {
        return refuse("key area size " + std::to_string(layout.keyAreaSize) + " is not in 0..127");
    }
    if (layout.maxDataLength == 0 && layout.keyAreaSize == 0) {
        return refuse(
            "maximum data length and key area size are both 0: records would hold "
            "nothing");
    }
    // One record part of R bytes and its slot entry must fit in an empty data block.
    const int part = layout.keyAreaSize + layout.maxDataLength + 11 + (layout.compress ? 1 : 0);
    if (part + 2 > b - 8) {
        return refuse("a record part of " + std::to_string(part) +
                      " bytes (maximum data length, key area, head, serial and link) does not "
                      "fit in a " +
                      std::to_string(b) + "-byte data block");
    }
    switch (layout.separator) {
        case ExtendedLayout::Separator::Default:
        case ExtendedLayout::Separator::Byte:
        case ExtendedLayout::Separator::LengthCoded:
            return 0;
    }
    return refuse("unknown field separator choice");
}

common::Segment commonSegment(const devtools::Segment& s) {
    common::Segment c;
    c.field = s.field;
    c.offset = s.offset;
    c.length = s.length;
    c.descending = s.descending || (s.options & MDK_SEG_DESCENDING);
    c.options = static_cast<uint16_t>(s.options & ~MDK_SEG_DESCENDING);
    c.nullByte = s.nullByte;
    return c;
}

int checkSegment(const ExtendedLayout& layout, size_t k, size_t i, const devtools::Segment& s,
                 const Refusal& refuse) {
    auto refused = [&](const std::string& reason) { return refuse.segment(k, i, reason); };
    if (s.length == 0 || s.length > kMaxSegmentLength) {
        return refused("length " + std::to_string(s.length) + " is not in 1..127");
    }
    if (s.options & ~kKnownOptions) {
        return refused("unknown option bits " + std::to_string(s.options & ~kKnownOptions));
    }
    if (s.field != common::kKeyAreaField && layout.maxDataLength == 0) {
        return refused("takes a data field, but the file holds keys only (maximum data length 0)");
    }
    const std::string overreach =
        common::segmentOverreach(commonSegment(s), layout.keyAreaSize, layout.maxDataLength,
                                 layout.separator == ExtendedLayout::Separator::LengthCoded);
    if (!overreach.empty()) return refused(overreach);
    if (k == 0 && (s.options & kNullOptions)) {
        return refused("key 0 indexes every record and cannot have null segments");
    }
    return 0;
}

int checkKeyName(size_t k, const std::string& name, const Refusal& refuse) {
    if (name.size() > kMaxKeyName) {
        return refuse.key(k, "name \"" + name + "\" is longer than 23 characters");
    }
    for (char c : name) {
        if (c < 0x20 || c > 0x7E)
            return refuse.key(k,
                              "name holds a character that is not "
                              "printable ASCII");
    }
    return 0;
}

uint16_t keyFlags(size_t k, const ExtendedKey& key) {
    if (k == 0) return key.sequence ? kKeySuffixed | kKeySerialSuffix : 0;
    return key.unique ? kKeyUnique : 0;
}

// The descriptor of key k: its name, segment flags (descending as 0x0080) and key flags.
KeyDescriptor descriptorOf(size_t k, const ExtendedKey& key) {
    KeyDescriptor d;
    std::copy(key.name.begin(), key.name.end(), d.head.begin() + kOffKeyName);
    d.keyFlags = keyFlags(k, key);
    for (const devtools::Segment& s : key.segments) {
        const common::Segment c = commonSegment(s);
        uint32_t flags = c.options;
        if (c.descending) flags |= kSegDescending;
        d.segments.push_back({c.length, c.nullByte, flags, c.field, c.offset});
    }
    return d;
}

int checkKey(const ExtendedLayout& layout, size_t k, const ExtendedKey& key, int& autoNumbered,
             const Refusal& refuse) {
    if (key.segments.empty()) return refuse.key(k, "it has no segments");
    if (k == 0 && key.unique) {
        return refuse.key(k,
                          "unique is for alternate keys: key 0 takes no duplicates unless it "
                          "is a sequence key");
    }
    if (k > 0 && key.sequence) return refuse.key(k, "only key 0 can be a sequence key");
    if (int code = checkKeyName(k, key.name, refuse)) return code;
    unsigned length = (k > 0 || key.sequence) ? 4 : 0;
    for (size_t i = 0; i < key.segments.size(); ++i) {
        if (int code = checkSegment(layout, k, i, key.segments[i], refuse)) return code;
        if (key.segments[i].options & common::kOptAutoNumberMask) ++autoNumbered;
        length += key.segments[i].length;
    }
    if (length > common::kMaxKeyLength) {
        return refuse.key(k, "key length " + std::to_string(length) +
                                 " (segments and suffix) is above " +
                                 std::to_string(common::kMaxKeyLength));
    }
    // A caller gives a key without its suffix; the key buffers hold at most 250 such bytes.
    if (length - ((k > 0 || key.sequence) ? 4 : 0) > kMaxKeyBuffer) {
        return refuse.key(k, "key length " + std::to_string(length) + " is above the " +
                                 std::to_string(kMaxKeyBuffer) +
                                 " bytes the key buffers hold besides a suffix");
    }
    return 0;
}

int checkKeys(const ExtendedLayout& layout, const Refusal& refuse) {
    if (layout.keys.empty() || layout.keys.size() > kMaxKeys) {
        return refuse("the file needs 1 to 255 keys, not " + std::to_string(layout.keys.size()));
    }
    int autoNumbered = 0;
    size_t segments = 0;
    for (size_t k = 0; k < layout.keys.size(); ++k) {
        if (int code = checkKey(layout, k, layout.keys[k], autoNumbered, refuse)) return code;
        segments += layout.keys[k].segments.size();
    }
    if (autoNumbered > 1) return refuse("more than one segment is auto-numbered");
    if (segments > 0xFFFF) return refuse("more than 65535 segments");
    return 0;
}

uint8_t flagsA(const ExtendedLayout& layout) {
    uint8_t f = 0;
    if (layout.fullLengthKeys) f |= kFullLengthKeys;
    if (layout.separator == ExtendedLayout::Separator::Byte) f |= kSeparatorGiven;
    if (layout.separator == ExtendedLayout::Separator::LengthCoded) f |= kLengthCoded;
    if (layout.stepBackIgnoringSuffixOnly) f |= kStepBackIgnoringSuffixOnly;
    return f;
}

FixedHeader fixedHeader(const ExtendedLayout& layout, const std::vector<KeyDescriptor>& keys) {
    FixedHeader h;
    std::copy_n(kMagic, kMagicSize, h.raw.begin());
    h.maxDataLength = static_cast<int16_t>(layout.maxDataLength);
    h.maxRecords = layout.maxRecords;
    h.keyAreaSize = static_cast<int16_t>(layout.keyAreaSize);
    h.keyDescriptors = makeAddress(kFirstDescriptorBlock, 1);
    common::putBe32(h.identity.data(), layout.identity);
    h.blockCode = static_cast<uint8_t>(layout.blockSize / kBlockUnit - 1);
    h.flagsA = flagsA(layout);
    h.flagsB = static_cast<uint8_t>((layout.compress ? kCompressed : 0) |
                                    (layout.newRecordOnUpdate ? kAlwaysLockedNewOnUpdate : 0));
    h.flagsC = layout.largeFile ? kLargeFile : 0;
    if (layout.separator == ExtendedLayout::Separator::Byte) h.separatorByte = layout.separatorByte;
    h.keyCount = static_cast<uint8_t>(keys.size());
    for (const KeyDescriptor& d : keys)
        h.segmentCount = static_cast<uint16_t>(h.segmentCount + d.segments.size());
    return h;
}

// The key buffers hold the longest key a caller gives (t), with its length byte and suffix.
int setKeyBuffer(FixedHeader& h, const std::vector<KeyDescriptor>& keys, common::KeyLayout& out,
                 const Refusal& refuse) {
    h.keyBuffer = kMaxKeyBuffer;  // the widest, so that the layout is decoded in full first
    if (buildKeyLayout(h, keys, out) != 0) {
        return refuse(
            "a key does not fit two entries in a key block, or its descriptors do not "
            "decode as given");
    }
    unsigned t = 0;
    for (const common::KeyDesc& k : out.keys)
        t = std::max(t, k.searchableLength());
    h.keyBuffer = static_cast<uint8_t>(t);
    return 0;
}

// The key-descriptor block: one chained record per key, in key order, linked both ways.
int descriptorBlock(const Geometry& g, const std::vector<KeyDescriptor>& keys,
                    std::vector<uint8_t>& block, const Refusal& refuse) {
    block.assign(g.blockSize, 0);
    common::initSlottedBlock(block, kTypeKeyDescriptor, kFirstDescriptorBlock);
    std::vector<size_t> positions;
    for (const KeyDescriptor& d : keys) {
        const std::vector<uint8_t> payload = encodeKeyDescriptor(d);
        const common::SlotPlace at = common::reserveRecord(block, kChainHead + payload.size());
        if (at.slot == 0) return refuse("the key descriptors do not fit in one block");
        positions.push_back(kBlockHead + at.position);
        encodeChainedRecord(std::span(block).subspan(positions.back()), 0, 0, payload);
    }
    for (size_t i = 0; i < positions.size(); ++i) {
        const uint32_t next =
            i + 1 < positions.size() ? makeAddress(kFirstDescriptorBlock, i + 2) : 0;
        const uint32_t previous = i > 0 ? makeAddress(kFirstDescriptorBlock, i) : 0;
        common::putBe32(block.data() + positions[i], next);
        common::putBe32(block.data() + positions[i] + 4, previous);
    }
    return 0;
}

// Group 0 and the empty groups after it; the directory and the highest block follow.
int mapGroups(const ExtendedLayout& layout, const Geometry& g, BuiltFile& out, HeaderRegion& region,
              const Refusal& refuse) {
    const uint64_t groups = uint64_t{layout.emptyGroups} + 1;
    if (groups > g.maxGroups ||
        uint64_t{g.mapCopy(static_cast<uint32_t>(groups - 1), true)} > g.blockLimit) {
        return refuse(std::to_string(layout.emptyGroups) + " empty groups do not fit the map " +
                      "directory or the block limit of a " + std::to_string(layout.blockSize) +
                      "-byte " + (layout.largeFile ? "large " : "") + "file");
    }
    region.directory.assign(groups, 0);
    if (groups == 1) region.directory[0] = kDirMayHaveFree;
    for (uint32_t group = 0; group < groups; ++group) {
        for (bool second : {false, true}) {
            std::vector<uint8_t> map(g.blockSize);
            initMapBlock(g, map, group, g.mapCopy(group, second));
            if (group == 0)
                writeMapEntry(map, g.entryOf(kFirstDescriptorBlock),
                              {kUsageKeyDescriptor, kFirstDescriptorBlock});
            out.blocks.emplace_back(g.mapCopy(group, second), std::move(map));
        }
    }
    region.highestBlock =
        std::max(kFirstDescriptorBlock, g.mapCopy(static_cast<uint32_t>(groups - 1), true));
    return 0;
}

}  // namespace

int extendedFileImage(const ExtendedLayout& layout, BuiltFile& out, common::KeyLayout* keys,
                      std::string* why, devtools::LayoutFault* fault) {
    const Refusal refuse(MDK_E_LENGTH, why, fault);
    if (int code = checkSizes(layout, refuse)) return code;
    if (int code = checkKeys(layout, refuse)) return code;
    std::vector<KeyDescriptor> descriptors;
    for (size_t k = 0; k < layout.keys.size(); ++k)
        descriptors.push_back(descriptorOf(k, layout.keys[k]));
    FixedHeader h = fixedHeader(layout, descriptors);
    common::KeyLayout decoded;
    if (int code = setKeyBuffer(h, descriptors, decoded, refuse)) return code;

    BuiltFile built;
    makeGeometry(h.blockCode, layout.largeFile, built.geometry);
    const Geometry& g = built.geometry;
    HeaderRegion region;
    region.roots.assign(descriptors.size(), 0);
    if (int code = mapGroups(layout, g, built, region, refuse)) return code;
    std::vector<uint8_t> descriptorBytes;
    if (int code = descriptorBlock(g, descriptors, descriptorBytes, refuse)) return code;
    built.blocks.emplace_back(kFirstDescriptorBlock, std::move(descriptorBytes));

    std::vector<uint8_t> zero(g.blockSize);
    encodeFixedHeader(h, zero);
    encodeHeaderRegion(region, std::span(zero).subspan(h.regionStart()));
    built.blocks.emplace(built.blocks.begin(), 0, std::move(zero));
    built.highestBlock = region.highestBlock;
    std::sort(built.blocks.begin(), built.blocks.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    out = std::move(built);
    if (keys) *keys = std::move(decoded);
    return 0;
}

namespace {

bool writeBlocks(int fd, const BuiltFile& file) {
    for (const auto& [place, bytes] : file.blocks) {
        uint64_t offset = 0;
        if (blockOffset(file.geometry, place, offset) != 0) return false;
        const platform::IoResult r =
            platform::writeAt(fd, bytes.data(), bytes.size(), static_cast<int64_t>(offset));
        if (r.status != platform::IoStatus::Ok || r.count != static_cast<int64_t>(bytes.size()))
            return false;
    }
    return platform::syncFile(fd);
}

}  // namespace

int buildExtendedFile(const std::string& path, const ExtendedLayout& layout, std::string* why,
                      devtools::LayoutFault* fault) {
    ExtendedLayout chosen = layout;
    if (chosen.identity == 0) chosen.identity = devtools::freshIdentity();
    BuiltFile file;
    if (int code = extendedFileImage(chosen, file, nullptr, why, fault)) return code;

    const int fd = platform::createFile(path.c_str());
    if (fd < 0) {
        if (why) *why = "cannot create " + path + " (it exists, or the directory refuses it)";
        return MDK_E_OPEN;
    }
    if (!writeBlocks(fd, file)) {
        // No partial file must look like an extended file: leave it empty.
        platform::truncateFile(fd, 0);
        platform::closeFile(fd);
        if (why) *why = "writing the blocks of " + path + " failed";
        return MDK_E_WRITE;
    }
    platform::closeFile(fd);
    return 0;
}

}  // namespace mdnio::extended
