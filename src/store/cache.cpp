// The block cache: buffers of one block each, found through an address index, chosen by a clock
// hand that approximates least recently used, and written back at the end of a period (or kept,
// dirty, inside a transaction) with only the parts that changed.
#include <algorithm>
#include <bit>

#include "common/blockparts.h"
#include "store/store.h"

namespace mdnio::store {

namespace {

// Buffer `index`, when it holds `address`.  A block is in one buffer at most, so a buffer
// holding its address is the one.
CacheBuffer* bufferHolding(BlockStore& s, size_t index, uint32_t address) {
    if (index >= s.cache.size()) return nullptr;
    CacheBuffer& b = s.cache[index];
    return b.address == address && address != 0 ? &b : nullptr;
}

constexpr size_t kSlabBytes = size_t{2} << 20;

// The first buffers a file fills have memory of their own: a small file costs little.  Past
// them, buffers live in slabs of huge pages where the system offers them, so that the blocks a
// busy file keeps cached are reached through a few translation entries instead of one per
// block (on a virtual machine a translation miss costs a walk of two sets of page tables).
constexpr size_t kOwnBuffers = 512;

// The part of slab-held memory for buffer `index` of `slabs`, null when the system refused it.
uint8_t* slabPart(std::vector<platform::LargeMemory>& slabs, size_t index, size_t blockSize) {
    const size_t perSlab = kSlabBytes / blockSize;
    const size_t slab = index / perSlab;
    while (slabs.size() <= slab)
        slabs.emplace_back(kSlabBytes);
    uint8_t* base = slabs[slab].data();
    return base ? base + index % perSlab * blockSize : nullptr;
}

void giveMemory(MdkFile* f, BlockStore& s, CacheBuffer& b) {
    if (b.data) return;
    const size_t at = b.index;
    if (s.blockSize <= kSlabBytes) {
        // A buffer a transaction added comes from the slabs given back when it ends; a base
        // buffer past the first ones from slabs kept while the file is open.  Slabs come
        // zero-filled.
        uint8_t* part = nullptr;
        if (at >= s.baseBuffers)
            part = slabPart(s.slabs, at - s.baseBuffers, s.blockSize);
        else if (at >= kOwnBuffers)
            part = slabPart(s.baseSlabs, at - kOwnBuffers, s.blockSize);
        if (part) {
            b.data = {part, BufferFree{false}};
            return;
        }
    }
    b.data = {new (std::nothrow) uint8_t[s.blockSize](), BufferFree{true}};
    if (!b.data) raiseError(f, MDK_E_MEMORY);
}

CacheBuffer& addBuffer(MdkFile* f, BlockStore& s) {
    s.cache.emplace_back();
    CacheBuffer& b = s.cache.back();
    b.index = static_cast<uint32_t>(s.cache.size() - 1);
    giveMemory(f, s, b);
    return b;
}

// A buffer in use (pinned, or being filled) is never taken for another block.
bool inUse(const CacheBuffer& b) {
    return b.pins != 0 || b.filling;
}

}  // namespace

void setUpCache(BlockStore& s, size_t buffers) {
    s.cache.resize(buffers);
    for (size_t i = 0; i < buffers; i++)
        s.cache[i].index = static_cast<uint32_t>(i);
    s.cacheIndex.reserve(buffers);
    s.baseBuffers = buffers;
}

CacheBuffer* findBuffer(BlockStore& s, uint32_t address) {
    // The buffer a scan in physical order is reading: every record of that block asks for it
    // again, and trying it first spares those asks the index.
    if (CacheBuffer* b = bufferHolding(s, s.streamBuffer, address)) return b;
    const uint32_t* at = s.cacheIndex.find(address);
    if (!at) return nullptr;
    if (*at < s.cache.size() && s.cache[*at].address == address) return &s.cache[*at];
    s.cacheIndex.erase(address);  // the buffer was emptied or reused since
    return nullptr;
}

uint8_t* cachedBlock(BlockStore& s, uint32_t address) {
    CacheBuffer* b = findBuffer(s, address);
    return b ? b->data.get() : nullptr;
}

uint8_t* cachedBlock(BlockStore& s, uint32_t address, size_t& hint) {
    if (CacheBuffer* b = bufferHolding(s, hint, address)) return b->data.get();
    CacheBuffer* b = findBuffer(s, address);
    if (!b) return nullptr;
    hint = b->index;
    return b->data.get();
}

// A buffer for a block that is not cached, found by a clock hand sweeping the buffers: an empty
// one is taken at once, a used one loses its mark and is taken on the next pass unless it was used
// again meanwhile.  This approximates least-recently-used without keeping an order on every hit.
// Inside a transaction (or in a store that never writes early) dirty buffers are never reused,
// and a new buffer is added whenever fewer clean buffers than a quarter of the cache's base size
// are left: a transaction that dirtied thousands of blocks neither sweeps over them for every
// block it reads nor throws out the blocks it reads at once.  Buffers in use and dirty metadata
// are never taken.
CacheBuffer& chooseBuffer(MdkFile* f, BlockStore& s) {
    const bool keepDirty = f->env->inTransaction || !s.writeEarly;
    const size_t n = s.cache.size();
    if (keepDirty && n - std::min(n, s.dirtyCount) < s.baseBuffers / 4) return addBuffer(f, s);
    const size_t limit = 2 * n;
    CacheBuffer* chosen = nullptr;
    for (size_t step = 0; step < limit && !chosen; step++) {
        if (s.clockHand >= n) s.clockHand = 0;
        CacheBuffer& b = s.cache[s.clockHand++];
        if (inUse(b) || (b.dirty && (keepDirty || b.metadata))) continue;
        if (b.address && b.referenced) {
            b.referenced = false;
            continue;
        }
        chosen = &b;
    }
    if (!chosen) return addBuffer(f, s);
    if (chosen->dirty) {
        Pin pin(*chosen);  // the write-back may fetch (and choose) other buffers
        s.hooks->writeBack(f, *chosen, true);
    }
    if (chosen->address) s.cacheIndex.erase(chosen->address);
    chosen->address = 0;
    chosen->metadata = false;
    giveMemory(f, s, *chosen);
    return *chosen;
}

CacheBuffer& streamBufferFor(MdkFile* f, BlockStore& s) {
    CacheBuffer* b = nullptr;
    if (s.streamBuffer < s.cache.size() && !s.cache[s.streamBuffer].dirty &&
        !inUse(s.cache[s.streamBuffer]) && s.cache[s.streamBuffer].data) {
        b = &s.cache[s.streamBuffer];
        if (b->address) s.cacheIndex.erase(b->address);
        b->address = 0;
    } else {
        b = &chooseBuffer(f, s);
    }
    s.streamBuffer = b->index;
    return *b;
}

void settle(BlockStore& s, CacheBuffer& b, uint32_t address) {
    b.address = address;
    b.referenced = true;
    b.filling = false;
    s.cacheIndex.put(address, b.index);
}

void renameBuffer(BlockStore& s, CacheBuffer& b, uint32_t address) {
    if (b.address == address) return;
    if (CacheBuffer* other = findBuffer(s, address); other && other != &b) {
        setClean(s, *other);
        other->address = 0;
        other->referenced = false;
    }
    if (b.address) s.cacheIndex.erase(b.address);
    settle(s, b, address);
}

void setDirty(BlockStore& s, CacheBuffer& b, uint64_t parts) {
    b.changed |= parts;
    if (b.dirty) return;
    s.dirtyBuffers.push_back(b.index);
    s.dirtyCount++;
    b.dirty = true;
}

void setClean(BlockStore& s, CacheBuffer& b) {
    if (!b.dirty) return;
    b.dirty = false;
    b.changed = 0;
    s.dirtyCount--;
}

CacheBuffer* bufferOf(BlockStore& s, const uint8_t* block, uint32_t address) {
    CacheBuffer* b = findBuffer(s, address);
    if (b && b->data.get() == block) return b;
    b = nullptr;
    for (CacheBuffer& c : s.cache)
        if (c.data.get() == block) b = &c;
    return b;
}

void dropBuffers(BlockStore& s) {
    for (CacheBuffer& b : s.cache) {
        b.address = 0;
        b.referenced = false;
        b.dirty = false;
        b.metadata = false;
        b.changed = 0;
    }
    s.cacheIndex.clear();
    s.dirtyBuffers.clear();
    s.dirtyCount = 0;
}

void dropDirtyBuffers(BlockStore& s) {
    for (CacheBuffer& b : s.cache) {
        if (b.dirty) {
            setClean(s, b);
            b.address = 0;
            b.referenced = false;
            b.metadata = false;
        }
    }
}

namespace {
constexpr size_t kTrimBytes = size_t{16} << 20;
}  // namespace

// A large transaction holds every block it changed until its end, and the allocator would keep
// that memory for the rest of the process's life.
void shrinkCache(BlockStore& s) {
    size_t added = s.cache.size() > s.baseBuffers ? s.cache.size() - s.baseBuffers : 0;
    if (added == 0) return;
    for (size_t i = s.baseBuffers; i < s.cache.size(); i++)
        setClean(s, s.cache[i]);
    s.cache.resize(s.baseBuffers);
    s.slabs.clear();  // after the buffers that used them
    // The index held the added buffers too: build it anew at its base size.
    s.cacheIndex = {};
    s.cacheIndex.reserve(s.baseBuffers);
    for (size_t i = 0; i < s.cache.size(); i++)
        if (s.cache[i].address) s.cacheIndex.put(s.cache[i].address, static_cast<uint32_t>(i));
    if (added * s.blockSize >= kTrimBytes) platform::releaseFreedMemory();
}

int blockWriteRuns(const BlockStore& s, const CacheBuffer& b, bool baseFile, bool whole,
                   ByteRun (&runs)[kMaxWriteRuns]) {
    const uint32_t size = s.blockSize;
    if (b.changed == common::kAllParts || whole) {
        runs[0] = {0, size};
        return 1;
    }
    uint64_t parts = b.changed;
    if (parts == 0) return 0;
    const unsigned shift = common::partShift(size);
    auto run = [&](unsigned first, unsigned end) {
        return ByteRun{std::min<uint32_t>(first << shift, size),
                       std::min<uint32_t>(end << shift, size)};
    };
    if (!baseFile) {
        // A segment file is written with a system call: one call from the first changed part
        // to the last.
        runs[0] = run(static_cast<unsigned>(std::countr_zero(parts)),
                      64u - static_cast<unsigned>(std::countl_zero(parts)));
        return 1;
    }
    // Through the mapping, each run of changed parts on its own.
    int n = 0;
    while (parts) {
        const unsigned first = static_cast<unsigned>(std::countr_zero(parts));
        const unsigned end = first + static_cast<unsigned>(std::countr_one(parts >> first));
        runs[n++] = run(first, end);
        parts = end >= 64 ? 0 : parts & ~((uint64_t{1} << end) - 1);
    }
    return n;
}

void writeBuffer(MdkFile* f, BlockStore& s, CacheBuffer& b, const uint8_t* bytes, Place place,
                 bool whole) {
    ByteRun runs[kMaxWriteRuns];
    const int n = blockWriteRuns(s, b, place.fd == s.baseFd(), whole, runs);
    for (int i = 0; i < n; i++) {
        const size_t from = runs[i].from, to = runs[i].to;
        platform::IoResult w = writeBytes(s, place.fd, bytes + from, to - from,
                                          place.offset + static_cast<int64_t>(from));
        if (w.status != platform::IoStatus::Ok || w.count != static_cast<int64_t>(to - from))
            raiseError(f, MDK_E_WRITE);
    }
    setClean(s, b);
}

namespace {

// The positions of the first `listed` dirty buffers of the list that a write-back writes, each
// once; the metadata ones are left to the engine.
std::vector<uint32_t> dirtyToWrite(const BlockStore& s, size_t listed) {
    std::vector<uint32_t> order;
    order.reserve(listed);
    for (size_t i = 0; i < listed; i++) {
        const uint32_t at = s.dirtyBuffers[i];
        if (at < s.cache.size() && s.cache[at].dirty && !s.cache[at].metadata) order.push_back(at);
    }
    // A buffer made dirty again after a write-back is listed twice.
    std::sort(order.begin(), order.end());
    order.erase(std::unique(order.begin(), order.end()), order.end());
    return order;
}

// After a write-back of the first `listed` entries: the list keeps the metadata still dirty
// and what was listed meanwhile.  (A write-back that fails leaves the list as it was.)
void forgetWritten(BlockStore& s, size_t listed) {
    std::vector<uint32_t> kept;
    for (size_t i = 0; i < s.dirtyBuffers.size(); i++) {
        const uint32_t at = s.dirtyBuffers[i];
        if (at < s.cache.size() && s.cache[at].dirty && (i >= listed || s.cache[at].metadata))
            kept.push_back(at);
    }
    std::sort(kept.begin(), kept.end());
    kept.erase(std::unique(kept.begin(), kept.end()), kept.end());
    s.dirtyBuffers.swap(kept);
}

bool nonMetadataListed(const BlockStore& s) {
    for (uint32_t at : s.dirtyBuffers)
        if (at < s.cache.size() && s.cache[at].dirty && !s.cache[at].metadata) return true;
    return false;
}

void relocateAll(MdkFile* f, BlockStore& s, const std::vector<uint32_t>& order) {
    if (!s.hooks->relocate) return;
    for (uint32_t at : order) {
        CacheBuffer& b = s.cache[at];
        Pin pin(b);
        s.hooks->relocate(f, b);
    }
}

void writeOneByOne(MdkFile* f, BlockStore& s, const std::vector<uint32_t>& order) {
    for (uint32_t at : order) {
        CacheBuffer& b = s.cache[at];
        if (!b.dirty) continue;
        Pin pin(b);
        if (s.hooks->relocate) s.hooks->relocate(f, b);
        s.hooks->writeBack(f, b, false);
    }
}

// Whole blocks in the order of their places (logical order is not disk order once blocks
// move), neighbours in one write; clean only once every write succeeded.
void writeInBulk(MdkFile* f, BlockStore& s, const std::vector<uint32_t>& order) {
    relocateAll(f, s, order);
    struct Placed {
        uint32_t at;
        Place place;
    };
    std::vector<Placed> placed;
    placed.reserve(order.size());
    for (uint32_t at : order) {
        CacheBuffer& b = s.cache[at];
        s.hooks->checkBulk(f, b);
        placed.push_back({at, s.hooks->place(f, b.address)});
    }
    std::sort(placed.begin(), placed.end(), [](const Placed& a, const Placed& b) {
        return a.place.fd != b.place.fd ? a.place.fd < b.place.fd : a.place.offset < b.place.offset;
    });
    RunWriter writer(f, s, MDK_E_WRITE, true);
    for (const Placed& p : placed)
        writer.add(p.place.fd, p.place.offset, s.cache[p.at].data.get(), s.blockSize);
    writer.flush();
    for (const Placed& p : placed)
        setClean(s, s.cache[p.at]);
}

}  // namespace

void writeDirtyBuffers(MdkFile* f, BlockStore& s, bool bulk) {
    // Only the buffers made dirty since the last write-back need a look, not the whole cache.
    // A relocation may make other buffers dirty (an engine's map blocks): those are looked at
    // again, until only metadata is left.
    do {
        const size_t listed = s.dirtyBuffers.size();
        const std::vector<uint32_t> order = dirtyToWrite(s, listed);
        if (bulk)
            writeInBulk(f, s, order);
        else
            writeOneByOne(f, s, order);
        forgetWritten(s, listed);
    } while (nonMetadataListed(s));
}

void finishPeriod(MdkFile* f, BlockStore& s, bool bulk) {
    const bool sync = f->env->syncWrites != 0;
    auto settleOnDisk = [&] {
        if (sync && !platform::syncFile(s.baseFd())) raiseError(f, MDK_E_WRITE);
    };
    writeDirtyBuffers(f, s, bulk);
    if (s.hooks->commitMap) s.hooks->commitMap(f);
    settleOnDisk();
    if (s.hooks->writeHeader) s.hooks->writeHeader(f);
    settleOnDisk();
}

}  // namespace mdnio::store
