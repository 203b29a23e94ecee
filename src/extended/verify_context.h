// The verifier of extended keyed files (extended/verify.h), split by phase over one shared
// context: the Verifier's state (the header as read, the key layout, the current map copies, a
// block cache, what each phase found for the next) and the helpers every phase reads blocks with.
// Header and keys in verify.cpp, the map in verify_map.cpp, trees and records in
// verify_records.cpp, the chains in verify_dict.cpp; the tree walk is common/verify_tree.h.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/keydesc.h"
#include "common/verify_parts.h"
#include "common/verify_tree.h"
#include "extended/blockmap.h"
#include "extended/format.h"
#include "extended/verify.h"

namespace mdnio::extended::verify {

using Bytes = std::vector<uint8_t>;
using common::verifying::blockName;
using common::verifying::dump;
using common::verifying::hex;
using common::verifying::keyName;
using common::verifying::Problems;
using common::verifying::recordName;
using common::verifying::TreeWalk;

inline constexpr size_t kCacheBytes = 16u << 20;  // blocks kept for repeated reads
inline constexpr size_t kMaxOverflowParts = size_t{1} << 16;
inline constexpr size_t kMaxChainRecords = 1u << 20;

// A chained record as read: its address, links and payload.
struct ChainRecord {
    uint32_t address = 0;
    uint32_t next = 0;
    uint32_t previous = 0;
    Bytes payload;
};

// A record reached from key 0: its first part as the key construction reads it (key length
// byte, key area, BE16 data length, data expanded), with its serial as the suffix of its keys.
using common::verifying::IndexedRecord;

// One part of a data record, decoded and expanded.
struct Part {
    bool overflowPart = false;
    uint8_t keyLength = 0;
    Bytes keyArea;
    Bytes data;  // expanded when the file compresses
    uint32_t serial = 0;
    uint32_t link = 0;
};

class Verifier {
  public:
    Verifier(const std::string& path, const VerifyOptions& options, VerifyReport& report)
        : path_(path),
          options_(options),
          report_(report),
          problems_(report.problems, std::max<size_t>(options.maxProblems, 1)) {}

    void run();

    // ---- shared: blocks by place and through the map (verify.cpp)
    void problem(std::string text) { problems_.add(std::move(text)); }
    const Bytes* readPlace(uint32_t physical, std::string& why);
    std::optional<uint32_t> placeOf(uint32_t logical, std::string& why) const;
    const Bytes* readLogical(uint32_t logical, std::string& why);
    bool numberOk(const Bytes& block, uint32_t logical, const std::string& where);
    void reach(uint32_t logical) { reached_.insert(logical); }

  private:
    // ---- header and keys (verify.cpp)
    bool readHeader();
    void checkHeaderFields();
    bool decodeKeys(const std::vector<ChainRecord>& records);

    // ---- the map (verify_map.cpp)
    void loadMaps();
    void checkMapCopy(uint32_t group, bool second, const Bytes& map);
    void checkEntries();
    void checkUsage(uint32_t logical, MapEntry entry);
    void checkDataBlock(uint32_t logical, const Bytes& block);
    void checkReach();

    // ---- trees and records (verify_records.cpp)
    void checkTrees();
    std::string readPart(uint32_t address, Part& out);
    std::string readRecord(uint32_t address, IndexedRecord& out);
    void checkRecords();
    void checkKey0Entry(const common::verifying::LeafEntry& e, const IndexedRecord& r);
    void checkOrphans();

    // ---- chains (verify_dict.cpp)
    std::optional<ChainRecord> readChained(uint32_t address, uint8_t type, std::string& why);
    std::vector<ChainRecord> walkChain(uint32_t head, uint8_t type, const std::string& name);
    void checkChainBlock(const Bytes& block, uint32_t logical);
    void checkDictionary();
    bool checkDescriptors();

    std::string path_;
    const VerifyOptions& options_;
    VerifyReport& report_;
    Problems problems_;
    common::verifying::ReadOnlyFile file_;
    int64_t length_ = 0;
    FixedHeader fixed_;
    Geometry geo_;
    HeaderRegion region_;
    RecordLimits limits_;
    common::KeyLayout layout_;
    bool keysKnown_ = false;
    bool enciphered_ = false;
    bool blocksReadable_ = true;  // key and data blocks can be read in plain
    std::vector<Bytes> maps_;     // the current copy of every group, empty when unreadable
    std::unordered_map<uint32_t, Bytes> cache_;  // by physical place
    std::map<uint32_t, uint8_t> used_;           // numbers in use and their usage bytes
    std::unordered_set<uint32_t> reached_;       // numbers something in the file reaches
    std::unordered_set<uint32_t> reachedKeyBlocks_;
    std::set<uint32_t> liveRecords_;  // every used slot of every data block: first parts ...
    std::set<uint32_t> liveParts_;    // ... and overflow parts
    std::unordered_set<uint32_t> reachedSlots_;
    std::vector<TreeWalk> trees_;
    std::set<uint32_t> chainBlocks_;  // dictionary and key-descriptor blocks checked
};

}  // namespace mdnio::extended::verify
