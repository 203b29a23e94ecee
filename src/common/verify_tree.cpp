#include "common/verify_tree.h"

#include <algorithm>
#include <map>

#include "common/keyblock.h"
#include "common/keyvalue.h"

namespace mdnio::common::verifying {

namespace {

using Bytes = std::vector<uint8_t>;

class Walker {
  public:
    Walker(TreeWalk& walk, const TreeRules& rules, TreeBlocks& blocks,
           std::unordered_set<uint32_t>& reached, Problems& problems)
        : walk_(walk), rules_(rules), blocks_(blocks), reached_(reached), problems_(problems) {}

    void walkBlock(uint32_t address, int depth, const Bytes& low, const Bytes& high,
                   bool rightmost);

  private:
    void problem(std::string text) { problems_.add(std::move(text)); }
    void checkEntries(const Bytes& block, unsigned count, const std::string& where,
                      const Bytes& low, const Bytes& high, bool rightmost);
    void walkChildren(const Bytes& block, unsigned count, const std::string& where, int depth,
                      const Bytes& low, bool rightmost);
    void collectLeaf(const Bytes& block, unsigned count, uint32_t address, const std::string& where,
                     int depth);

    TreeWalk& walk_;
    const TreeRules& rules_;
    TreeBlocks& blocks_;
    std::unordered_set<uint32_t>& reached_;
    Problems& problems_;
};

// Walks the subtree at `address`: every value in it must be above `low` (when given) and at
// most `high` (when given); `rightmost` says whether the block ends its level.
void Walker::walkBlock(uint32_t address, int depth, const Bytes& low, const Bytes& high,
                       bool rightmost) {
    const std::string where = keyName(walk_.key) + " " + blockName(address);
    if (depth > kMaxTreeDepth) {
        problem(where + ": tree depth above " + std::to_string(kMaxTreeDepth));
        return;
    }
    if (!reached_.insert(address).second) {
        problem(where + ": key block reached twice (a cycle, or a child of two parents)");
        return;
    }
    std::string why;
    const Bytes* read = blocks_.read(address, why);
    if (!read) {
        problem(where + ": " + why);
        return;
    }
    const Bytes block = *read;  // the reader may drop it while the children are read
    if (block[0] != kKeyBlockType) {
        problem(where + ": block type " + hex(block[0]) + " is not a key block (0xFE)");
        return;
    }
    blocks_.accepted(block, address, where);
    ++walk_.blocks;
    unsigned count = block[5];
    if (count > walk_.capacity) {
        problem(where + ": entry count " + std::to_string(count) + " is above the capacity " +
                std::to_string(walk_.capacity));
        count = walk_.capacity;
    }
    if (count == 0) {
        problem(where + ": key block has no entries");
        return;
    }
    checkEntries(block, count, where, low, high, rightmost);
    if (entryPointer(block, walk_.entrySize, 0) > 0) {
        walkChildren(block, count, where, depth, low, rightmost);
    } else {
        collectLeaf(block, count, address, where, depth);
    }
}

// Order, bounds and end markers of the entries of one block.
void Walker::checkEntries(const Bytes& block, unsigned count, const std::string& where,
                          const Bytes& low, const Bytes& high, bool rightmost) {
    // Alternate keys of a key-only file carry no record address to tell equal values apart.
    const bool equalAllowed = rules_.keyOnly && walk_.key > 0;
    for (unsigned i = 0; i < count; ++i) {
        const std::span<const uint8_t> v = entryValue(block, walk_.entrySize, i);
        const std::string entry = where + " entry " + std::to_string(i);
        const bool end = isEndMarker(v);
        if (end && !std::all_of(v.begin(), v.end(), [](uint8_t b) { return b == 0xFF; })) {
            problem(entry + ": end marker with value bytes other than 0xFF");
        }
        if (!end && v[0] > walk_.keyLength) {
            problem(entry + ": value length " + std::to_string(v[0]) + " is above the key length " +
                    std::to_string(walk_.keyLength));
        }
        if (end && !(rightmost && i + 1 == count)) {
            problem(entry + ": end marker before the end of its level");
        }
        if (i > 0) {
            const int c = compareValues(entryValue(block, walk_.entrySize, i - 1), v);
            if (c > 0 || (c == 0 && !equalAllowed)) {
                problem(entry + ": entries not sorted (" + dump(v) + " does not follow " +
                        dump(entryValue(block, walk_.entrySize, i - 1)) + ")");
            }
        }
        if (!low.empty() && compareValues(v, low) <= 0) {
            problem(entry + ": entry " + dump(v) + " is not above the parent's previous entry " +
                    dump(low));
        }
        if (!high.empty() && compareValues(v, high) > 0) {
            problem(entry + ": entry " + dump(v) + " is above its parent entry " + dump(high));
        }
    }
    if (rightmost && !isEndMarker(entryValue(block, walk_.entrySize, count - 1))) {
        problem(where + ": the last block of its level is not closed by an end marker");
    }
}

void Walker::walkChildren(const Bytes& block, unsigned count, const std::string& where, int depth,
                          const Bytes& low, bool rightmost) {
    Bytes previous = low;
    for (unsigned i = 0; i < count; ++i) {
        const int32_t pointer = entryPointer(block, walk_.entrySize, i);
        const std::span<const uint8_t> v = entryValue(block, walk_.entrySize, i);
        Bytes value(v.begin(), v.end());
        if (pointer <= 0) {
            problem(where + " entry " + std::to_string(i) + ": inner entry pointer " +
                    std::to_string(pointer) + " is not a child block");
        } else {
            walkBlock(static_cast<uint32_t>(pointer), depth + 1, previous, value,
                      rightmost && i + 1 == count);
        }
        previous = std::move(value);
    }
}

void Walker::collectLeaf(const Bytes& block, unsigned count, uint32_t address,
                         const std::string& where, int depth) {
    if (walk_.leafDepth < 0) {
        walk_.leafDepth = depth;
    } else if (walk_.leafDepth != depth) {
        problem(where + ": leaf at depth " + std::to_string(depth) + " while other leaves are at " +
                std::to_string(walk_.leafDepth));
    }
    for (unsigned i = 0; i < count; ++i) {
        const int32_t pointer = entryPointer(block, walk_.entrySize, i);
        const std::span<const uint8_t> v = entryValue(block, walk_.entrySize, i);
        const std::string entry = where + " entry " + std::to_string(i);
        if (isEndMarker(v)) {
            if (pointer != 0) {
                problem(entry + ": leaf end marker has pointer " + std::to_string(pointer));
            }
            continue;
        }
        if (pointer > 0) {
            problem(entry + ": leaf entry points at a child block, other entries at records");
            continue;
        }
        if (rules_.keyOnly ? pointer != 0 : pointer == 0) {
            problem(entry + (rules_.keyOnly
                                 ? ": key-only file's leaf entry carries a record address"
                                 : ": leaf entry has no record address"));
            continue;
        }
        ++walk_.entries;
        if (rules_.keepLeaves)
            walk_.leaves.push_back(LeafEntry{Bytes(v.begin(), v.end()), pointer, address});
    }
}

}  // namespace

void walkTree(TreeWalk& walk, uint32_t root, const TreeRules& rules, TreeBlocks& blocks,
              std::unordered_set<uint32_t>& reached, Problems& problems) {
    Walker(walk, rules, blocks, reached, problems).walkBlock(root, 1, {}, {}, true);
}

std::vector<TreeWalk> walkKeyTrees(const KeyLayout& layout, size_t blockSize,
                                   std::span<const uint32_t> roots, const TreeRules& rules,
                                   TreeBlocks& blocks, std::unordered_set<uint32_t>& reached,
                                   Problems& problems) {
    std::vector<TreeWalk> trees(layout.keyCount());
    for (size_t k = 0; k < layout.keyCount(); ++k) {
        TreeWalk& walk = trees[k];
        walk.key = k;
        walk.entrySize = layout.keys[k].entrySize();
        walk.capacity = keyBlockCapacity(blockSize, walk.entrySize);
        walk.keyLength = layout.keys[k].length;
        if (k < roots.size() && roots[k] != 0)
            walkTree(walk, roots[k], rules, blocks, reached, problems);
    }
    return trees;
}

void checkAlternateKey(const KeyLayout& layout, size_t k, const std::vector<LeafEntry>& leaves,
                       const std::vector<IndexedRecord>& records,
                       const std::set<uint32_t>& unreadable, bool unique, Problems& problems) {
    std::multimap<Bytes, int32_t> entries;
    for (const LeafEntry& e : leaves)
        entries.emplace(e.value, e.pointer);
    std::map<Bytes, uint32_t> uniqueValues;
    const std::string name = keyName(k);
    for (const IndexedRecord& r : records) {
        Bytes value(layout.keys[k].valueSize());
        if (buildKeyValue(layout, k, r.buffer, r.suffix, false, 0, value) != 0) {
            problems.add(recordName(r.address) + ": " + name + " value cannot be built");
            continue;
        }
        if (isEmptyValue(value)) continue;
        auto it = entries.find(value);
        if (it == entries.end()) {
            problems.add(name + ": entry missing for " + recordName(r.address) + " " + dump(value));
        } else {
            if (it->second != -int64_t{r.address}) {
                problems.add(name + ": entry for " + recordName(r.address) + " points at " +
                             std::to_string(it->second));
            }
            entries.erase(it);
        }
        if (unique) {
            Bytes bare(value.size());
            buildKeyValue(layout, k, r.buffer, 0, false, 0, bare);
            auto [at, fresh] = uniqueValues.emplace(bare, r.address);
            if (!fresh) {
                problems.add("unique " + name + ": duplicate value in " + recordName(at->second) +
                             " and " + recordName(r.address));
            }
        }
    }
    for (const auto& [value, pointer] : entries) {
        if (pointer < 0 && unreadable.count(static_cast<uint32_t>(-int64_t{pointer}))) continue;
        problems.add(name + ": entry " + dump(value) + " (pointer " + std::to_string(pointer) +
                     ") belongs to no record");
    }
}

}  // namespace mdnio::common::verifying
