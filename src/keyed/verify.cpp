#include "keyed/verify.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "common/bytes.h"
#include "common/compress.h"
#include "common/datablock.h"
#include "common/keyblock.h"
#include "common/keydesc.h"
#include "common/keyvalue.h"
#include "keyed/format.h"
#include "platform/platform.h"

namespace mdnio::keyed {

namespace {

using Bytes = std::vector<uint8_t>;
using common::getBe16;
using common::getBe32;

constexpr size_t kMaxSegmentLinks = 8;     // a link to a link to ... a segment file
constexpr size_t kCacheBytes = 16u << 20;  // blocks kept for repeated reads
constexpr uint32_t kNoSequence = 0;

std::string hex(uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
    return buf;
}

// The first bytes of a key value, for messages.
std::string dump(std::span<const uint8_t> v) {
    std::string s = "[";
    const size_t shown = std::min<size_t>(v.size(), 12);
    for (size_t i = 0; i < shown; ++i) {
        char buf[4];
        std::snprintf(buf, sizeof buf, "%02X", v[i]);
        if (i) s += ' ';
        s += buf;
    }
    if (shown < v.size()) s += " ...";
    return s + "]";
}

std::string keyName(size_t k) {
    return "key " + std::to_string(k);
}
std::string blockName(uint32_t a) {
    return "block " + hex(a);
}
std::string recordName(uint32_t a) {
    return "record " + hex(a);
}

// ---- problem list ----------------------------------------------------------------------------

class Problems {
  public:
    Problems(std::vector<std::string>& list, size_t max) : list_(list), max_(max) {}
    void add(std::string text) {
        if (list_.size() < max_) {
            list_.push_back(std::move(text));
        } else {
            ++dropped_;
        }
    }
    // Adds the line that counts the problems not listed; answers their number.
    size_t finish() {
        if (dropped_ > 0)
            list_.push_back("verifier: " + std::to_string(dropped_) + " more problems not listed");
        return dropped_;
    }

  private:
    std::vector<std::string>& list_;
    size_t max_;
    size_t dropped_ = 0;
};

// ---- files -----------------------------------------------------------------------------------

// An open descriptor, closed with its owner.
class File {
  public:
    File() = default;
    explicit File(int fd) : fd_(fd) {}
    ~File() { platform::closeFile(fd_); }
    File(File&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    File& operator=(File&& o) noexcept {
        if (this != &o) {
            platform::closeFile(fd_);
            fd_ = std::exchange(o.fd_, -1);
        }
        return *this;
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    int64_t length() const { return fd_ >= 0 ? platform::fileLength(fd_) : -1; }
    bool read(int64_t offset, std::span<uint8_t> out) const {
        if (fd_ < 0 || offset < 0) return false;
        const platform::IoResult r = platform::readAt(fd_, out.data(), out.size(), offset);
        return r.status == platform::IoStatus::Ok && r.count == static_cast<int64_t>(out.size());
    }

  private:
    int fd_ = -1;
};

File openForReading(const std::string& path) {
    platform::OpenResult result;
    return File(platform::openFile(path.c_str(), platform::Access::ReadOnly, false, &result));
}

// The base file and its segment files, opened on first use.
class SegmentSet {
  public:
    SegmentSet(std::string base, Problems& problems)
        : base_(std::move(base)), problems_(problems) {}

    bool openBase() {
        files_.clear();
        files_.push_back(openForReading(base_));
        tried_.assign(1, true);
        return files_[0].isOpen();
    }

    // Segment s (0 = the base file), or null when it cannot be used (reported once).
    const File* get(unsigned s) {
        if (s >= files_.size()) {
            files_.resize(s + 1);
            tried_.resize(s + 1, false);
        }
        if (!tried_[s]) {
            tried_[s] = true;
            files_[s] = openSegment(s);
        }
        return files_[s].isOpen() ? &files_[s] : nullptr;
    }

  private:
    std::string segmentPath(unsigned s) const {
        char suffix[8];
        std::snprintf(suffix, sizeof suffix, ".%03u", s);
        return base_ + suffix;
    }

    // Opens segment file s, following "lnk]" files to the real one.
    File openSegment(unsigned s) {
        const std::string where = "segment " + std::to_string(s);
        std::string path = segmentPath(s);
        std::set<std::string> seen;
        for (size_t hop = 0; hop <= kMaxSegmentLinks; ++hop) {
            if (!seen.insert(path).second) {
                problems_.add(where + ": segment links form a cycle at " + path);
                return {};
            }
            File f = openForReading(path);
            if (!f.isOpen()) {
                problems_.add(where + ": segment file " + path + " cannot be opened");
                return {};
            }
            std::array<uint8_t, 68> head{};
            const int64_t length = f.length();
            const size_t have = static_cast<size_t>(std::clamp<int64_t>(length, 0, 68));
            if (have < 8 || !f.read(0, std::span(head).first(have))) {
                problems_.add(where + ": segment file " + path + " is too short to be one");
                return {};
            }
            if (std::equal(head.begin() + 4, head.begin() + 8, "seg]")) return f;
            if (!std::equal(head.begin() + 4, head.begin() + 8, "lnk]")) {
                problems_.add(where + ": " + path +
                              " is neither a segment file (seg]) nor a link (lnk])");
                return {};
            }
            if (have < head.size()) {
                problems_.add(where + ": link file " + path + " is cut short");
                return {};
            }
            std::string target(head.begin() + 8, head.end());
            target.erase(target.find_last_not_of(std::string(" \0", 2)) + 1);
            if (target.empty()) {
                problems_.add(where + ": link file " + path + " names no file");
                return {};
            }
            path = target;
        }
        problems_.add(where + ": more than " + std::to_string(kMaxSegmentLinks) +
                      " links in a row");
        return {};
    }

    std::string base_;
    Problems& problems_;
    std::vector<File> files_;
    std::vector<bool> tried_;
};

// ---- the header ------------------------------------------------------------------------------

struct Header {
    std::array<uint8_t, kHeaderSize> raw{};
    int recordSize = 0;  // R
    int keyArea = 0;     // K
    uint32_t blockSize = 0;
    bool blockMode = false;
    bool compressed = false;
    uint32_t slotSize = 0;  // S
    uint32_t mapSpan = 0;   // E, block mode
    uint32_t recordCount = 0;
    uint32_t maxRecords = 0;
    uint32_t eof = 0;
    unsigned segments = 0;
    uint32_t sequence = 0;
    uint32_t dictionary = 0;
    std::array<uint32_t, 16> roots{};
};

// A leaf entry of a key tree.
struct LeafEntry {
    Bytes value;
    int32_t pointer = 0;
    uint32_t block = 0;
};

// State of one key tree's walk.
struct TreeWalk {
    size_t key = 0;
    size_t entrySize = 0;
    unsigned capacity = 0;
    int leafDepth = -1;
    uint32_t blocks = 0;
    uint32_t entries = 0;
    std::vector<LeafEntry> leaves;  // kept for the record checks (not when only the trees)
};

// A record reached from key 0, as the engine's record buffer holds it: key area length byte, key
// area, BE16 data length, data (the owner piece only, expanded when compressed).
struct RecordBuffer {
    uint32_t address = 0;
    Bytes buffer;
};

// An extent of the base file in slot mode, where blocks and record slots share one file.
struct Extent {
    uint32_t start = 0;
    uint32_t end = 0;
    std::string what;
};

class Verifier {
  public:
    Verifier(const std::string& path, const VerifyOptions& options, VerifyReport& report)
        : options_(options),
          report_(report),
          problems_(report.problems, std::max<size_t>(options.maxProblems, 1)),
          files_(path, problems_) {}

    void run() {
        if (readHeader()) {
            checkHeaderFields();
            checkSegmentReach();
            checkEndOfFile();
            countBytes();
            checkDictionary();
            if (options_.treesOnly) {
                if (blocksReadable_) checkTrees();
                problems_.finish();
                return;
            }
            if (h_.blockMode) {
                checkGroupHints();
                for (unsigned s = 0; s <= h_.segments; ++s)
                    censusSegment(s);
            } else {
                checkDeletedChain();
                checkFreeChain();
            }
            if (blocksReadable_) {
                checkTrees();
                checkRecords();
            }
            if (!h_.blockMode) checkOverlaps();
        }
        report_.unlisted = problems_.finish();
    }

  private:
    void problem(std::string text) { problems_.add(std::move(text)); }

    // ---- header ----

    bool readHeader() {
        if (!files_.openBase()) {
            problem("file: cannot be opened");
            return false;
        }
        const File& base = *files_.get(0);
        baseLength_ = base.length();
        if (baseLength_ < static_cast<int64_t>(kHeaderSize) || !base.read(0, h_.raw)) {
            problem("header: the file is shorter than the 256-byte header");
            return false;
        }
        const uint8_t* r = h_.raw.data();
        if (!std::equal(r, r + 8, "[Mdnkey]") && !std::equal(r, r + 8, "[Tjwkey]")) {
            problem("header: bad magic " + dump(std::span(r, 8)) + ", not a classic keyed file");
            return false;
        }
        h_.recordSize = getS16(r, kOffRecordSize);
        h_.keyArea = getS16(r, kOffKeyArea);
        const int code = static_cast<int8_t>(r[kOffBlockCode]);
        h_.blockMode = (r[kOffFlagsA] & kBlockMode) != 0;
        h_.compressed = (r[kOffFlagsB] & kCompressed) != 0;
        if (h_.recordSize < 0) {
            problem("header: record size R " + std::to_string(h_.recordSize) + " is negative");
            return false;
        }
        if (h_.keyArea < 0) {
            problem("header: key area size K " + std::to_string(h_.keyArea) + " is negative");
            return false;
        }
        if (code < 0) {
            problem("header: block size code " + std::to_string(code) + " is negative");
            return false;
        }
        h_.blockSize = static_cast<uint32_t>(code + 1) * 1024;
        if (h_.blockMode && h_.blockSize > 65536) {
            problem("header: block size " + std::to_string(h_.blockSize) +
                    " is above 65536, which data blocks cannot address");
            return false;
        }
        h_.slotSize = static_cast<uint32_t>(h_.recordSize + h_.keyArea + 3) +
                      (h_.blockMode ? 4 : 0) + (h_.compressed ? 1 : 0);
        h_.slotSize = std::max<uint32_t>(h_.slotSize, 5);
        h_.mapSpan = h_.blockSize - 6;
        h_.recordCount = get32(r, kOffRecordCount);
        h_.maxRecords = get32(r, kOffMaxRecords);
        h_.eof = get32(r, kOffEof);
        h_.segments = r[kOffSegments];
        h_.sequence = get32(r, kOffSequence);
        h_.dictionary = get32(r, kOffDictionary);
        for (size_t k = 0; k < 16; ++k)
            h_.roots[k] = get32(r, kOffRoots + static_cast<int>(4 * k));
        return decodeKeys(base);
    }

    bool decodeKeys(const File& base) {
        std::array<uint8_t, 256> continuation{};
        if (h_.raw[kOffFlagsA] & kDescContinued) {
            if (!base.read(kHeaderSize, continuation)) {
                problem(
                    "header: flag A bit 1 says the descriptor table continues at 256, but "
                    "the file ends before 512");
                return false;
            }
        }
        const int code = common::decodeClassicHeaderKeys(h_.raw, continuation, layout_);
        if (code != 0) {
            problem("header: the key descriptor table does not decode (error " +
                    std::to_string(code) + ")");
            return false;
        }
        return true;
    }

    void checkHeaderFields() {
        const uint8_t* r = h_.raw.data();
        if (static_cast<int32_t>(h_.recordCount) < 0) {
            problem("header: record count " + std::to_string(static_cast<int32_t>(h_.recordCount)) +
                    " is negative");
        }
        if (h_.maxRecords != 0 && h_.recordCount > h_.maxRecords) {
            problem("header: record count " + std::to_string(h_.recordCount) +
                    " is above the maximum record count " + std::to_string(h_.maxRecords));
        }
        if ((r[kOffFlagsA] & kCounterCheck) &&
            (r[kOffCheck] != (r[kOffCounter] ^ r[kOffCounter + 2]) ||
             r[kOffCheck + 1] != (r[kOffCounter + 1] ^ r[kOffCounter + 3]))) {
            problem(
                "header: counter check bytes 253..254 do not match the change counter while "
                "flag A bit 6 is set");
        }
        if (r[kOffFlagsB] & kCommitting) {
            problem(
                "header: the commit-in-progress flag (flags B bit 5) is set: a commit was "
                "interrupted");
        }
        if (h_.blockMode && h_.slotSize + 2 > h_.blockSize - 8) {
            problem("header: a record of " + std::to_string(h_.slotSize) +
                    " bytes (slot size S) does not fit in an empty data block");
        }
        const unsigned segmentLimit = h_.blockMode ? std::min(h_.blockSize / 256 - 1, 31u) : 0;
        if (h_.segments > segmentLimit) {
            problem("header: segment count " + std::to_string(h_.segments) + " is above " +
                    std::to_string(segmentLimit) + (h_.blockMode ? "" : " (slot mode has none)"));
            h_.segments = segmentLimit;
        }
        for (size_t k = layout_.keyCount(); k < 16; ++k) {
            if (h_.roots[k] != 0) {
                problem("header: root of " + keyName(k) + " is " + hex(h_.roots[k]) +
                        " but the file has " + std::to_string(layout_.keyCount()) + " keys");
            }
        }
    }

    // A segment that reaches past what its field can hold (the key area, the record size, or
    // what is left of the record for field n) loses the same key bytes on every record.
    void checkSegmentReach() {
        for (size_t k = 0; k < layout_.keyCount(); ++k) {
            const auto segments = layout_.segmentsOf(k);
            for (size_t i = 0; i < segments.size(); ++i) {
                const std::string why = common::segmentOverreach(
                    segments[i], h_.keyArea, h_.recordSize, layout_.lengthPrefixedFields);
                if (!why.empty())
                    problem("header: " + keyName(k) + " segment " + std::to_string(i + 1) + ": " +
                            why);
            }
        }
    }

    // ---- geometry ----

    // Where blocks of segment s end: the end of file for the last segment, the file's length
    // (whole blocks) for the others.
    void checkEndOfFile() {
        extents_.assign(h_.segments + 1, kFirstBlock);
        if (!h_.blockMode) {
            if (h_.eof < kFirstBlock || h_.eof > kMaxEof) {
                problem("header: end of file " + hex(h_.eof) + " is not in 512.." + hex(kMaxEof));
            } else if (h_.eof > baseLength_) {
                problem("header: end of file " + hex(h_.eof) + " is beyond the file length " +
                        hex(static_cast<uint64_t>(baseLength_)));
            }
            extents_[0] = std::clamp<int64_t>(h_.eof, kFirstBlock, kMaxEof);
            return;
        }
        for (unsigned s = 0; s < h_.segments; ++s)
            extents_[s] = wholeBlocks(s);
        const uint32_t seg = segmentOf(h_.eof, h_.blockSize);
        const int64_t off = offsetInSegment(h_.eof, h_.blockSize);
        bool valid = false;
        if (h_.eof < kFirstBlock || (h_.eof & 0xFF) != 0 || h_.eof > 0x7FFFFFFFu) {
            problem("header: end of file " + hex(h_.eof) + " is not a block address");
        } else if (seg != h_.segments) {
            problem("header: end of file " + hex(h_.eof) + " lies in segment " +
                    std::to_string(seg) + " but the highest segment is " +
                    std::to_string(h_.segments));
        } else if ((off - kFirstBlock) % h_.blockSize != 0) {
            problem("header: end of file " + hex(h_.eof) + " is not at a block boundary");
        } else if (off > kMaxEof) {
            problem("header: end of file " + hex(h_.eof) + " is beyond " + hex(kMaxEof));
        } else {
            valid = true;
            const File* f = files_.get(seg);
            if (f && off > f->length()) {
                problem("header: end of file " + hex(h_.eof) + " is beyond the length " +
                        hex(static_cast<uint64_t>(f->length())) + " of segment " +
                        std::to_string(seg));
                valid = false;  // the blocks end where the file does
            }
        }
        extents_[h_.segments] = valid ? off : wholeBlocks(h_.segments);
    }

    void countBytes() {
        for (unsigned s = 0; s <= h_.segments; ++s) {
            const File* f = files_.get(s);
            if (!f) continue;
            report_.bytes += std::max<int64_t>(f->length(), 0);
            ++report_.files;
        }
    }

    int64_t wholeBlocks(unsigned s) {
        const File* f = files_.get(s);
        const int64_t length = f ? std::min<int64_t>(f->length(), kMaxEof) : 0;
        if (length <= kFirstBlock) return kFirstBlock;
        return kFirstBlock + (length - kFirstBlock) / h_.blockSize * h_.blockSize;
    }

    struct Place {
        unsigned segment = 0;
        int64_t offset = 0;
    };

    // Where the block at `address` lies, or why it cannot be a block of this file.
    std::optional<Place> placeBlock(uint32_t address, std::string& why) const {
        if (address < kFirstBlock || address > 0x7FFFFFFFu) {
            why = "address " + hex(address) + " is not a block address";
            return std::nullopt;
        }
        if (!h_.blockMode) {
            // Slot mode appends blocks at the end of file rounded up to 512.
            if (address % 512 != 0) {
                why = "address " + hex(address) + " is not at a block boundary";
                return std::nullopt;
            }
            if (int64_t{address} + h_.blockSize > extents_[0]) {
                why = "address " + hex(address) + " lies beyond the end of file";
                return std::nullopt;
            }
            return Place{0, address};
        }
        const uint32_t seg = segmentOf(address, h_.blockSize);
        const int64_t off = offsetInSegment(address, h_.blockSize);
        if ((address & 0xFF) != 0 || (off - kFirstBlock) % h_.blockSize != 0) {
            why = "address " + hex(address) + " is not at a block boundary";
            return std::nullopt;
        }
        if (seg > h_.segments) {
            why = "address " + hex(address) + " lies in segment " + std::to_string(seg) +
                  ", beyond the highest segment " + std::to_string(h_.segments);
            return std::nullopt;
        }
        if (off + h_.blockSize > extents_[seg]) {
            why = "address " + hex(address) + " lies beyond the end of segment " +
                  std::to_string(seg);
            return std::nullopt;
        }
        return Place{seg, off};
    }

    static bool cipherType(uint8_t type) { return type == kTypeKey || type == kTypeData; }

    // Reads the block at `address` (deciphered when the file's blocks are enciphered and the
    // caller gave the means); on failure `why` says why and nothing is returned.
    const Bytes* readBlock(uint32_t address, std::string& why) {
        if (auto it = cache_.find(address); it != cache_.end()) return &it->second;
        const std::optional<Place> place = placeBlock(address, why);
        if (!place) return nullptr;
        const File* f = files_.get(place->segment);
        Bytes block(h_.blockSize);
        if (!f || !f->read(place->offset, block)) {
            why = "address " + hex(address) + " cannot be read";
            return nullptr;
        }
        if (enciphered_ && options_.decipher && cipherType(block[0])) {
            options_.decipher(std::span(block).subspan(5));
        }
        if (cache_.size() * h_.blockSize >= kCacheBytes) cache_.clear();
        return &cache_.emplace(address, std::move(block)).first->second;
    }

    bool selfAddressOk(const Bytes& block, uint32_t address, const std::string& where) {
        const uint32_t stored = getBe32(&block[1]);
        if (stored == address) return true;
        problem(where + ": self address " + hex(stored) + " differs from the block's address");
        return false;
    }

    void addExtent(uint32_t start, uint32_t size, std::string what) {
        if (!h_.blockMode) extents_slot_.push_back(Extent{start, start + size, std::move(what)});
    }

    // ---- slotted blocks (data and dictionary) ----

    // Checks the slot table of a data or dictionary block against its records and its free
    // count.  Returns the used slots.
    std::vector<unsigned> checkSlotted(const Bytes& block, uint32_t address,
                                       const common::RecordShape& shape, size_t maxSize) {
        const std::string where = blockName(address);
        std::vector<unsigned> used;
        const size_t body = block.size() - 6;
        const unsigned count = block[5];
        const size_t table = 2 + 2 * size_t{count};
        if (table > body) {
            problem(where + ": slot table of " + std::to_string(count) +
                    " slots runs past the block");
            return used;
        }
        const size_t free = getBe16(&block[6]);
        const std::span<const uint8_t> bodyBytes = std::span(block).subspan(6);
        struct Piece {
            size_t position, size;
            unsigned slot;
        };
        std::vector<Piece> pieces;
        size_t total = 0;
        for (unsigned s = 1; s <= count; ++s) {
            const size_t p = getBe16(&bodyBytes[2 * s]);
            if (p == 0) continue;
            const std::string slot = where + " slot " + std::to_string(s);
            if (p < table || p >= body) {
                problem(slot + ": record offset " + std::to_string(p) + " outside the record area");
                continue;
            }
            // New records are placed right below the free space, so none may lie inside it.
            if (p < table + free) {
                problem(slot + ": record offset " + std::to_string(p) +
                        " lies in the free space, which ends at " + std::to_string(table + free));
            }
            const long size = common::recordSize(bodyBytes.subspan(p), shape);
            if (size < 0 || p + static_cast<size_t>(size) > body) {
                problem(slot + ": record runs past the end of its block");
                continue;
            }
            if (maxSize != 0 && static_cast<size_t>(size) > maxSize) {
                problem(slot + ": record of " + std::to_string(size) +
                        " bytes is above the slot size S " + std::to_string(maxSize));
            }
            pieces.push_back(Piece{p, static_cast<size_t>(size), s});
            total += static_cast<size_t>(size);
            used.push_back(s);
        }
        std::sort(pieces.begin(), pieces.end(),
                  [](const Piece& a, const Piece& b) { return a.position < b.position; });
        for (size_t i = 1; i < pieces.size(); ++i) {
            if (pieces[i - 1].position + pieces[i - 1].size > pieces[i].position) {
                problem(where + ": records of slots " + std::to_string(pieces[i - 1].slot) +
                        " and " + std::to_string(pieces[i].slot) + " overlap");
            }
        }
        if (table + total <= body && free != body - table - total) {
            problem(where + ": free count F " + std::to_string(free) +
                    " disagrees with the slot table, which leaves " +
                    std::to_string(body - table - total) + " bytes free");
        } else if (table + total > body) {
            problem(where + ": records and slot table take more than the block");
        }
        return used;
    }

    void checkDataBlock(const Bytes& block, uint32_t address) {
        common::RecordShape shape;
        shape.keyArea = static_cast<uint16_t>(h_.keyArea);
        for (unsigned s : checkSlotted(block, address, shape, h_.slotSize)) {
            liveSlots_.insert(address + s);
        }
    }

    void checkDictionaryBlock(const Bytes& block, uint32_t address) {
        if (!dictBlocks_.insert(address).second) return;
        common::RecordShape shape;
        shape.kind = common::RecordShape::Kind::Chained;
        checkSlotted(block, address, shape, 0);
        addExtent(address, h_.blockSize, "dictionary " + blockName(address));
    }

    // ---- dictionary records ----

    struct DictRecord {
        uint32_t next = 0;
        uint32_t prev = 0;
        Bytes payload;
    };

    std::optional<DictRecord> readDictRecord(uint32_t address, std::string& why) {
        const uint32_t blockAddress = address & ~0xFFu;
        const unsigned slot = address & 0xFF;
        if (slot == 0) {
            why = "address " + hex(address) + " names slot 0";
            return std::nullopt;
        }
        const Bytes* block = readBlock(blockAddress, why);
        if (!block) return std::nullopt;
        if ((*block)[0] != kTypeDict) {
            why = blockName(blockAddress) + " has type " + hex((*block)[0]) +
                  ", not a dictionary block (0xFB)";
            return std::nullopt;
        }
        if (!h_.blockMode) checkDictionaryBlock(*block, blockAddress);
        const size_t body = h_.blockSize - 6;
        if (slot > (*block)[5] || 2 + 2 * size_t{slot} > body) {
            why = "slot " + std::to_string(slot) + " is beyond the block's slot count";
            return std::nullopt;
        }
        const size_t p = getBe16(&(*block)[6 + 2 * slot]);
        if (p == 0 || p + 10 > body) {
            why = "slot " + std::to_string(slot) + " has no record inside the block";
            return std::nullopt;
        }
        const uint8_t* rec = &(*block)[6 + p];
        const size_t total = getBe16(rec + 8);
        if (total < 10 || p + total > body) {
            why = "record length " + std::to_string(total) + " does not fit in its block";
            return std::nullopt;
        }
        return DictRecord{getBe32(rec), getBe32(rec + 4), Bytes(rec + 10, rec + total)};
    }

    // Walks the dictionary records from header 243 both ways, checks that next and previous
    // links agree, and finds out whether the file's password enciphers its blocks.
    void checkDictionary() {
        if (h_.dictionary == 0) return;
        std::set<uint32_t> seen;
        std::vector<DictRecord> forward;  // record 0, 1, 2, ...
        uint32_t at = h_.dictionary;
        uint32_t from = 0;
        bool circular = false;
        while (at != 0) {
            if (at == h_.dictionary && from != 0) {
                circular = true;
                break;
            }
            if (!seen.insert(at).second) {
                problem("dictionary chain: record " + hex(at) + " reached twice (a cycle)");
                break;
            }
            std::string why;
            std::optional<DictRecord> rec = readDictRecord(at, why);
            if (!rec) {
                problem("dictionary chain: record " + hex(at) + ": " + why);
                break;
            }
            if (from != 0 && rec->prev != from) {
                problem("dictionary chain: record " + hex(at) + " has previous link " +
                        hex(rec->prev) + " but is the next of " + hex(from));
            }
            from = at;
            at = rec->next;
            forward.push_back(std::move(*rec));
        }
        if (!circular && !forward.empty()) walkDictionaryBack(forward[0].prev, seen);
        findPassword(forward);
        cache_.clear();  // blocks read before the cipher was known are read again
    }

    void walkDictionaryBack(uint32_t at, std::set<uint32_t>& seen) {
        uint32_t from = h_.dictionary;
        while (at != 0) {
            if (!seen.insert(at).second) {
                problem("dictionary chain: record " + hex(at) + " reached twice (a cycle)");
                return;
            }
            std::string why;
            std::optional<DictRecord> rec = readDictRecord(at, why);
            if (!rec) {
                problem("dictionary chain: record " + hex(at) + ": " + why);
                return;
            }
            if (rec->next != from) {
                problem("dictionary chain: record " + hex(at) + " has next link " + hex(rec->next) +
                        " but is the previous of " + hex(from));
            }
            from = at;
            at = rec->prev;
        }
    }

    // The password record is the first "EXT" record from record 1 on; kinds 2 and 3 encipher
    // key and data blocks.
    void findPassword(const std::vector<DictRecord>& records) {
        for (size_t i = 1; i < records.size(); ++i) {
            const Bytes& p = records[i].payload;
            std::vector<std::span<const uint8_t>> fields;
            for (size_t at = 0; at < p.size() && fields.size() < 3;) {
                const size_t length = p[at];
                if (at + 1 + length > p.size()) break;
                fields.push_back(std::span(p).subspan(at + 1, length));
                at += 1 + length;
            }
            if (fields.empty() || fields[0].size() != 3 ||
                !std::equal(fields[0].begin(), fields[0].end(), "EXT")) {
                continue;
            }
            if (fields.size() >= 3 && !fields[2].empty() &&
                (fields[2][0] == 2 || fields[2][0] == 3)) {
                enciphered_ = true;
                if (!options_.decipher) {
                    blocksReadable_ = false;
                    problem("password: key and data blocks are enciphered (password kind " +
                            std::to_string(fields[2][0]) +
                            ") and no decipher was given: key trees and records not checked");
                }
            }
            return;
        }
    }

    // ---- block mode: allocation maps and every block ----

    void checkGroupHints() {
        checkGroupHint(get32(h_.raw.data(), kOffDeletedOrDataGroup), "data-block group hint (24)");
        const uint32_t free = get32(h_.raw.data(), kOffFreeOrAllocGroup);
        checkGroupHint(free, "free-block group hint (28)");
        // Unlike the data-block group, the free-block group is always one a free block was found
        // in: past the end of file, it would make the next allocation start a new segment.
        std::string why;
        if (free != 0 && !placeBlock(free, why)) {
            problem("header: free-block group hint (28) " + hex(free) + ": " + why);
        }
    }

    void checkGroupHint(uint32_t hint, const std::string& what) {
        if (hint == 0) return;
        const uint32_t seg = segmentOf(hint, h_.blockSize);
        const int64_t off = offsetInSegment(hint, h_.blockSize);
        const uint64_t group = uint64_t{h_.mapSpan} * h_.blockSize;
        if (hint < kFirstBlock || hint > 0x7FFFFFFFu || (hint & 0xFF) != 0 || seg > h_.segments ||
            (off - kFirstBlock) % group != 0) {
            problem("header: " + what + " " + hex(hint) + " is not the address of a map group");
        }
    }

    static bool mapAgrees(uint8_t mapByte, uint8_t type) {
        switch (type) {
            case kTypeFree:
                return mapByte == 0;
            case kTypeData:
                return mapByte == kTypeData || mapByte == kMapDataFull;
            case kTypeDict:
            case kTypeMap:
            case kTypeKey:
                return mapByte == type;
            default:
                return false;
        }
    }

    void censusSegment(unsigned s) {
        const int64_t extent = extents_[s];
        if (extent <= kFirstBlock) return;
        const uint64_t blocks = static_cast<uint64_t>(extent - kFirstBlock) / h_.blockSize;
        for (uint64_t first = 0; first < blocks; first += h_.mapSpan) {
            censusGroup(s, first, std::min<uint64_t>(blocks, first + h_.mapSpan));
        }
    }

    uint32_t addressOf(unsigned s, uint64_t index) const {
        return static_cast<uint32_t>(kFirstBlock + index * h_.blockSize + 256u * s);
    }

    // The group of blocks first..end-1 (end exclusive, inside the segment) and its map.
    void censusGroup(unsigned s, uint64_t first, uint64_t end) {
        const uint32_t mapAddress = addressOf(s, first);
        std::string why;
        const Bytes* mapBlock = readBlock(mapAddress, why);
        Bytes map;
        if (!mapBlock) {
            problem("allocation map " + blockName(mapAddress) + ": " + why);
        } else if ((*mapBlock)[0] != kTypeMap) {
            problem("allocation map " + blockName(mapAddress) + ": block type " +
                    hex((*mapBlock)[0]) + " is not a map (0xFC)");
        } else if (selfAddressOk(*mapBlock, mapAddress,
                                 "allocation map " + blockName(mapAddress))) {
            map = *mapBlock;
        }
        for (uint64_t i = first; i < end; ++i) {
            const uint32_t address = addressOf(s, i);
            const Bytes* block = i == first ? mapBlock : readBlock(address, why);
            if (!block) {
                if (i != first) problem(blockName(address) + ": " + why);
                continue;
            }
            const uint8_t type = (*block)[0];
            if (i != first) censusBlock(*block, address);
            if (map.empty()) continue;
            const uint8_t mapByte = map[6 + (i - first)];
            if (i == first ? mapByte != kTypeMap : !mapAgrees(mapByte, type)) {
                problem(blockName(address) + ": map byte " + hex(mapByte) +
                        " disagrees with block type " + hex(type));
            }
        }
        for (uint64_t i = end; !map.empty() && i < first + h_.mapSpan; ++i) {
            const uint8_t mapByte = map[6 + (i - first)];
            if (mapByte != 0) {
                problem("allocation map " + blockName(mapAddress) + ": map byte " + hex(mapByte) +
                        " for block " + hex(addressOf(s, i)) + " beyond the end of file is not 0");
            }
        }
    }

    void censusBlock(const Bytes& block, uint32_t address) {
        const uint8_t type = block[0];
        switch (type) {
            case kTypeFree:
                return;
            case kTypeMap:
                problem(blockName(address) + ": block type 0xFC outside the start of a map group");
                break;
            case kTypeData:
                if (selfAddressOk(block, address, blockName(address)) && blocksReadable_) {
                    checkDataBlock(block, address);
                }
                return;
            case kTypeDict:
                if (selfAddressOk(block, address, blockName(address))) {
                    checkDictionaryBlock(block, address);
                }
                return;
            case kTypeKey:
                // Checked in full when its tree reaches it; a key block no tree reaches is a leak.
                keyBlocksInFile_.insert(address);
                return;
            default:
                problem(blockName(address) + ": unknown block type " + hex(type));
                return;
        }
    }

    // ---- slot mode: chains ----

    bool slotPosition(uint32_t address, std::string& why) const {
        const int64_t first = int64_t{kFirstBlock} + h_.blockSize;
        if (address < first || (address - first) % h_.slotSize != 0) {
            why = "address " + hex(address) + " is not at a slot position";
            return false;
        }
        if (int64_t{address} + h_.slotSize > extents_[0]) {
            why = "address " + hex(address) + " lies beyond the end of file";
            return false;
        }
        return true;
    }

    void checkDeletedChain() {
        int64_t at = get32(h_.raw.data(), kOffDeletedOrDataGroup);
        std::unordered_set<int64_t> seen;
        while (at != 0) {
            const std::string where = "deleted-slot chain: slot " + hex(static_cast<uint64_t>(at));
            std::string why;
            if (at < 0 || at > 0x7FFFFFFF || !slotPosition(static_cast<uint32_t>(at), why)) {
                problem(where + ": " + (why.empty() ? "not a slot address" : why));
                return;
            }
            if (!seen.insert(at).second) {
                problem(where + " reached twice (a cycle)");
                return;
            }
            std::array<uint8_t, 5> head{};
            if (!files_.get(0)->read(at, head)) {
                problem(where + ": cannot be read");
                return;
            }
            if (head[0] != kDeletedSlot) {
                problem(where + ": first byte " + hex(head[0]) + " is not 0xFF");
                return;
            }
            const int32_t link = static_cast<int32_t>(getBe32(&head[1]));
            addExtent(static_cast<uint32_t>(at), h_.slotSize, "deleted slot " + hex(at));
            if (link > 0) {
                problem(where + ": link " + std::to_string(link) + " is positive");
                return;
            }
            at = -int64_t{link};
        }
    }

    void checkFreeChain() {
        uint32_t at = get32(h_.raw.data(), kOffFreeOrAllocGroup);
        std::unordered_set<uint32_t> seen;
        while (at != 0) {
            const std::string where = "free-block chain: " + blockName(at);
            if (!seen.insert(at).second) {
                problem(where + " reached twice (a cycle)");
                return;
            }
            std::string why;
            const Bytes* block = readBlock(at, why);
            if (!block) {
                problem(where + ": " + why);
                return;
            }
            if ((*block)[0] != kTypeFree) {
                problem(where + ": block type " + hex((*block)[0]) + " is not free (0)");
                return;
            }
            selfAddressOk(*block, at, where);
            addExtent(at, h_.blockSize, "free " + blockName(at));
            at = getBe32(&(*block)[6]);
        }
    }

    // Slot mode keeps blocks and record slots in one file: none may overlap another.
    void checkOverlaps() {
        std::sort(extents_slot_.begin(), extents_slot_.end(),
                  [](const Extent& a, const Extent& b) { return a.start < b.start; });
        for (size_t i = 1; i < extents_slot_.size(); ++i) {
            const Extent& a = extents_slot_[i - 1];
            const Extent& b = extents_slot_[i];
            if (a.end > b.start) problem(a.what + ": overlaps " + b.what);
        }
    }

    // ---- key trees ----

    void checkTrees() {
        trees_.resize(layout_.keyCount());
        for (size_t k = 0; k < layout_.keyCount(); ++k) {
            TreeWalk& walk = trees_[k];
            walk.key = k;
            walk.entrySize = layout_.keys[k].entrySize();
            walk.capacity = common::keyBlockCapacity(h_.blockSize, walk.entrySize);
            if (h_.roots[k] != 0) walkBlock(walk, h_.roots[k], 1, {}, {}, true);
            report_.trees.push_back(
                KeyTreeShape{std::max(walk.leafDepth, 0), walk.blocks, walk.entries});
        }
        for (uint32_t address : keyBlocksInFile_) {
            if (!reachedKeyBlocks_.count(address)) {
                problem("key " + blockName(address) + ": not part of any key tree");
            }
        }
    }

    // Walks the subtree at `address`: every value in it must be above `low` (when given) and at
    // most `high` (when given); `rightmost` says whether the block ends its level.
    void walkBlock(TreeWalk& walk, uint32_t address, int depth, const Bytes& low, const Bytes& high,
                   bool rightmost) {
        const std::string where = keyName(walk.key) + " " + blockName(address);
        if (depth > kMaxDepth) {
            problem(where + ": tree depth above " + std::to_string(kMaxDepth));
            return;
        }
        if (!reachedKeyBlocks_.insert(address).second) {
            problem(where + ": key block reached twice (a cycle, or a child of two parents)");
            return;
        }
        std::string why;
        const Bytes* read = readBlock(address, why);
        if (!read) {
            problem(where + ": " + why);
            return;
        }
        const Bytes block = *read;  // the cache may drop it while the children are read
        if (block[0] != kTypeKey) {
            problem(where + ": block type " + hex(block[0]) + " is not a key block (0xFE)");
            return;
        }
        selfAddressOk(block, address, where);
        ++walk.blocks;
        addExtent(address, h_.blockSize, "key " + blockName(address));
        unsigned count = block[5];
        if (count > walk.capacity) {
            problem(where + ": entry count " + std::to_string(count) + " is above the capacity " +
                    std::to_string(walk.capacity));
            count = walk.capacity;
        }
        if (count == 0) {
            problem(where + ": key block has no entries");
            return;
        }
        checkEntries(walk, block, count, where, low, high, rightmost);
        if (common::entryPointer(block, walk.entrySize, 0) > 0) {
            walkChildren(walk, block, count, where, depth, low, rightmost);
        } else {
            collectLeaf(walk, block, count, address, where, depth);
        }
    }

    // Order, bounds and end markers of the entries of one block.
    void checkEntries(const TreeWalk& walk, const Bytes& block, unsigned count,
                      const std::string& where, const Bytes& low, const Bytes& high,
                      bool rightmost) {
        const unsigned length = layout_.keys[walk.key].length;
        // Alternate keys of a key-only file carry no record address to tell equal values apart.
        const bool equalAllowed = h_.recordSize == 0 && walk.key > 0;
        for (unsigned i = 0; i < count; ++i) {
            const std::span<const uint8_t> v = common::entryValue(block, walk.entrySize, i);
            const std::string entry = where + " entry " + std::to_string(i);
            const bool end = common::isEndMarker(v);
            if (end && !std::all_of(v.begin(), v.end(), [](uint8_t b) { return b == 0xFF; })) {
                problem(entry + ": end marker with value bytes other than 0xFF");
            }
            if (!end && v[0] > length) {
                problem(entry + ": value length " + std::to_string(v[0]) +
                        " is above the key length " + std::to_string(length));
            }
            if (end && !(rightmost && i + 1 == count)) {
                problem(entry + ": end marker before the end of its level");
            }
            if (i > 0) {
                const int c =
                    common::compareValues(common::entryValue(block, walk.entrySize, i - 1), v);
                if (c > 0 || (c == 0 && !equalAllowed)) {
                    problem(entry + ": entries not sorted (" + dump(v) + " does not follow " +
                            dump(common::entryValue(block, walk.entrySize, i - 1)) + ")");
                }
            }
            if (!low.empty() && common::compareValues(v, low) <= 0) {
                problem(entry + ": entry " + dump(v) +
                        " is not above the parent's previous entry " + dump(low));
            }
            if (!high.empty() && common::compareValues(v, high) > 0) {
                problem(entry + ": entry " + dump(v) + " is above its parent entry " + dump(high));
            }
        }
        if (rightmost &&
            !common::isEndMarker(common::entryValue(block, walk.entrySize, count - 1))) {
            problem(where + ": the last block of its level is not closed by an end marker");
        }
    }

    void walkChildren(TreeWalk& walk, const Bytes& block, unsigned count, const std::string& where,
                      int depth, const Bytes& low, bool rightmost) {
        Bytes previous = low;
        for (unsigned i = 0; i < count; ++i) {
            const int32_t pointer = common::entryPointer(block, walk.entrySize, i);
            const std::span<const uint8_t> v = common::entryValue(block, walk.entrySize, i);
            Bytes value(v.begin(), v.end());
            if (pointer <= 0) {
                problem(where + " entry " + std::to_string(i) + ": inner entry pointer " +
                        std::to_string(pointer) + " is not a child block");
            } else {
                walkBlock(walk, static_cast<uint32_t>(pointer), depth + 1, previous, value,
                          rightmost && i + 1 == count);
            }
            previous = std::move(value);
        }
    }

    void collectLeaf(TreeWalk& walk, const Bytes& block, unsigned count, uint32_t address,
                     const std::string& where, int depth) {
        if (walk.leafDepth < 0) {
            walk.leafDepth = depth;
        } else if (walk.leafDepth != depth) {
            problem(where + ": leaf at depth " + std::to_string(depth) +
                    " while other leaves are at " + std::to_string(walk.leafDepth));
        }
        for (unsigned i = 0; i < count; ++i) {
            const int32_t pointer = common::entryPointer(block, walk.entrySize, i);
            const std::span<const uint8_t> v = common::entryValue(block, walk.entrySize, i);
            const std::string entry = where + " entry " + std::to_string(i);
            if (common::isEndMarker(v)) {
                if (pointer != 0) {
                    problem(entry + ": leaf end marker has pointer " + std::to_string(pointer));
                }
                continue;
            }
            if (pointer > 0) {
                problem(entry + ": leaf entry points at a child block, other entries at records");
                continue;
            }
            if (h_.recordSize == 0 ? pointer != 0 : pointer == 0) {
                problem(entry + (h_.recordSize == 0
                                     ? ": key-only file's leaf entry carries a record address"
                                     : ": leaf entry has no record address"));
                continue;
            }
            ++walk.entries;
            if (!options_.treesOnly)
                walk.leaves.push_back(LeafEntry{Bytes(v.begin(), v.end()), pointer, address});
        }
    }

    // ---- records ----

    std::string readRecordAt(uint32_t address, Bytes& out, uint32_t& link) {
        link = 0;
        return h_.blockMode ? readBlockRecord(address, out, link) : readSlotRecord(address, out);
    }

    // A record slot of slot mode: returns "" and the record buffer, or why it is unreadable.
    std::string readSlotRecord(uint32_t address, Bytes& out) {
        std::string why;
        if (!slotPosition(address, why)) return why;
        Bytes slot(h_.slotSize);
        if (!files_.get(0)->read(address, slot)) return "the slot cannot be read";
        addExtent(address, h_.slotSize, recordName(address));
        if (slot[0] == kDeletedSlot) return "the slot is a deleted slot (0xFF)";
        if (slot[0] & kPieceMark) return "the slot is marked as a continuation piece";
        if ((slot[0] & 0x7F) > h_.keyArea) {
            return "key area length " + std::to_string(slot[0] & 0x7F) + " is above K";
        }
        const size_t k = static_cast<size_t>(h_.keyArea);
        if (k + 3 > slot.size()) return "the slot cannot hold its record head";
        const int length = static_cast<int16_t>(getBe16(&slot[k + 1]));
        if (length < 0) return "data length " + std::to_string(length) + " is negative";
        if (length > h_.recordSize) {
            return "record length " + std::to_string(length) + " is above R " +
                   std::to_string(h_.recordSize);
        }
        if (static_cast<size_t>(length) + k + 3 > h_.slotSize) {
            return "data length " + std::to_string(length) + " runs past the slot";
        }
        out.assign(slot.begin(), slot.begin() + static_cast<std::ptrdiff_t>(k + 3 + length));
        return {};
    }

    // One piece of a record in a data block.  The buffer's data length has bit 15 cleared and
    // compressed data expanded.
    std::string readBlockRecord(uint32_t address, Bytes& out, uint32_t& link) {
        const uint32_t blockAddress = address & ~0xFFu;
        const unsigned slot = address & 0xFF;
        if (slot == 0) return "the address names slot 0";
        std::string why;
        const Bytes* block = readBlock(blockAddress, why);
        if (!block) return why;
        if ((*block)[0] != kTypeData) {
            return blockName(blockAddress) + " has type " + hex((*block)[0]) +
                   ", not a data block (0x80)";
        }
        const size_t body = h_.blockSize - 6;
        if (slot > (*block)[5]) return "slot " + std::to_string(slot) + " is beyond the slot count";
        const size_t p = getBe16(&(*block)[6 + 2 * slot]);
        const size_t k = static_cast<size_t>(h_.keyArea);
        if (p == 0) return "slot " + std::to_string(slot) + " is unused";
        if (p + k + 3 > body) return "record offset " + std::to_string(p) + " outside its block";
        const std::span<const uint8_t> rec = std::span(*block).subspan(6 + p);
        if ((rec[0] & 0x7F) > h_.keyArea) {
            return "key area length " + std::to_string(rec[0] & 0x7F) + " is above K";
        }
        const uint16_t stored = getBe16(&rec[k + 1]);
        const size_t length = stored & 0x7FFF;
        const bool continued = (stored & 0x8000) != 0;
        if (length + k + 3 > h_.slotSize) {
            return "stored length " + std::to_string(length) + " runs past the slot size S";
        }
        if (p + k + 3 + length + (continued ? 4 : 0) > body)
            return "the record runs past its block";
        const std::span<const uint8_t> data = rec.subspan(k + 3, length);
        if (continued) link = getBe32(&rec[k + 3 + length]);
        out.assign(rec.begin(), rec.begin() + static_cast<std::ptrdiff_t>(k + 1));
        Bytes expanded(static_cast<size_t>(h_.recordSize));
        long n = static_cast<long>(length);
        if (h_.compressed) {
            n = common::decompressRecord(data, expanded);
            if (n == common::kDecompressOverflow) {
                return "compressed data expands beyond the record size R " +
                       std::to_string(h_.recordSize);
            }
            if (n < 0) return "compressed data does not decompress";
        } else if (length > static_cast<size_t>(h_.recordSize)) {
            return "record length " + std::to_string(length) + " is above R " +
                   std::to_string(h_.recordSize);
        } else {
            std::copy(data.begin(), data.end(), expanded.begin());
        }
        out.push_back(static_cast<uint8_t>(n >> 8));
        out.push_back(static_cast<uint8_t>(n));
        out.insert(out.end(), expanded.begin(), expanded.begin() + n);
        return {};
    }

    // Reads the record at `address` and follows its continuation pieces; "" when sound.
    std::string readOwner(uint32_t address, Bytes& out) {
        if (!reachedSlots_.insert(address).second) return "it is reached twice";
        uint32_t link = 0;
        if (std::string why = readRecordAt(address, out, link); !why.empty()) return why;
        if (out[0] & kPieceMark) return "it is a continuation piece, not a record";
        const size_t k = static_cast<size_t>(h_.keyArea);
        for (size_t pieces = 0; link != 0; ++pieces) {
            const std::string where = "continuation piece " + hex(link);
            if (pieces >= kMaxPiecesPerRecord) {
                return "more than " + std::to_string(kMaxPiecesPerRecord) + " continuation pieces";
            }
            if (!reachedSlots_.insert(link).second) return where + " is reached twice (a cycle?)";
            Bytes piece;
            const uint32_t at = link;
            if (std::string why = readRecordAt(at, piece, link); !why.empty()) {
                return where + ": " + why;
            }
            if (!(piece[0] & kPieceMark)) return where + " is not marked as a piece (bit 7)";
            if ((piece[0] & 0x7F) != (out[0] & 0x7F) ||
                !std::equal(piece.begin() + 1, piece.begin() + 1 + static_cast<std::ptrdiff_t>(k),
                            out.begin() + 1)) {
                return where + " does not carry its owner's key area";
            }
        }
        return {};
    }

    void checkRecords() {
        if (trees_.empty()) return;
        const std::vector<LeafEntry>& key0 = trees_[0].leaves;
        report_.records = static_cast<uint32_t>(key0.size());
        if (h_.recordCount != key0.size()) {
            problem("header: record count " + std::to_string(h_.recordCount) +
                    " differs from the " + std::to_string(key0.size()) + " key 0 leaf entries");
        }
        if (h_.recordSize == 0) return;  // key-only: the entries are the records

        std::vector<RecordBuffer> records;
        std::set<uint32_t> unreadable;
        for (const LeafEntry& e : key0) {
            const uint32_t address = static_cast<uint32_t>(-int64_t{e.pointer});
            Bytes buffer;
            if (std::string why = readOwner(address, buffer); !why.empty()) {
                problem(recordName(address) + " (key 0 " + blockName(e.block) +
                        "): cannot be read: " + why);
                unreadable.insert(address);
                continue;
            }
            checkKey0Entry(e, address, buffer);
            records.push_back(RecordBuffer{address, std::move(buffer)});
        }
        for (size_t k = 1; k < trees_.size(); ++k)
            checkAlternateKey(k, records, unreadable);
        checkOrphans();
    }

    // Key 0's value rebuilt from the record must be the leaf entry that points at it; a
    // sequence suffix, which cannot be rebuilt, is taken from the entry.
    void checkKey0Entry(const LeafEntry& e, uint32_t address, const Bytes& record) {
        const common::KeyDesc& key = layout_.keys[0];
        Bytes value(key.valueSize());
        if (common::buildKeyValue(layout_, 0, record, address, false, kNoSequence, value) != 0) {
            problem(recordName(address) + ": key 0 value cannot be built");
            return;
        }
        if (key.suffix == common::KeySuffix::Sequence) {
            // Build twice with different sequence numbers: the bytes that differ are the suffix.
            Bytes one(key.valueSize()), other(key.valueSize());
            common::buildKeyValue(layout_, 0, record, address, true, 0, one);
            common::buildKeyValue(layout_, 0, record, address, true, 0xFFFFFFFEu, other);
            Bytes sequence;
            for (size_t i = 0; i < value.size(); ++i) {
                value[i] = one[i];
                if (one[i] != other[i]) {
                    value[i] = e.value[i];
                    sequence.push_back(e.value[i]);
                }
            }
            if (sequence.size() == 4 && getBe32(sequence.data()) > h_.sequence) {
                problem(recordName(address) + ": key 0 sequence suffix " +
                        std::to_string(getBe32(sequence.data())) +
                        " is above the sequence counter " + std::to_string(h_.sequence));
            }
        }
        if (value != e.value) {
            problem(recordName(address) + ": key 0 entry " + dump(e.value) +
                    " does not match the record's key 0 value " + dump(value));
        }
    }

    // Every record with a non-empty value of key k has exactly its entry, and the tree holds
    // nothing else; a unique key has no value twice (ignoring the address suffix).
    void checkAlternateKey(size_t k, const std::vector<RecordBuffer>& records,
                           const std::set<uint32_t>& unreadable) {
        std::multimap<Bytes, int32_t> entries;
        for (const LeafEntry& e : trees_[k].leaves)
            entries.emplace(e.value, e.pointer);
        const bool unique = (layout_.keys[k].flags & common::kKeyUnique) != 0;
        std::map<Bytes, uint32_t> uniqueValues;
        const std::string name = keyName(k);
        for (const RecordBuffer& r : records) {
            Bytes value(layout_.keys[k].valueSize());
            if (common::buildKeyValue(layout_, k, r.buffer, r.address, false, 0, value) != 0) {
                problem(recordName(r.address) + ": " + name + " value cannot be built");
                continue;
            }
            if (common::isEmptyValue(value)) continue;
            auto it = entries.find(value);
            if (it == entries.end()) {
                problem(name + ": entry missing for " + recordName(r.address) + " " + dump(value));
            } else {
                if (it->second != -int64_t{r.address}) {
                    problem(name + ": entry for " + recordName(r.address) + " points at " +
                            std::to_string(it->second));
                }
                entries.erase(it);
            }
            if (unique) {
                Bytes bare(value.size());
                common::buildKeyValue(layout_, k, r.buffer, 0, false, 0, bare);
                auto [at, fresh] = uniqueValues.emplace(bare, r.address);
                if (!fresh) {
                    problem("unique " + name + ": duplicate value in " + recordName(at->second) +
                            " and " + recordName(r.address));
                }
            }
        }
        for (const auto& [value, pointer] : entries) {
            if (pointer < 0 && unreadable.count(static_cast<uint32_t>(-int64_t{pointer}))) continue;
            problem(name + ": entry " + dump(value) + " (pointer " + std::to_string(pointer) +
                    ") belongs to no record");
        }
    }

    // Block mode: a record in a data block that neither key 0 nor a continuation chain reaches
    // is lost to every reader but the raw one.
    void checkOrphans() {
        for (uint32_t address : liveSlots_) {
            if (!reachedSlots_.count(address)) {
                problem(recordName(address) +
                        ": not reached from key 0 nor from a continuation chain");
            }
        }
    }

    const VerifyOptions& options_;
    VerifyReport& report_;
    Problems problems_;
    SegmentSet files_;
    Header h_;
    common::KeyLayout layout_;
    int64_t baseLength_ = 0;
    std::vector<int64_t> extents_;  // per segment: end of its blocks (file offset)
    bool enciphered_ = false;
    bool blocksReadable_ = true;
    std::unordered_map<uint32_t, Bytes> cache_;
    std::vector<TreeWalk> trees_;
    std::unordered_set<uint32_t> reachedKeyBlocks_;
    std::set<uint32_t> keyBlocksInFile_;  // block mode: every 0xFE block found
    std::set<uint32_t> liveSlots_;        // block mode: every used slot of every data block
    std::unordered_set<uint32_t> reachedSlots_;
    std::set<uint32_t> dictBlocks_;
    std::vector<Extent> extents_slot_;
};

}  // namespace

}  // namespace mdnio::keyed

namespace mdnio::devtools {

VerifyReport verifyClassicFile(const std::string& path, const VerifyOptions& options) {
    VerifyReport report;
    keyed::Verifier(path, options, report).run();
    return report;
}

}  // namespace mdnio::devtools
