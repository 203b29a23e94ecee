// The extended verifier's entry and its shared helpers: the phases in order, the header and its
// region, and how blocks are read by place and through the map.
#include "extended/verify_context.h"

#include <algorithm>
#include <cstring>

namespace mdnio::extended::verify {

void Verifier::run() {
    if (readHeader()) {
        checkHeaderFields();
        loadMaps();
        checkDictionary();
        keysKnown_ = checkDescriptors();
        if (!options_.treesOnly) checkEntries();
        if (keysKnown_ && blocksReadable_) {
            checkTrees();
            if (!options_.treesOnly) {
                checkRecords();
                checkReach();
            }
        }
    }
    report_.unlisted = problems_.finish();
}

// ---- header and its region ----------------------------------------------------------------------

namespace {

// Why bytes 0..57 describe no file this format can hold; empty when they do.
std::string fixedHeaderFault(std::span<const uint8_t> b) {
    if (std::memcmp(b.data(), kMagic, kMagicSize) != 0) return "the magic is not [Mdnky2]";
    if (b[kOffBlockCode] < kMinBlockCode) {
        return "block-size code " + std::to_string(b[kOffBlockCode]) + " is below 3";
    }
    if (b[kOffKeyBuffer] > kMaxKeyBuffer) {
        return "key buffer size t " + std::to_string(b[kOffKeyBuffer]) + " is above 250";
    }
    if (b[kOffKeyCount] == 0) return "the file has no keys (n = 0)";
    if (common::getBe16(b.data() + kOffSegmentCount) < b[kOffKeyCount]) {
        return "fewer segments (s) than keys (n)";
    }
    if (static_cast<int16_t>(common::getBe16(b.data() + kOffMaxDataLength)) < 0)
        return "the maximum data length is negative";
    if (static_cast<int16_t>(common::getBe16(b.data() + kOffKeyArea)) < 0)
        return "the key area size is negative";
    return "it does not decode";
}

// Why the header region does not decode; empty when it does.
std::string regionFault(std::span<const uint8_t> region, const Geometry& g, unsigned n) {
    const int groups = regionGroupCount(region, n);
    if (groups <= 0 || static_cast<uint32_t>(groups) > g.maxGroups) {
        return "map directory length D " + std::to_string(groups) + " is not in 1.." +
               std::to_string(g.maxGroups);
    }
    const uint8_t* c = region.data() + 4 * size_t{n};
    const uint32_t highest = common::getBe32(c + (kOffHighestBlock - kOffRootsEnd));
    const uint32_t lastMap = g.mapCopy(static_cast<uint32_t>(groups) - 1, true);
    if (highest < lastMap || highest > g.blockLimit) {
        return "highest block " + std::to_string(highest) + " is below the last map copy " +
               std::to_string(lastMap) + " or above the block limit " +
               std::to_string(g.blockLimit);
    }
    for (unsigned k = 0; k < n; ++k) {
        const uint32_t root = common::getBe32(region.data() + 4 * size_t{n} - 4 - 4 * size_t{k});
        if (root != 0 && (root > g.blockLimit || g.isMapPlace(root))) {
            return keyName(k) + " root " + std::to_string(root) + " is not a block number";
        }
    }
    return "it does not decode";
}

}  // namespace

bool Verifier::readHeader() {
    file_ = common::verifying::openForReading(path_);
    if (!file_.isOpen()) {
        problem("file: " + path_ + " cannot be opened");
        return false;
    }
    length_ = std::max<int64_t>(file_.length(), 0);
    report_.bytes = length_;
    report_.files = 1;
    Bytes fixed(kFixedSize);
    if (length_ < static_cast<int64_t>(kFixedSize) || !file_.read(0, fixed)) {
        problem("header: the file is " + std::to_string(length_) +
                " bytes long, shorter than its 58-byte header");
        return false;
    }
    if (decodeFixedHeader(fixed, fixed_) != 0) {
        problem("header: " + fixedHeaderFault(fixed));
        return false;
    }
    makeGeometry(fixed_.blockCode, fixed_.largeFile(), geo_);
    Bytes block(geo_.blockSize);
    if (length_ < static_cast<int64_t>(geo_.blockSize) || !file_.read(0, block)) {
        problem("header: the file ends inside block 0 (" + std::to_string(length_) + " of " +
                std::to_string(geo_.blockSize) + " bytes)");
        return false;
    }
    const std::span<const uint8_t> region = std::span(block).subspan(fixed_.regionStart());
    if (decodeHeaderRegion(region, geo_, fixed_.keyCount, region_) != 0) {
        problem("header region: " + regionFault(region, geo_, fixed_.keyCount));
        return false;
    }
    if (fixed_.regionStart() + region_.size() > geo_.blockSize) {
        problem("header region: it runs past block 0");
        return false;
    }
    limits_ = recordLimits(fixed_);
    return true;
}

void Verifier::checkHeaderFields() {
    if (fixed_.keyAreaSize > 0x7F) {
        problem("header: key area size " + std::to_string(fixed_.keyAreaSize) +
                " is above 127, more than a record's key length byte holds");
    }
    const size_t part = limits_.bufferLength;
    if (part + 2 > geo_.blockSize - 8) {
        problem("header: a record part of " + std::to_string(part) +
                " bytes does not fit in a data block");
    }
    if (fixed_.maxRecords != 0 && region_.recordCount > fixed_.maxRecords) {
        problem("header: record count " + std::to_string(region_.recordCount) +
                " is above the maximum " + std::to_string(fixed_.maxRecords));
    }
    if (!addressValid(fixed_.keyDescriptors)) {
        problem("header: key-descriptor chain head " + hex(fixed_.keyDescriptors) +
                " is not a record address");
    }
    if (fixed_.dictionary != 0 && !addressValid(fixed_.dictionary)) {
        problem("header: dictionary chain head " + hex(fixed_.dictionary) +
                " is not a record address");
    }
    const uint64_t needed = (uint64_t{region_.highestBlock} + 1) * geo_.blockSize;
    if (static_cast<uint64_t>(length_) < needed) {
        problem("file: its " + std::to_string(length_) + " bytes end before the highest block " +
                std::to_string(region_.highestBlock) + " (" + std::to_string(needed) + " bytes)");
    }
}

// ---- blocks -------------------------------------------------------------------------------------

const Bytes* Verifier::readPlace(uint32_t physical, std::string& why) {
    if (auto it = cache_.find(physical); it != cache_.end()) return &it->second;
    uint64_t offset = 0;
    if (physical < 1 || physical > geo_.blockLimit || blockOffset(geo_, physical, offset) != 0) {
        why = "place " + std::to_string(physical) + " is not a block place of the file";
        return nullptr;
    }
    Bytes block(geo_.blockSize);
    if (offset + geo_.blockSize > static_cast<uint64_t>(length_) ||
        !file_.read(static_cast<int64_t>(offset), block)) {
        why = "place " + std::to_string(physical) + " lies beyond the end of the file";
        return nullptr;
    }
    const uint8_t type = block[0];
    if (enciphered_ && options_.decipher && (type == kTypeKey || type == kTypeData))
        options_.decipher(std::span(block).subspan(5));
    if (cache_.size() * geo_.blockSize >= kCacheBytes) cache_.clear();
    return &cache_.emplace(physical, std::move(block)).first->second;
}

std::optional<uint32_t> Verifier::placeOf(uint32_t logical, std::string& why) const {
    EntryPlace at;
    if (entryPlace(geo_, region_.groupCount(), logical, at) != 0) {
        why = "number " + std::to_string(logical) +
              " is not a block number of the file (a map copy's, or beyond the map)";
        return std::nullopt;
    }
    if (maps_[at.group].empty()) {
        why = "the map of group " + std::to_string(at.group) + " cannot be read";
        return std::nullopt;
    }
    const MapEntry entry = readMapEntry(maps_[at.group], at.index);
    const uint32_t place = entry.physical != 0 ? entry.physical : logical;
    if (geo_.isMapPlace(place)) {
        why = "its map entry names place " + std::to_string(place) + ", a map copy's";
        return std::nullopt;
    }
    if (place > region_.highestBlock) {
        why = "its map entry names place " + std::to_string(place) + ", beyond the highest block " +
              std::to_string(region_.highestBlock);
        return std::nullopt;
    }
    return place;
}

const Bytes* Verifier::readLogical(uint32_t logical, std::string& why) {
    const std::optional<uint32_t> place = placeOf(logical, why);
    return place ? readPlace(*place, why) : nullptr;
}

bool Verifier::numberOk(const Bytes& block, uint32_t logical, const std::string& where) {
    const uint32_t stored = blockNumber(block);
    if (stored == logical) return true;
    problem(where + ": number " + std::to_string(stored) + " in its head differs from " +
            std::to_string(logical));
    return false;
}

}  // namespace mdnio::extended::verify

namespace mdnio::devtools {

VerifyReport verifyExtendedFile(const std::string& path, const VerifyOptions& options) {
    VerifyReport report;
    extended::verify::Verifier(path, options, report).run();
    return report;
}

}  // namespace mdnio::devtools
