// The key trees: search, stepping through the entries, inserting with splits and deleting with
// merges.  Every entry of an inner block holds the highest key of its child subtree (or, after
// removes, something above it); the last entry of each level is an end marker.
#include <array>
#include <cstring>

#include "common/keyblock.h"
#include "common/keyvalue.h"
#include "keyed/keyed.h"

namespace mdnio::keyed {

namespace {

using Value = std::array<uint8_t, 256>;

std::span<uint8_t> blockSpan(const KeyedShared* s, uint8_t* b) {
    return {b, s->blockSize};
}

uint8_t* keyBlock(KeyedFile* f, int k, uint32_t address) {
    KeyedShared* s = f->sh();
    uint8_t* b = fetchBlock(f, address, kTypeKey);
    unsigned n = b[5];
    if (n == 0 || !common::entryCountValid(blockSpan(s, b), entrySize(s, k)))
        raiseError(f, MDK_E_KEYADDR);
    return b;
}

bool isInner(const KeyedShared* s, int k, const uint8_t* b) {
    return common::entryPointer({b, s->blockSize}, entrySize(s, k), 0) > 0;
}

// From `block`, down the leftmost (first) or rightmost (last) entries to a leaf, extending
// the path.
void descend(KeyedFile* f, int k, uint32_t block, bool first) {
    KeyedShared* s = f->sh();
    size_t es = entrySize(s, k);
    for (;;) {
        if (f->depth >= kMaxDepth) raiseError(f, MDK_E_KEYADDR);
        uint8_t* b = keyBlock(f, k, block);
        int32_t index = first ? 0 : b[5] - 1;
        f->path[f->depth++] = {block, index};
        if (!isInner(s, k, b)) return;
        block = static_cast<uint32_t>(common::entryPointer(blockSpan(s, b), es, index));
    }
}

// Moves the path to the next (dir 1) or previous (dir -1) leaf.  False past either end.
bool stepLeaf(KeyedFile* f, int k, int dir) {
    KeyedShared* s = f->sh();
    size_t es = entrySize(s, k);
    for (int level = f->depth - 2; level >= 0; level--) {
        uint8_t* b = keyBlock(f, k, f->path[level].block);
        int32_t index = f->path[level].index + dir;
        if (index < 0 || index >= b[5]) continue;
        f->path[level].index = index;
        f->depth = level + 1;
        uint32_t child = static_cast<uint32_t>(common::entryPointer(blockSpan(s, b), es, index));
        descend(f, k, child, dir > 0);
        return true;
    }
    return false;
}

void copyValue(std::span<uint8_t> to, std::span<const uint8_t> from) {
    std::memcpy(to.data(), from.data(), from.size());
}

// An entry's value as it leaves its block for the handle's key values: whoever reads a value
// takes as many bytes as its length byte says, so a length beyond the key's (a damaged entry)
// raises 12 here, one compare.
std::span<const uint8_t> checkedValue(KeyedFile* f, std::span<const uint8_t> value) {
    if (!common::valueLengthValid(value)) raiseError(f, MDK_E_KEYSIZE);
    return value;
}

}  // namespace

size_t valueSize(const KeyedShared* s, int k) {
    return s->layout.keys[k].valueSize();
}
size_t entrySize(const KeyedShared* s, int k) {
    return s->layout.keys[k].entrySize();
}
unsigned capacity(const KeyedShared* s, int k) {
    return common::keyBlockCapacity(s->blockSize, entrySize(s, k));
}

uint32_t rootOf(const KeyedShared* s, int k) {
    return get32(s->header, kOffRoots + 4 * k);
}

void setRoot(KeyedFile* f, int k, uint32_t block) {
    put32(f->sh()->header, kOffRoots + 4 * k, block);
    headerChanged(f);
}

int32_t searchKey(KeyedFile* f, int k, int mode) {
    KeyedShared* s = f->sh();
    const common::KeyDesc& key = s->layout.keys[k];
    size_t vs = key.valueSize();
    size_t es = key.entrySize();
    std::span<const uint8_t> value(f->search.data(), vs);
    f->depth = 0;
    f->curRecord = 0;
    std::memset(f->found.data(), 0, vs);
    uint32_t block = rootOf(s, k);
    if (block == 0) {
        f->leafBlock = 0;
        f->leafIndex = 0;
        return MDK_E_KEY;
    }
    bool mayClimb = key.suffix != common::KeySuffix::None &&
                    (!(s->header[kOffFlagsA] & kCounterCheck) || (mode & kIgnoreSuffix));
    for (;;) {
        if (f->depth >= kMaxDepth) return MDK_E_KEY;
        uint8_t* b = keyBlock(f, k, block);
        unsigned n = b[5];
        common::KeySearch hit = common::searchKeyBlock(blockSpan(s, b), es, value);
        bool inner = isInner(s, k, b);
        if (hit.index >= n) {
            // Nothing here is as high as the value.  Below an inner level, or for keys whose
            // entries carry a suffix, the value belongs to the next subtree.
            bool climb = inner || (mayClimb && !(mode & kForEdit));
            f->path[f->depth++] = {block, static_cast<int32_t>(n)};
            if (climb) {
                int level = f->depth - 2;
                for (; level >= 0; level--) {
                    uint8_t* p = keyBlock(f, k, f->path[level].block);
                    if (f->path[level].index + 1 < p[5]) break;
                }
                if (level >= 0) {
                    f->depth = level + 1;
                    uint8_t* p = keyBlock(f, k, f->path[level].block);
                    int32_t next = ++f->path[level].index;
                    block = static_cast<uint32_t>(common::entryPointer(blockSpan(s, p), es, next));
                    continue;
                }
            }
            f->leafBlock = block;
            f->leafIndex = static_cast<int32_t>(n);
            return MDK_E_KEY;
        }
        f->path[f->depth++] = {block, static_cast<int32_t>(hit.index)};
        int32_t pointer = common::entryPointer(blockSpan(s, b), es, hit.index);
        if (inner) {
            block = static_cast<uint32_t>(pointer);
            continue;
        }
        f->leafBlock = block;
        f->leafIndex = static_cast<int32_t>(hit.index);
        f->curRecord = static_cast<uint32_t>(-pointer);
        // A seek is usually followed by a read of the record it found: its block head and slot
        // entry are asked for now, while the caller comes back for it.
        if (hit.equal && s->recordSize > 0 && pointer < 0) prefetchRecord(s, f->curRecord);
        auto entry = checkedValue(f, common::entryValue(blockSpan(s, b), es, hit.index));
        if (!common::isEndMarker(entry)) copyValue({f->found.data(), vs}, entry);
        return hit.equal ? 0 : MDK_E_KEY;
    }
}

namespace {

// Steps n entries (n = 0 confirms the position) within the leaf of the current position without
// searching the tree, when that leaf is cached and still holds the last key at the position's
// index (with the current record as its pointer): a search for the last key would end on that
// very entry, since a key's values are unique.  The cache is as current as a search would see
// it: an optimistic read that ran on a stale cache fails its validation and runs again under the
// header lock.  Answers false, changing nothing, when the shortcut does not apply; the caller
// then searches.
bool stepWithinLeaf(KeyedFile* f, int k, int n) {
    KeyedShared* s = f->sh();
    if (f->depth == 0 || f->lastKey[0] == 0xFF) return false;
    PathStep& leaf = f->path[f->depth - 1];
    if (leaf.block != f->leafBlock || leaf.index != f->leafIndex) return false;
    const uint8_t* b = store::cachedBlock(*s, leaf.block, f->leafBuffer);
    if (!b || b[0] != kTypeKey) return false;
    size_t vs = valueSize(s, k);
    size_t es = entrySize(s, k);
    int32_t count = b[5];
    int32_t to = leaf.index + n;
    // (A count of entries that do not fit the block is a damaged block: let the search say so.)
    if (leaf.index >= count || to < 0 || to >= count ||
        !common::entryCountValid({b, s->blockSize}, es))
        return false;
    const uint8_t* here = b + 6 + static_cast<size_t>(leaf.index) * es;
    if (std::memcmp(here + 4, f->lastKey.data(), vs) != 0) return false;
    int32_t pointer = static_cast<int32_t>(get32(here, 0));
    if (pointer > 0 || (s->recordSize > 0 && static_cast<uint32_t>(-pointer) != f->curRecord))
        return false;
    const uint8_t* entry = b + 6 + static_cast<size_t>(to) * es;
    std::span<const uint8_t> value = checkedValue(f, {entry + 4, vs});
    if (common::isEndMarker(value)) return false;  // the end: let the search report it
    leaf.index = to;
    f->leafIndex = to;
    f->curRecord = static_cast<uint32_t>(-static_cast<int32_t>(get32(entry, 0)));
    copyValue({f->lastKey.data(), vs}, value);
    // A scan goes on in the same direction: the records after this one are likely read next.
    // Their bytes are asked for in two stages, since reaching a record waits on memory twice
    // (its block's slot entry gives where the record lies): four entries ahead the block head
    // and slot entry, one entry ahead (its slot entry asked for three steps ago) the record.
    constexpr int32_t kSlotsAhead = 4;
    const int32_t dir = n > 0 ? 1 : -1;
    if (n != 0 && s->recordSize > 0) {
        auto pointerAt = [&](int32_t index) -> int32_t {
            if (index < 0 || index >= count) return 0;
            return static_cast<int32_t>(get32(b + 6 + static_cast<size_t>(index) * es, 0));
        };
        if (int32_t p = pointerAt(to + dir); p < 0)
            prefetchRecordData(s, static_cast<uint32_t>(-p));
        if (int32_t p = pointerAt(to + kSlotsAhead * dir); p < 0)
            prefetchRecord(s, static_cast<uint32_t>(-p));
    }
    return true;
}

}  // namespace

void moveBy(KeyedFile* f, int n) {
    KeyedShared* s = f->sh();
    int k = f->curKey;
    if (stepWithinLeaf(f, k, n)) return;
    size_t vs = valueSize(s, k);
    size_t es = entrySize(s, k);
    std::memcpy(f->search.data(), f->lastKey.data(), vs);
    bool beforeAll = f->search[0] == 0xFF;
    if (beforeAll) std::memset(f->search.data(), 0, vs);
    int32_t rc = searchKey(f, k, kExact);
    if (rc != 0 && n >= 1) n--;
    if (rc == 0 && beforeAll) n--;
    if (f->depth == 0) raiseError(f, MDK_E_EOF);  // empty tree
    int32_t index = f->path[f->depth - 1].index + n;
    for (;;) {
        uint8_t* b = keyBlock(f, k, f->path[f->depth - 1].block);
        int32_t count = b[5];
        if (index >= 0 && index < count) break;
        if (index >= count) {
            index -= count;
            if (!stepLeaf(f, k, 1)) raiseError(f, MDK_E_EOF);
        } else {
            if (!stepLeaf(f, k, -1)) raiseError(f, MDK_E_EOF);
            index += keyBlock(f, k, f->path[f->depth - 1].block)[5];
        }
    }
    PathStep& leaf = f->path[f->depth - 1];
    leaf.index = index;
    uint8_t* b = keyBlock(f, k, leaf.block);
    auto value = checkedValue(f, common::entryValue(blockSpan(s, b), es, index));
    if (common::isEndMarker(value)) raiseError(f, MDK_E_EOF);
    f->leafBlock = leaf.block;
    f->leafIndex = index;
    f->curRecord = static_cast<uint32_t>(-common::entryPointer(blockSpan(s, b), es, index));
    copyValue({f->lastKey.data(), vs}, value);
}

std::span<const uint8_t> entryValueAt(KeyedFile* f, int k, uint32_t address, unsigned index) {
    KeyedShared* s = f->sh();
    uint8_t* b = keyBlock(f, k, address);
    if (index >= b[5]) raiseError(f, MDK_E_KEY);
    return checkedValue(f, common::entryValue(blockSpan(s, b), entrySize(s, k), index));
}

const uint8_t* entryAtPosition(KeyedFile* f, int k) {
    if (f->depth == 0) return nullptr;
    for (int guard = 0; guard < 0x100000; guard++) {
        PathStep& leaf = f->path[f->depth - 1];
        uint8_t* b = keyBlock(f, k, leaf.block);
        if (leaf.index < b[5])
            return b + 6 + static_cast<size_t>(leaf.index) * entrySize(f->sh(), k);
        if (!stepLeaf(f, k, 1)) return nullptr;
    }
    return nullptr;
}

void nextPosition(KeyedFile* f) {
    if (f->depth > 0) f->path[f->depth - 1].index++;
}

bool findEntryOfRecord(KeyedFile* f, int k, uint32_t record) {
    KeyedShared* s = f->sh();
    size_t vs = valueSize(s, k);
    size_t n = f->search[0];  // the value's own bytes, without the suffix
    if (n + 4 >= vs) return false;
    searchKey(f, k, kForEdit);
    for (const uint8_t* e; (e = entryAtPosition(f, k)); nextPosition(f)) {
        std::span<const uint8_t> value(e + 4, vs);
        if (common::isEndMarker(value) ||
            std::memcmp(value.data() + 1, f->search.data() + 1, n) != 0)
            return false;
        if (common::matchesIgnoringSuffix(value, {f->search.data(), vs}, n) &&
            static_cast<int32_t>(get32(e, 0)) == -static_cast<int32_t>(record)) {
            copyValue({f->found.data(), vs}, value);
            f->leafBlock = f->path[f->depth - 1].block;
            f->leafIndex = f->path[f->depth - 1].index;
            f->curRecord = record;
            return true;
        }
    }
    return false;
}

namespace {

void insertAt(KeyedFile* f, int k, int level, int32_t index, std::span<const uint8_t> value,
              int32_t pointer) {
    KeyedShared* s = f->sh();
    size_t es = entrySize(s, k);
    unsigned m = capacity(s, k);
    if (level < 0) {
        // A new root over the old one (or over nothing): an end marker pointing at it.
        uint32_t oldRoot = rootOf(s, k);
        uint8_t* root = allocateBlock(f, kTypeKey);
        Value end;
        end.fill(0xFF);
        common::insertEntry(blockSpan(s, root), es, 0, static_cast<int32_t>(oldRoot),
                            {end.data(), es - 4});
        common::insertEntry(blockSpan(s, root), es, 0, pointer, value);
        markDirty(f, root);
        setRoot(f, k, get32(root, 1));
        return;
    }
    uint32_t address = f->path[level].block;
    uint8_t* b = fetchBlock(f, address, kTypeKey);
    if (b[5] < m) {
        common::BlockParts parts(s->blockSize);
        if (!common::insertEntry(blockSpan(s, b), es, index, pointer, value, &parts))
            raiseError(f, MDK_E_KEYADDR);
        markDirty(f, b, parts.bits());
        return;
    }
    common::SplitPlan plan = common::planSplit(m, index);
    uint8_t* fresh = allocateBlock(f, kTypeKey);
    uint32_t freshAddress = get32(fresh, 1);
    b = fetchBlock(f, address, kTypeKey);
    if (!common::splitEntries(blockSpan(s, b), blockSpan(s, fresh), es, plan.moved))
        raiseError(f, MDK_E_KEYADDR);
    markDirty(f, b);
    markDirty(f, fresh);
    Value separator;
    copyValue({separator.data(), es - 4},
              common::entryValue(blockSpan(s, fresh), es, plan.moved - 1));
    int32_t parentIndex = level > 0 ? f->path[level - 1].index : 0;
    insertAt(f, k, level - 1, parentIndex, {separator.data(), es - 4},
             static_cast<int32_t>(freshAddress));
    uint32_t target = plan.intoNewBlock ? freshAddress : address;
    b = fetchBlock(f, target, kTypeKey);
    if (!common::insertEntry(blockSpan(s, b), es, plan.insertIndex, pointer, value))
        raiseError(f, MDK_E_KEYADDR);
    markDirty(f, b);
}

// Deletes entry `index` of the block at path level `level`, then merges an underfull block.
void deleteAt(KeyedFile* f, int k, int level, int32_t index) {
    KeyedShared* s = f->sh();
    size_t es = entrySize(s, k);
    unsigned m = capacity(s, k);
    uint32_t address = f->path[level].block;
    uint8_t* b = fetchBlock(f, address, kTypeKey);
    common::BlockParts parts(s->blockSize);
    if (!common::deleteEntry(blockSpan(s, b), es, static_cast<unsigned>(index), &parts))
        raiseError(f, MDK_E_KEYADDR);
    markDirty(f, b, parts.bits());
    unsigned count = b[5];
    if (count >= m / 4) return;
    if (level == 0) {
        if (count == 0) raiseError(f, MDK_E_NOEOF);
        if (count > 1) return;
        if (!common::isEndMarker(common::entryValue(blockSpan(s, b), es, 0)))
            raiseError(f, MDK_E_NOEOF);
        // The tree loses a level (or, at a leaf root, becomes empty).
        setRoot(f, k, static_cast<uint32_t>(common::entryPointer(blockSpan(s, b), es, 0)));
        freeBlock(f, fetchBlock(f, address, kTypeKey));
        return;
    }
    uint32_t parent = f->path[level - 1].block;
    int32_t at = f->path[level - 1].index;
    uint8_t* p = fetchBlock(f, parent, kTypeKey);
    unsigned siblings = p[5];
    if (at + 1 < static_cast<int32_t>(siblings)) {
        uint32_t right = static_cast<uint32_t>(common::entryPointer(blockSpan(s, p), es, at + 1));
        uint8_t* r = fetchBlock(f, right, kTypeKey);
        if (r[5] + count <= m) {
            // This block's entries go in front of the right sibling's, which keeps its place.
            b = fetchBlock(f, address, kTypeKey);
            std::vector<uint8_t> mine(b + 6, b + 6 + count * es);
            r = fetchBlock(f, right, kTypeKey);
            unsigned rc = r[5];
            std::memmove(r + 6 + count * es, r + 6, rc * es);
            std::memcpy(r + 6, mine.data(), mine.size());
            r[5] = static_cast<uint8_t>(rc + count);
            markDirty(f, r);
            freeBlock(f, fetchBlock(f, address, kTypeKey));
            deleteAt(f, k, level - 1, at);
            return;
        }
    }
    if (at > 0) {
        uint32_t left = static_cast<uint32_t>(common::entryPointer(blockSpan(s, p), es, at - 1));
        uint8_t* l = fetchBlock(f, left, kTypeKey);
        if (l[5] + count > m) return;
        std::vector<uint8_t> theirs(l + 6, l + 6 + l[5] * es);
        unsigned lc = l[5];
        b = fetchBlock(f, address, kTypeKey);
        std::memmove(b + 6 + lc * es, b + 6, count * es);
        std::memcpy(b + 6, theirs.data(), theirs.size());
        b[5] = static_cast<uint8_t>(lc + count);
        markDirty(f, b);
        freeBlock(f, fetchBlock(f, left, kTypeKey));
        deleteAt(f, k, level - 1, at - 1);
        return;
    }
    if (count == 0) {
        freeBlock(f, fetchBlock(f, address, kTypeKey));
        deleteAt(f, k, level - 1, at);
    }
}

}  // namespace

void insertEntry(KeyedFile* f, int k, std::span<const uint8_t> value, int32_t pointer) {
    if (f->depth == 0) {
        insertAt(f, k, -1, 0, value, pointer);
        return;
    }
    insertAt(f, k, f->depth - 1, f->path[f->depth - 1].index, value, pointer);
}

void deleteFoundEntry(KeyedFile* f, int k) {
    if (f->depth == 0) raiseError(f, MDK_E_KEY);
    deleteAt(f, k, f->depth - 1, f->path[f->depth - 1].index);
}

}  // namespace mdnio::keyed
