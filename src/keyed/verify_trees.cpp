// Classic verifier, key trees: the shape, order and bounds of every key tree, and the leaf entries
// the record checks take.
#include "keyed/verify_context.h"

#include "common/keyblock.h"
#include "common/keyvalue.h"

namespace mdnio::keyed::verify {

void Verifier::checkTrees() {
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
void Verifier::walkBlock(TreeWalk& walk, uint32_t address, int depth, const Bytes& low,
                         const Bytes& high, bool rightmost) {
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
void Verifier::checkEntries(const TreeWalk& walk, const Bytes& block, unsigned count,
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
            problem(entry + ": value length " + std::to_string(v[0]) + " is above the key length " +
                    std::to_string(length));
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
            problem(entry + ": entry " + dump(v) + " is not above the parent's previous entry " +
                    dump(low));
        }
        if (!high.empty() && common::compareValues(v, high) > 0) {
            problem(entry + ": entry " + dump(v) + " is above its parent entry " + dump(high));
        }
    }
    if (rightmost && !common::isEndMarker(common::entryValue(block, walk.entrySize, count - 1))) {
        problem(where + ": the last block of its level is not closed by an end marker");
    }
}

void Verifier::walkChildren(TreeWalk& walk, const Bytes& block, unsigned count,
                            const std::string& where, int depth, const Bytes& low, bool rightmost) {
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

void Verifier::collectLeaf(TreeWalk& walk, const Bytes& block, unsigned count, uint32_t address,
                           const std::string& where, int depth) {
    if (walk.leafDepth < 0) {
        walk.leafDepth = depth;
    } else if (walk.leafDepth != depth) {
        problem(where + ": leaf at depth " + std::to_string(depth) + " while other leaves are at " +
                std::to_string(walk.leafDepth));
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

}  // namespace mdnio::keyed::verify
