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
    const size_t at = static_cast<size_t>(&b - s.cache.data());
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
    giveMemory(f, s, s.cache.back());
    return s.cache.back();
}

}  // namespace

void setUpCache(BlockStore& s, size_t buffers) {
    s.cache.resize(buffers);
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
    hint = static_cast<size_t>(b - s.cache.data());
    return b->data.get();
}

// A buffer for a block that is not cached, found by a clock hand sweeping the buffers: an empty
// one is taken at once, a used one loses its mark and is taken on the next pass unless it was used
// again meanwhile.  This approximates least-recently-used without keeping an order on every hit.
// Inside a transaction dirty buffers are never reused, and a new buffer is added whenever fewer
// clean buffers than a quarter of the cache's base size are left: a transaction that dirtied
// thousands of blocks neither sweeps over them for every block it reads nor throws out the
// blocks it reads at once.
CacheBuffer& chooseBuffer(MdkFile* f, BlockStore& s) {
    const bool tx = f->env->inTransaction;
    const size_t n = s.cache.size();
    if (tx && n - std::min(n, s.dirtyCount) < s.baseBuffers / 4) return addBuffer(f, s);
    const size_t limit = 2 * n;
    CacheBuffer* chosen = nullptr;
    for (size_t step = 0; step < limit && !chosen; step++) {
        if (s.clockHand >= n) s.clockHand = 0;
        CacheBuffer& b = s.cache[s.clockHand++];
        if (tx && b.dirty) continue;
        if (b.address && b.referenced) {
            b.referenced = false;
            continue;
        }
        chosen = &b;
    }
    if (!chosen) return addBuffer(f, s);
    if (chosen->dirty) s.hooks->writeBack(f, *chosen, true);
    if (chosen->address) s.cacheIndex.erase(chosen->address);
    chosen->address = 0;
    giveMemory(f, s, *chosen);
    return *chosen;
}

CacheBuffer& streamBufferFor(MdkFile* f, BlockStore& s) {
    CacheBuffer* b = nullptr;
    if (s.streamBuffer < s.cache.size() && !s.cache[s.streamBuffer].dirty &&
        s.cache[s.streamBuffer].data) {
        b = &s.cache[s.streamBuffer];
        if (b->address) s.cacheIndex.erase(b->address);
        b->address = 0;
    } else {
        b = &chooseBuffer(f, s);
    }
    s.streamBuffer = static_cast<size_t>(b - s.cache.data());
    return *b;
}

void settle(BlockStore& s, CacheBuffer& b, uint32_t address) {
    b.address = address;
    b.referenced = true;
    s.cacheIndex.put(address, static_cast<uint32_t>(&b - s.cache.data()));
}

void setDirty(BlockStore& s, CacheBuffer& b, uint64_t parts) {
    b.changed |= parts;
    if (b.dirty) return;
    s.dirtyBuffers.push_back(static_cast<uint32_t>(&b - s.cache.data()));
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

void writeDirtyBuffers(MdkFile* f, BlockStore& s, bool bulk) {
    // Only the buffers made dirty since the last write-back need a look, not the whole cache.
    if (!bulk) {
        while (!s.dirtyBuffers.empty()) {
            uint32_t at = s.dirtyBuffers.back();
            if (at < s.cache.size() && s.cache[at].dirty) s.hooks->writeBack(f, s.cache[at], false);
            s.dirtyBuffers.pop_back();
        }
        return;
    }
    std::vector<uint32_t> order;
    order.reserve(s.dirtyBuffers.size());
    for (uint32_t at : s.dirtyBuffers)
        if (at < s.cache.size() && s.cache[at].dirty) order.push_back(at);
    // A buffer made dirty again after a write-back is listed twice; no two buffers hold one
    // address, so in address order its entries stand together.
    std::sort(order.begin(), order.end(),
              [&](uint32_t a, uint32_t b) { return s.cache[a].address < s.cache[b].address; });
    order.erase(std::unique(order.begin(), order.end()), order.end());
    RunWriter writer(f, s, MDK_E_WRITE, true);
    for (uint32_t at : order) {
        CacheBuffer& b = s.cache[at];
        s.hooks->checkBulk(f, b);
        const Place place = s.hooks->place(f, b.address);
        writer.add(place.fd, place.offset, b.data.get(), s.blockSize);
    }
    writer.flush();
    for (uint32_t at : order)
        setClean(s, s.cache[at]);
    s.dirtyBuffers.clear();
}

}  // namespace mdnio::store
