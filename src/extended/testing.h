// Extended files laid out byte by byte, for tests that must not depend on the engine's own
// writer: a header block, map groups with both copies, a key-descriptor chain, slotted blocks
// with records and key blocks, each placed where the test says.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/datablock.h"
#include "common/keyblock.h"
#include "extended/blockmap.h"
#include "extended/format.h"

namespace mdnio::extended::test {

struct ImageSpec {
    uint8_t blockCode = 3;  // 4096-byte blocks
    bool largeFile = false;
    int16_t maxDataLength = 100;
    int16_t keyArea = 8;  // k
    uint8_t flagsA = 0;
    uint8_t flagsB = 0;
    uint8_t keyBuffer = 40;  // t
    uint16_t groups = 1;
};

inline SegmentDescriptor segment(uint16_t field, uint16_t offset, uint8_t length,
                                 uint32_t flags = 0, uint8_t nullByte = 0) {
    return {length, nullByte, flags, field, offset};
}

inline KeyDescriptor keyDescriptor(uint16_t keyFlags, std::vector<SegmentDescriptor> segments) {
    KeyDescriptor d;
    d.keyFlags = keyFlags;
    d.segments = std::move(segments);
    return d;
}

class FileImage {
  public:
    explicit FileImage(const ImageSpec& spec = {}) {
        makeGeometry(spec.blockCode, spec.largeFile, geo);
        std::copy_n(kMagic, kMagicSize, fixed.raw.begin());
        fixed.maxDataLength = spec.maxDataLength;
        fixed.keyAreaSize = spec.keyArea;
        fixed.blockCode = spec.blockCode;
        fixed.flagsA = spec.flagsA;
        fixed.flagsB = spec.flagsB;
        fixed.flagsC = spec.largeFile ? kLargeFile : 0;
        fixed.keyBuffer = spec.keyBuffer;
        region.directory.assign(spec.groups, kDirMayHaveFree);
        for (uint32_t g = 0; g < spec.groups; ++g)
            for (bool second : {false, true})
                initMapBlock(geo, place(geo.mapCopy(g, second)), g, geo.mapCopy(g, second));
    }

    Geometry geo;
    FixedHeader fixed;
    HeaderRegion region;

    // Physical block p, the file grown to hold it (and the highest block number raised).
    std::span<uint8_t> place(uint32_t physical) {
        const size_t end = (size_t{physical} + 1) * geo.blockSize;
        if (file_.size() < end) file_.resize(end, 0);
        region.highestBlock = std::max(region.highestBlock, physical);
        return std::span<uint8_t>(file_).subspan(size_t{physical} * geo.blockSize, geo.blockSize);
    }

    std::span<uint8_t> mapCopy(uint32_t group, bool second) {
        return place(geo.mapCopy(group, second));
    }
    std::span<uint8_t> currentMap(uint32_t group) {
        return place(currentMapCopy(geo, group, region.directory.at(group)));
    }

    // Sets the entry of logical number x in the group's current copy.
    void setEntry(uint32_t logical, uint8_t usage, uint32_t physical) {
        writeMapEntry(currentMap(geo.groupOf(logical)), geo.entryOf(logical), {usage, physical});
    }
    MapEntry entry(uint32_t logical) {
        return readMapEntry(currentMap(geo.groupOf(logical)), geo.entryOf(logical));
    }
    uint32_t physicalOf(uint32_t logical) {
        const MapEntry e = entry(logical);
        return e.physical != 0 ? e.physical : logical;
    }
    std::span<uint8_t> block(uint32_t logical) { return place(physicalOf(logical)); }

    // An empty slotted block of `type` at logical number x; its entry gets the type as usage
    // unless the test set one already.
    void slottedBlock(uint32_t logical, uint8_t type) {
        common::initSlottedBlock(block(logical), type, logical);
        if (entry(logical).usage == kUsageFree) setEntry(logical, type, entry(logical).physical);
    }
    // Places `bytes` as a record of slotted block x and returns its record address.
    uint32_t addRecord(uint32_t logical, std::span<const uint8_t> bytes) {
        std::span<uint8_t> b = block(logical);
        const common::SlotPlace at = common::reserveRecord(b, bytes.size());
        if (at.slot == 0) return 0;
        std::copy(bytes.begin(), bytes.end(), b.begin() + kBlockHead + at.position);
        return makeAddress(logical, at.slot);
    }
    uint32_t addDataRecord(uint32_t logical, std::string_view key, std::string_view data,
                           uint32_t serial, uint32_t link = 0, bool overflowPart = false) {
        const size_t k = static_cast<size_t>(fixed.keyAreaSize);
        std::vector<uint8_t> rec(dataRecordSize(k, data.size(), link != 0));
        encodeDataRecord(rec, k, bytesOf(key), overflowPart, bytesOf(data), serial, link,
                         link != 0);
        return addRecord(logical, rec);
    }

    // The key-descriptor chain in the 0xFD block at logical number x: one chained record per
    // key, linked both ways; the header's chain head, n and s follow.
    void keyDescriptors(uint32_t logical, const std::vector<KeyDescriptor>& keys) {
        slottedBlock(logical, kTypeKeyDescriptor);
        std::vector<uint32_t> addresses;
        std::vector<std::vector<uint8_t>> records;
        for (const KeyDescriptor& d : keys) {
            const std::vector<uint8_t> payload = encodeKeyDescriptor(d);
            records.emplace_back(kChainHead + payload.size());
            encodeChainedRecord(records.back(), 0, 0, payload);
            addresses.push_back(addRecord(logical, records.back()));
        }
        for (size_t i = 0; i < keys.size(); ++i)
            chainLinks(addresses[i], i + 1 < keys.size() ? addresses[i + 1] : 0,
                       i > 0 ? addresses[i - 1] : 0);
        fixed.keyDescriptors = addresses.empty() ? 0 : addresses[0];
        fixed.keyCount = static_cast<uint8_t>(keys.size());
        fixed.segmentCount = 0;
        for (const KeyDescriptor& d : keys)
            fixed.segmentCount = static_cast<uint16_t>(fixed.segmentCount + d.segments.size());
        region.roots.resize(keys.size(), 0);
    }

    // A key block at logical number x holding (pointer, value) entries of `entrySize` bytes.
    struct KeyEntry {
        int32_t pointer;
        std::vector<uint8_t> value;  // length byte and the key bytes, entrySize - 4 long
    };
    void keyBlock(uint32_t logical, size_t entrySize, const std::vector<KeyEntry>& entries) {
        std::span<uint8_t> b = block(logical);
        std::fill(b.begin(), b.end(), uint8_t{0});
        putBlockHead(b, kTypeKey, logical, 0);
        for (const KeyEntry& e : entries)
            common::insertEntry(b, entrySize, common::entryCount(b), e.pointer, e.value);
        if (entry(logical).usage == kUsageFree)
            setEntry(logical, kTypeKey, entry(logical).physical);
    }

    // The whole file, its header block written from `fixed` and `region`.
    std::vector<uint8_t> bytes() {
        std::span<uint8_t> h = place(0);
        encodeFixedHeader(fixed, h);
        encodeHeaderRegion(region, h.subspan(fixed.regionStart()));
        return file_;
    }
    void write(const std::string& path) {
        const std::vector<uint8_t> all = bytes();
        FILE* f = std::fopen(path.c_str(), "wb");
        if (!f) return;
        std::fwrite(all.data(), 1, all.size(), f);
        std::fclose(f);
    }

    static std::span<const uint8_t> bytesOf(std::string_view s) {
        return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
    }

  private:
    void chainLinks(uint32_t address, uint32_t next, uint32_t previous) {
        const RecordAddress a = splitAddress(address);
        std::span<uint8_t> b = block(a.block);
        uint8_t* rec = b.data() + kBlockHead + common::slotPosition(b, a.slot);
        common::putBe32(rec, next);
        common::putBe32(rec + 4, previous);
    }

    std::vector<uint8_t> file_;
};

}  // namespace mdnio::extended::test
