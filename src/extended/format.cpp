#include "extended/format.h"

#include <algorithm>
#include <cstring>

namespace mdnio::extended {

using common::getBe16;
using common::getBe32;
using common::putBe16;
using common::putBe32;

// The segment option bits the key-value construction acts on.  Bits 0x0001 and 0x0020 are key
// flags in the common layout; here the key descriptor carries those, so a segment's own are not
// taken over.  The complement bit becomes the segment's descending mark.
constexpr uint32_t kSegmentOptionBits =
    common::kOptUpper | common::kOptLower | common::kOptFoldAccents | common::kOptReverse |
    common::kOptNullSegment | common::kOptNullCounting | common::kOptReverseAuto |
    common::kOptStopAtZero | common::kOptAutoTextZero | common::kOptAutoText | common::kOptFlipSign;

void putBlockHead(std::span<uint8_t> block, uint8_t type, uint32_t number, uint8_t count) {
    block[0] = type;
    putBe32(block.data() + 1, number);
    block[5] = count;
}

bool knownBlockType(uint8_t type) {
    switch (type) {
        case kTypeReleased:
        case kTypeData:
        case kTypeDictionary:
        case kTypeMap:
        case kTypeKeyDescriptor:
        case kTypeKey:
            return true;
        default:
            return false;
    }
}

MapEntry readMapEntry(std::span<const uint8_t> map, unsigned index) {
    const uint8_t* p = map.data() + mapEntryOffset(index);
    return {p[0], getBe24(p + 1)};
}

void writeMapEntry(std::span<uint8_t> map, unsigned index, MapEntry entry) {
    uint8_t* p = map.data() + mapEntryOffset(index);
    p[0] = entry.usage;
    putBe24(p + 1, entry.physical);
}

// ---- geometry --------------------------------------------------------------------------------

int makeGeometry(uint8_t code, bool largeFile, Geometry& out) {
    if (code < kMinBlockCode) return MDK_E_FILETYPE;
    Geometry g;
    g.blockSize = (uint32_t{code} + 1) * 1024;
    g.entriesPerMap = (g.blockSize - kBlockHead) / kMapEntrySize;
    g.maxGroups = g.blockSize - kOffDirectory;
    g.largeFile = largeFile;
    const uint64_t byMode = largeFile ? kLargeFileBlockLimit : kSmallFileBytes / g.blockSize;
    const uint64_t byMap = uint64_t{g.entriesPerMap} * g.maxGroups;
    g.blockLimit = static_cast<uint32_t>(std::min(byMode, byMap));
    out = g;
    return 0;
}

int blockOffset(const Geometry& g, uint32_t physical, uint64_t& offset) {
    offset = uint64_t{physical} * g.blockSize;
    if (!g.largeFile && offset > kSmallFileOffsetLimit) return MDK_E_FULL;
    return 0;
}

// ---- fixed header ----------------------------------------------------------------------------

int FixedHeader::separator() const {
    if (flagsA & kLengthCoded) return -1;
    if (flagsA & kSeparatorGiven) return separatorByte;
    return common::kDefaultSeparator;
}

int FixedHeader::recordBufferLength() const {
    const int r = keyAreaSize + maxDataLength + 11 + (compressed() ? 1 : 0);
    return r < 5 ? 9 : r;
}

int decodeFixedHeader(std::span<const uint8_t> bytes, FixedHeader& out) {
    if (bytes.size() < kFixedSize) return MDK_E_FILETYPE;
    if (std::memcmp(bytes.data(), kMagic, kMagicSize) != 0) return MDK_E_FILETYPE;
    FixedHeader h;
    std::copy_n(bytes.begin(), kFixedSize, h.raw.begin());
    const uint8_t* p = h.raw.data();
    h.maxDataLength = static_cast<int16_t>(getBe16(p + kOffMaxDataLength));
    h.maxRecords = getBe64(p + kOffMaxRecords);
    h.keyAreaSize = static_cast<int16_t>(getBe16(p + kOffKeyArea));
    h.keyDescriptors = getBe32(p + kOffKeyDescriptors);
    h.dictionary = getBe32(p + kOffDictionary);
    std::copy_n(p + kOffIdentity, 4, h.identity.begin());
    h.reported = getBe64(p + kOffReported);
    h.blockCode = p[kOffBlockCode];
    h.flagsA = p[kOffFlagsA];
    h.flagsB = p[kOffFlagsB];
    h.flagsC = p[kOffFlagsC];
    h.separatorByte = p[kOffSeparator];
    h.keyBuffer = p[kOffKeyBuffer];
    h.keyCount = p[kOffKeyCount];
    h.segmentCount = getBe16(p + kOffSegmentCount);

    if (h.blockCode < kMinBlockCode || h.keyBuffer > kMaxKeyBuffer) return MDK_E_FILETYPE;
    if (h.keyCount == 0 || h.segmentCount < h.keyCount) return MDK_E_FILETYPE;
    if (h.maxDataLength < 0 || h.keyAreaSize < 0) return MDK_E_FILETYPE;
    out = h;
    return 0;
}

void encodeFixedHeader(const FixedHeader& h, std::span<uint8_t> out) {
    uint8_t* p = out.data();
    std::copy(h.raw.begin(), h.raw.end(), p);
    putBe16(p + kOffMaxDataLength, static_cast<uint16_t>(h.maxDataLength));
    putBe64(p + kOffMaxRecords, h.maxRecords);
    putBe16(p + kOffKeyArea, static_cast<uint16_t>(h.keyAreaSize));
    putBe32(p + kOffKeyDescriptors, h.keyDescriptors);
    putBe32(p + kOffDictionary, h.dictionary);
    std::copy(h.identity.begin(), h.identity.end(), p + kOffIdentity);
    putBe64(p + kOffReported, h.reported);
    p[kOffBlockCode] = h.blockCode;
    p[kOffFlagsA] = h.flagsA;
    p[kOffFlagsB] = h.flagsB;
    p[kOffFlagsC] = h.flagsC;
    p[kOffSeparator] = h.separatorByte;
    p[kOffKeyBuffer] = h.keyBuffer;
    p[kOffKeyCount] = h.keyCount;
    putBe16(p + kOffSegmentCount, h.segmentCount);
}

// ---- header region ---------------------------------------------------------------------------

int regionGroupCount(std::span<const uint8_t> region, unsigned keyCount) {
    const size_t at = 4 * size_t{keyCount} + (kOffGroupCount - kOffRootsEnd);
    if (region.size() < at + 2) return -1;
    return getBe16(region.data() + at);
}

namespace {

// A pointer to a block: a logical number of the file that is not a map copy.
bool blockNumberValid(const Geometry& g, uint32_t x) {
    return x >= 1 && x <= g.blockLimit && !g.isMapPlace(x);
}

}  // namespace

int decodeHeaderRegion(std::span<const uint8_t> region, const Geometry& g, unsigned keyCount,
                       HeaderRegion& out) {
    const int groups = regionGroupCount(region, keyCount);
    if (groups <= 0 || static_cast<uint32_t>(groups) > g.maxGroups) return MDK_E_BUFFER;
    const size_t rootBytes = 4 * size_t{keyCount};
    if (region.size() < rootBytes + kCountersSize + static_cast<size_t>(groups))
        return MDK_E_BUFFER;

    HeaderRegion r;
    r.roots.resize(keyCount);
    for (unsigned k = 0; k < keyCount; ++k) {
        // Key k's root lies at 2044 - 4k: key 0 last.
        r.roots[k] = getBe32(region.data() + rootBytes - 4 - 4 * size_t{k});
        if (r.roots[k] != 0 && !blockNumberValid(g, r.roots[k])) return MDK_E_BUFFER;
    }
    const uint8_t* c = region.data() + rootBytes;
    r.changeCounter = getBe64(c + (kOffChangeCounter - kOffRootsEnd));
    r.recordCount = getBe64(c + (kOffRecordCount - kOffRootsEnd));
    r.insertSequence = getBe64(c + (kOffInsertSequence - kOffRootsEnd));
    r.highestBlock = getBe32(c + (kOffHighestBlock - kOffRootsEnd));
    std::copy_n(c + (kOffRegionSpare - kOffRootsEnd), r.spare.size(), r.spare.begin());
    const uint8_t* dir = c + kCountersSize;
    r.directory.assign(dir, dir + groups);

    // Every group's two map copies lie within the file, and the file within the block limit.
    const uint32_t lastMap = g.mapCopy(static_cast<uint32_t>(groups) - 1, true);
    if (r.highestBlock < lastMap || r.highestBlock > g.blockLimit) return MDK_E_BUFFER;
    out = std::move(r);
    return 0;
}

size_t encodeHeaderRegion(const HeaderRegion& r, std::span<uint8_t> out) {
    if (out.size() < r.size()) return 0;
    const size_t rootBytes = 4 * r.roots.size();
    for (size_t k = 0; k < r.roots.size(); ++k)
        putBe32(out.data() + rootBytes - 4 - 4 * k, r.roots[k]);
    uint8_t* c = out.data() + rootBytes;
    putBe64(c + (kOffChangeCounter - kOffRootsEnd), r.changeCounter);
    putBe64(c + (kOffRecordCount - kOffRootsEnd), r.recordCount);
    putBe64(c + (kOffInsertSequence - kOffRootsEnd), r.insertSequence);
    putBe32(c + (kOffHighestBlock - kOffRootsEnd), r.highestBlock);
    putBe16(c + (kOffGroupCount - kOffRootsEnd), r.groupCount());
    std::copy(r.spare.begin(), r.spare.end(), c + (kOffRegionSpare - kOffRootsEnd));
    std::copy(r.directory.begin(), r.directory.end(), c + kCountersSize);
    return r.size();
}

// ---- data records ----------------------------------------------------------------------------

RecordLimits recordLimits(const FixedHeader& h) {
    RecordLimits l;
    l.keyArea = static_cast<size_t>(std::max<int>(h.keyAreaSize, 0));
    l.maxDataLength = static_cast<size_t>(std::max<int>(h.maxDataLength, 0));
    l.bufferLength = static_cast<size_t>(h.recordBufferLength());
    l.compressed = h.compressed();
    return l;
}

int decodeDataRecord(std::span<const uint8_t> bytes, const RecordLimits& limits, DataRecord& out) {
    const size_t k = limits.keyArea;
    if (bytes.size() < k + 3) return MDK_E_OFFSET;
    DataRecord r;
    r.keyLength = bytes[0] & 0x7F;
    r.overflowPart = (bytes[0] & kOverflowPart) != 0;
    if (r.keyLength > k) return MDK_E_KEYSIZE;
    const uint16_t stored = getBe16(bytes.data() + 1 + k);
    const size_t length = stored & 0x7FFF;
    r.hasLink = (stored & kHasLink) != 0;
    if (k + 3 + length > limits.bufferLength) return MDK_E_RECSIZE;
    if (!limits.compressed && length > limits.maxDataLength) return MDK_E_RECSIZE;
    r.size = dataRecordSize(k, length, r.hasLink);
    if (r.size > bytes.size()) return MDK_E_OFFSET;
    r.keyArea = bytes.subspan(1, k);
    r.data = bytes.subspan(k + 3, length);
    r.serial = getBe32(bytes.data() + k + 3 + length);
    if (r.hasLink) r.link = getBe32(bytes.data() + k + 3 + length + kSerialSize);
    out = r;
    return 0;
}

bool encodeDataRecord(std::span<uint8_t> out, size_t keyArea, std::span<const uint8_t> key,
                      bool overflowPart, std::span<const uint8_t> data, uint32_t serial,
                      uint32_t link, bool withLink) {
    const size_t size = dataRecordSize(keyArea, data.size(), withLink);
    if (out.size() < size || key.size() > keyArea || key.size() > 0x7F || data.size() > 0x7FFF)
        return false;
    std::fill_n(out.begin(), size, uint8_t{0});
    out[0] = static_cast<uint8_t>(key.size() | (overflowPart ? kOverflowPart : 0));
    common::copyBytes(out.data() + 1, key.data(), key.size());
    putBe16(out.data() + 1 + keyArea,
            static_cast<uint16_t>(data.size() | (withLink ? kHasLink : 0)));
    common::copyBytes(out.data() + keyArea + 3, data.data(), data.size());
    putBe32(out.data() + keyArea + 3 + data.size(), serial);
    if (withLink) putBe32(out.data() + keyArea + 3 + data.size() + kSerialSize, link);
    return true;
}

// ---- chained records -------------------------------------------------------------------------

int decodeChainedRecord(std::span<const uint8_t> bytes, uint32_t blockSize, ChainedRecord& out) {
    if (bytes.size() < kChainHead) return MDK_E_BUFFER;
    const size_t total = getBe16(bytes.data() + 8);
    if (total < kChainHead || total > blockSize || total > bytes.size()) return MDK_E_BUFFER;
    out.next = getBe32(bytes.data());
    out.previous = getBe32(bytes.data() + 4);
    out.payload = bytes.subspan(kChainHead, total - kChainHead);
    out.size = total;
    return 0;
}

bool encodeChainedRecord(std::span<uint8_t> out, uint32_t next, uint32_t previous,
                         std::span<const uint8_t> payload) {
    const size_t total = kChainHead + payload.size();
    if (out.size() < total || total > 0xFFFF) return false;
    putBe32(out.data(), next);
    putBe32(out.data() + 4, previous);
    putBe16(out.data() + 8, static_cast<uint16_t>(total));
    common::copyBytes(out.data() + kChainHead, payload.data(), payload.size());
    return true;
}

// ---- key descriptors -------------------------------------------------------------------------

namespace {

constexpr size_t kOffKeySegments = 1;  // in the payload: number of segments
constexpr size_t kOffKeyFlags = 26;    // in the payload: BE16 key flags

}  // namespace

int decodeKeyDescriptor(std::span<const uint8_t> payload, KeyDescriptor& out) {
    if (payload.size() < kKeyDescriptorHead) return MDK_E_BUFFER;
    const size_t count = payload[kOffKeySegments];
    if (payload.size() < kKeyDescriptorHead + kSegmentSize * count) return MDK_E_BUFFER;
    KeyDescriptor d;
    std::copy_n(payload.begin(), kKeyDescriptorHead, d.head.begin());
    d.keyFlags = getBe16(payload.data() + kOffKeyFlags);
    d.segments.resize(count);
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* s = payload.data() + kKeyDescriptorHead + kSegmentSize * i;
        d.segments[i] = {s[0], s[1], getBe32(s + 2), getBe16(s + 6), getBe16(s + 8)};
    }
    out = std::move(d);
    return 0;
}

std::vector<uint8_t> encodeKeyDescriptor(const KeyDescriptor& d) {
    std::vector<uint8_t> out(kKeyDescriptorHead + kSegmentSize * d.segments.size());
    std::copy(d.head.begin(), d.head.end(), out.begin());
    out[kOffKeySegments] = static_cast<uint8_t>(d.segments.size());
    putBe16(out.data() + kOffKeyFlags, d.keyFlags);
    for (size_t i = 0; i < d.segments.size(); ++i) {
        const SegmentDescriptor& s = d.segments[i];
        uint8_t* p = out.data() + kKeyDescriptorHead + kSegmentSize * i;
        p[0] = s.length;
        p[1] = s.nullByte;
        putBe32(p + 2, s.flags);
        putBe16(p + 6, s.field);
        putBe16(p + 8, s.offset);
    }
    return out;
}

namespace {

common::Segment commonSegment(const SegmentDescriptor& s) {
    common::Segment c;
    c.field = s.field;
    c.offset = s.offset;
    c.descending = (s.flags & kSegDescending) != 0;
    c.length = c.descending ? s.length & 0x7F : s.length;
    c.options = static_cast<uint16_t>(s.flags & kSegmentOptionBits);
    c.nullByte = s.nullByte;
    return c;
}

common::KeyDesc commonKey(size_t key, const KeyDescriptor& d, size_t firstSegment) {
    common::KeyDesc k;
    k.firstSegment = static_cast<uint16_t>(firstSegment);
    k.segmentCount = static_cast<uint8_t>(d.segments.size());
    k.flags = d.keyFlags;
    if (key > 0) {
        k.suffix = common::KeySuffix::Address;  // the record serial stands in the address's place
    } else if (d.keyFlags & kKeySuffixed) {
        k.suffix = common::KeySuffix::Sequence;
    } else {
        k.flags &= static_cast<uint16_t>(~kKeySerialSuffix);  // no suffix to hold a serial
    }
    return k;
}

}  // namespace

int buildKeyLayout(const FixedHeader& h, std::span<const KeyDescriptor> keys,
                   common::KeyLayout& out) {
    if (keys.size() != h.keyCount) return MDK_E_FILETYPE;
    common::KeyLayout layout;
    layout.keyAreaSize = static_cast<uint16_t>(std::max<int>(h.keyAreaSize, 0));
    layout.padSignificant = (h.flagsA & kFullLengthKeys) != 0;
    layout.lengthPrefixedFields = (h.flagsA & kLengthCoded) != 0;
    layout.separator =
        h.separator() < 0 ? common::kDefaultSeparator : static_cast<uint8_t>(h.separator());
    for (size_t k = 0; k < keys.size(); ++k) {
        if (keys[k].segments.empty()) return MDK_E_FILETYPE;
        if (layout.segments.size() + keys[k].segments.size() > h.segmentCount)
            return MDK_E_FILETYPE;
        layout.keys.push_back(commonKey(k, keys[k], layout.segments.size()));
        for (const SegmentDescriptor& s : keys[k].segments) {
            if (s.flags & common::kOptAutoNumberMask)
                layout.autoNumberSegment = static_cast<int>(layout.segments.size());
            layout.segments.push_back(commonSegment(s));
        }
    }
    if (layout.segments.size() != h.segmentCount) return MDK_E_FILETYPE;
    if (common::finishKeyLayout(layout, h.blockSize()) != 0) return MDK_E_FILETYPE;
    for (const common::KeyDesc& k : layout.keys)
        if (k.searchableLength() > h.keyBuffer) return MDK_E_FILETYPE;
    out = std::move(layout);
    return 0;
}

bool searchedByPrefix(const common::KeyLayout& layout, size_t key) {
    if (key > 0) return true;
    const common::KeyDesc& k = layout.keys[0];
    return k.suffix != common::KeySuffix::None && (k.flags & kKeySerialSuffix) != 0;
}

bool checkedForDuplicates(const common::KeyLayout& layout, size_t key) {
    const common::KeyDesc& k = layout.keys[key];
    if (key > 0) return (k.flags & kKeyUnique) != 0;
    return (k.flags & kKeySerialSuffix) == 0;
}

}  // namespace mdnio::extended
