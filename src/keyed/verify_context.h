// The verifier of classic keyed files (mdnio_devtools.h), split by phase over one shared
// context: the Verifier's state (the header as read, the key layout, the segment files, a block
// cache, what each phase found for the next) and the helpers every phase reads blocks with.
// Each phase lives in its own file: header and keys (verify_header.cpp), allocation and maps
// (verify_alloc.cpp), trees (verify_trees.cpp), records (verify_records.cpp), dictionary and
// password (verify_dict.cpp); verify.cpp runs them in order.  The parts that do not depend on
// the classic format are in common/verify_parts.h.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/bytes.h"
#include "common/keydesc.h"
#include "common/verify_parts.h"
#include "common/verify_tree.h"
#include "keyed/format.h"
#include "keyed/verify.h"

namespace mdnio::keyed::verify {

using Bytes = std::vector<uint8_t>;
using File = common::verifying::ReadOnlyFile;
using common::getBe16;
using common::getBe32;
using common::verifying::blockName;
using common::verifying::checkSlottedBlock;
using common::verifying::dump;
using common::verifying::hex;
using common::verifying::keyName;
using common::verifying::openForReading;
using common::verifying::Problems;
using common::verifying::recordName;

inline constexpr size_t kMaxSegmentLinks = 8;     // a link to a link to ... a segment file
inline constexpr size_t kCacheBytes = 16u << 20;  // blocks kept for repeated reads
inline constexpr uint32_t kNoSequence = 0;

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

using common::verifying::LeafEntry;
using common::verifying::TreeWalk;

// An extent of the base file in slot mode, where blocks and record slots share one file.
struct Extent {
    uint32_t start = 0;
    uint32_t end = 0;
    std::string what;
};

// Where a block lies: its segment file and its offset there.
struct Place {
    unsigned segment = 0;
    int64_t offset = 0;
};

// A dictionary record: its links and its payload.
struct DictRecord {
    uint32_t next = 0;
    uint32_t prev = 0;
    Bytes payload;
};

class Verifier {
  public:
    Verifier(const std::string& path, const VerifyOptions& options, VerifyReport& report)
        : options_(options),
          report_(report),
          problems_(report.problems, std::max<size_t>(options.maxProblems, 1)),
          files_(path, problems_) {}

    void run();

  private:
    void problem(std::string text) { problems_.add(std::move(text)); }
    static bool cipherType(uint8_t type) { return type == kTypeKey || type == kTypeData; }

    // ---- shared: the files, blocks and extents every phase reads (verify.cpp)
    int64_t wholeBlocks(unsigned s);
    std::optional<Place> placeBlock(uint32_t address, std::string& why) const;
    const Bytes* readBlock(uint32_t address, std::string& why);
    bool selfAddressOk(const Bytes& block, uint32_t address, const std::string& where);
    void addExtent(uint32_t start, uint32_t size, std::string what);
    bool slotPosition(uint32_t address, std::string& why) const;

    // ---- header and keys (verify_header.cpp)
    bool readHeader();
    bool decodeKeys(const File& base);
    void checkHeaderFields();
    void checkSegmentReach();
    void checkEndOfFile();
    void countBytes();

    // ---- allocation and maps: block mode's maps and blocks, slot mode's chains (verify_alloc.cpp)
    void checkDataBlock(const Bytes& block, uint32_t address);
    void checkGroupHints();
    void checkGroupHint(uint32_t hint, const std::string& what);
    static bool mapAgrees(uint8_t mapByte, uint8_t type);
    void censusSegment(unsigned s);
    uint32_t addressOf(unsigned s, uint64_t index) const;
    void censusGroup(unsigned s, uint64_t first, uint64_t end);
    void censusBlock(const Bytes& block, uint32_t address);
    void checkDeletedChain();
    void checkFreeChain();
    void checkOverlaps();

    // ---- key trees (verify_trees.cpp)
    void checkTrees();

    // ---- records (verify_records.cpp)
    std::string readRecordAt(uint32_t address, Bytes& out, uint32_t& link);
    std::string readSlotRecord(uint32_t address, Bytes& out);
    std::string readBlockRecord(uint32_t address, Bytes& out, uint32_t& link);
    std::string readOwner(uint32_t address, Bytes& out);
    void checkRecords();
    void checkKey0Entry(const LeafEntry& e, uint32_t address, const Bytes& record);
    void checkOrphans();

    // ---- dictionary and password (verify_dict.cpp)
    void checkDictionaryBlock(const Bytes& block, uint32_t address);
    std::optional<DictRecord> readDictRecord(uint32_t address, std::string& why);
    void checkDictionary();
    void walkDictionaryBack(uint32_t at, std::set<uint32_t>& seen);
    void findPassword(const std::vector<DictRecord>& records);

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

}  // namespace mdnio::keyed::verify
