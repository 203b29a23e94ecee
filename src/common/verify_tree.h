// The key-tree walk of the keyed-file verifiers: the shape, order and bounds of one key tree, and
// the leaf entries the record checks take.  Key blocks are laid out alike in every keyed format
// (keyblock.h); how a block is found and read, and what its head must say besides its type, is
// the format's, given by a TreeBlocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/keydesc.h"
#include "common/verify_parts.h"

namespace mdnio::common::verifying {

inline constexpr int kMaxTreeDepth = 16;  // levels of a search path

// A leaf entry of a key tree.
struct LeafEntry {
    std::vector<uint8_t> value;
    int32_t pointer = 0;
    uint32_t block = 0;
};

// State of one key tree's walk.
struct TreeWalk {
    size_t key = 0;
    size_t entrySize = 0;
    unsigned capacity = 0;
    unsigned keyLength = 0;  // L of the key's values
    int leafDepth = -1;
    uint32_t blocks = 0;
    uint32_t entries = 0;
    std::vector<LeafEntry> leaves;  // kept for the record checks (not when only the trees)
};

// How the walk reaches the blocks of a file.
class TreeBlocks {
  public:
    virtual ~TreeBlocks() = default;
    // The block `number` names (a block address, or a logical number), or null with the reason
    // in `why`.  The walk copies it before it reads another.
    virtual const std::vector<uint8_t>* read(uint32_t number, std::string& why) = 0;
    // A block of key type joins the tree: the format checks its head and notes the block.
    virtual void accepted(const std::vector<uint8_t>& block, uint32_t number,
                          const std::string& where) = 0;
};

struct TreeRules {
    bool keyOnly = false;    // the file stores no records: leaf entries carry no address
    bool keepLeaves = true;  // collect the leaf entries for the record checks
};

// Walks the tree of `walk.key` from `root` (not 0).  Every key block reached goes into `reached`;
// one reached twice is a problem (a cycle, or a child of two parents).
void walkTree(TreeWalk& walk, uint32_t root, const TreeRules& rules, TreeBlocks& blocks,
              std::unordered_set<uint32_t>& reached, Problems& problems);

// The trees of every key of `layout` from their roots (0: an empty key), in key order, each
// walk's entry size, capacity and key length taken from the layout and `blockSize`.
std::vector<TreeWalk> walkKeyTrees(const KeyLayout& layout, size_t blockSize,
                                   std::span<const uint32_t> roots, const TreeRules& rules,
                                   TreeBlocks& blocks, std::unordered_set<uint32_t>& reached,
                                   Problems& problems);

// A record reached from key 0, as the key construction reads it: its address, the 4-byte suffix
// its alternate-key entries carry (the format's: the address, or the record serial), and its
// record buffer.
struct IndexedRecord {
    uint32_t address = 0;
    uint32_t suffix = 0;
    std::vector<uint8_t> buffer;
};

// Every record with a non-empty value of alternate key k has exactly its entry among `leaves`,
// and the tree holds nothing else; with `unique`, no value twice (the suffix left out).  Entries
// that point at `unreadable` records are passed over.
void checkAlternateKey(const KeyLayout& layout, size_t k, const std::vector<LeafEntry>& leaves,
                       const std::vector<IndexedRecord>& records,
                       const std::set<uint32_t>& unreadable, bool unique, Problems& problems);

}  // namespace mdnio::common::verifying
