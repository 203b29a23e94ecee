// The block cache of a classic file: a few buffers of one block each, chosen least recently
// used, written back at the end of a header-lock period (or kept, dirty, inside a transaction).
#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>

#include "keyed/keyed.h"
#include "keyed/password.h"

namespace mdnio::keyed {

namespace {

constexpr size_t kMappedWriteLimit = 64 << 10;

// Buffer `index`, when it holds `address`.  A block is in one buffer at most, so a buffer
// holding its address is the one.
CacheBuffer* bufferHolding(KeyedShared* s, size_t index, uint32_t address) {
    if (index >= s->cache.size()) return nullptr;
    CacheBuffer& b = s->cache[index];
    return b.address == address && address != 0 ? &b : nullptr;
}

// The buffer a scan in physical order is reading, when it holds `address`: every record of
// that block asks for it again, and trying it first spares those asks the index.
CacheBuffer* streamBufferFor(KeyedShared* s, uint32_t address) {
    return bufferHolding(s, s->streamBuffer, address);
}

CacheBuffer* findBuffer(KeyedShared* s, uint32_t address) {
    if (CacheBuffer* b = streamBufferFor(s, address)) return b;
    const uint32_t* at = s->cacheIndex.find(address);
    if (!at) return nullptr;
    if (*at < s->cache.size() && s->cache[*at].address == address) return &s->cache[*at];
    s->cacheIndex.erase(address);  // the buffer was emptied or reused since
    return nullptr;
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

void giveMemory(KeyedFile* f, CacheBuffer& b) {
    if (b.data) return;
    KeyedShared* s = f->sh();
    const size_t at = static_cast<size_t>(&b - s->cache.data());
    if (s->B <= kSlabBytes) {
        // A buffer a transaction added comes from the slabs given back when it ends; a base
        // buffer past the first ones from slabs kept while the file is open.  Slabs come
        // zero-filled.
        uint8_t* part = nullptr;
        if (at >= s->baseBuffers)
            part = slabPart(s->slabs, at - s->baseBuffers, s->B);
        else if (at >= kOwnBuffers)
            part = slabPart(s->baseSlabs, at - kOwnBuffers, s->B);
        if (part) {
            b.data = {part, BufferFree{false}};
            return;
        }
    }
    b.data = {new (std::nothrow) uint8_t[s->B](), BufferFree{true}};
    if (!b.data) raiseError(f, MDK_E_MEMORY);
}

CacheBuffer& addBuffer(KeyedFile* f) {
    KeyedShared* s = f->sh();
    s->cache.emplace_back();
    giveMemory(f, s->cache.back());
    return s->cache.back();
}

// A buffer for a block that is not cached, found by a clock hand sweeping the buffers: an empty
// one is taken at once, a used one loses its mark and is taken on the next pass unless it was used
// again meanwhile.  This approximates least-recently-used without keeping an order on every hit.
// Inside a transaction dirty buffers are never reused, and a new buffer is added whenever fewer
// clean buffers than a quarter of the cache's base size are left: a transaction that dirtied
// thousands of blocks neither sweeps over them for every block it reads nor throws out the
// blocks it reads at once.
CacheBuffer& chooseBuffer(KeyedFile* f) {
    KeyedShared* s = f->sh();
    bool tx = f->env->inTransaction;
    size_t n = s->cache.size();
    if (tx && n - std::min(n, s->dirtyCount) < s->baseBuffers / 4) return addBuffer(f);
    size_t limit = 2 * n;
    CacheBuffer* chosen = nullptr;
    for (size_t step = 0; step < limit && !chosen; step++) {
        if (s->clockHand >= n) s->clockHand = 0;
        CacheBuffer& b = s->cache[s->clockHand++];
        if (tx && b.dirty) continue;
        if (b.address && b.referenced) {
            b.referenced = false;
            continue;
        }
        chosen = &b;
    }
    if (!chosen) return addBuffer(f);
    if (chosen->dirty) {
        journalBlock(f, *chosen);
        writeBlock(f, *chosen);
    }
    if (chosen->address) s->cacheIndex.erase(chosen->address);
    chosen->address = 0;
    giveMemory(f, *chosen);
    return *chosen;
}

// Makes buffer b hold `address`, findable and marked used.
void settle(KeyedShared* s, CacheBuffer& b, uint32_t address) {
    b.address = address;
    b.referenced = true;
    s->cacheIndex.put(address, static_cast<uint32_t>(&b - s->cache.data()));
}

void setDirty(KeyedShared* s, CacheBuffer& b, uint64_t parts) {
    b.changed |= parts;
    if (b.dirty) return;
    s->dirtyBuffers.push_back(static_cast<uint32_t>(&b - s->cache.data()));
    s->dirtyCount++;
    b.dirty = true;
}

// Opens segment file `segment`, or raises 28.
int openSegment(KeyedFile* f, uint32_t segment) {
    KeyedShared* s = f->sh();
    int fd = openSegmentFile(s->fileName, segment, s->writableFd);
    if (fd < 0) raiseError(f, MDK_E_SEGMENT);
    return fd;
}

}  // namespace

int openSegmentFile(const char* base, uint32_t segment, bool writable) {
    std::string path = segmentPath(base, segment);
    auto access = writable ? platform::Access::ReadWrite : platform::Access::ReadOnly;
    // A link ("lnk]") names the real file; links may chain, but not without end.
    for (int hop = 0; hop < 8; hop++) {
        platform::OpenResult why;
        int fd = platform::openFile(path.c_str(), access, false, &why);
        if (fd < 0) return -1;
        uint8_t head[68];
        platform::IoResult r = platform::readAt(fd, head, sizeof head, 0);
        if (r.status == platform::IoStatus::Ok && r.count >= 8 &&
            std::memcmp(head + 4, "seg]", 4) == 0)
            return fd;
        platform::closeFile(fd);
        if (r.status != platform::IoStatus::Ok || r.count < 68 ||
            std::memcmp(head + 4, "lnk]", 4) != 0)
            return -1;
        // The link holds the real path, blank-padded.
        size_t n = 60;
        while (n > 0 && (head[8 + n - 1] == ' ' || head[8 + n - 1] == 0))
            n--;
        if (n == 0) return -1;
        path.assign(reinterpret_cast<const char*>(head + 8), n);
    }
    return -1;
}

bool removeLeftoverSegment(const char* base, uint32_t segment) {
    const std::string path = segmentPath(base, segment);
    const int fd = platform::openPlain(path.c_str());
    if (fd < 0) return false;
    uint8_t head[8] = {};
    platform::IoResult r = platform::readAt(fd, head, sizeof head, 0);
    platform::closeFile(fd);
    // A file this library began (its head not written yet, or a segment's head); a link, or
    // anything else, is someone's.
    if (r.status != platform::IoStatus::Ok ||
        (r.count == static_cast<int64_t>(sizeof head) && std::memcmp(head + 4, "seg]", 4) != 0))
        return false;
    return platform::removeFile(path.c_str());
}

void setClean(KeyedShared* s, CacheBuffer& b) {
    if (!b.dirty) return;
    b.dirty = false;
    b.changed = 0;
    s->dirtyCount--;
}

std::string segmentPath(const char* base, uint32_t segment) {
    // Room for any 32-bit number, although segments stop at kMaxSegments.
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%03u", segment);
    return std::string(base) + suffix;
}

int segmentFdFor(KeyedFile* f, uint32_t address, int64_t* offset) {
    KeyedShared* s = f->sh();
    if (!s->blockMode) {
        *offset = address;
        return s->fd;
    }
    *offset = offsetInSegment(address, s->B);
    return segmentFd(f, segmentOf(address, s->B));
}

int segmentFd(KeyedFile* f, uint32_t segment) {
    KeyedShared* s = f->sh();
    if (segment == 0) return s->fd;
    if (segment >= kMaxSegments || segment > s->header[kOffSegments]) raiseError(f, MDK_E_SEGMENT);
    if (s->segmentFd[segment] <= 0) s->segmentFd[segment] = openSegment(f, segment);
    return s->segmentFd[segment];
}

void closeSegments(KeyedShared* s) {
    for (int i = 1; i < kMaxSegments; i++) {
        if (s->segmentFd[i] > 0) platform::closeFile(s->segmentFd[i]);
        s->segmentFd[i] = 0;
    }
}

platform::IoResult readBytes(KeyedShared* s, int fd, void* dst, size_t n, int64_t offset) {
    if (fd == s->fd && s->view.read(dst, n, offset)) {
        platform::IoResult r;
        r.count = static_cast<int64_t>(n);
        return r;
    }
    return platform::readAt(fd, dst, n, offset);
}

platform::IoResult writeBytes(KeyedShared* s, int fd, const void* src, size_t n, int64_t offset,
                              bool throughView) {
    // A long write costs one system call for many pages; through the mapping it would only add
    // those pages to the memory the process holds.
    if (throughView && fd == s->fd && n < kMappedWriteLimit && s->view.write(src, n, offset)) {
        platform::IoResult r;
        r.count = static_cast<int64_t>(n);
        return r;
    }
    platform::IoResult r = platform::writeAt(fd, src, n, offset);
    if (r.status == platform::IoStatus::Ok && r.count > 0) {
        const int64_t end = offset + r.count;
        if (fd == s->fd) s->view.grew(end);
        for (int i = 0; i < kMaxSegments; i++) {
            if (s->segmentFd[i] == fd) {
                s->knownLength[i] = std::max(s->knownLength[i], end);
                break;
            }
        }
    }
    return r;
}

void prefetchRecord(KeyedShared* s, uint32_t address) {
    if (!s->blockMode) {
        // A slot lies where its address says: its first and last bytes at once.
        s->view.prefetch(address);
        s->view.prefetch(int64_t{address} + s->S - 1);
        return;
    }
    const size_t entry = 6 + 2 * size_t{address & 0xFF};  // the record's slot entry
    if (const uint8_t* b = cachedBlock(s, address & ~0xFFu)) {
        // A cached block is read from its buffer, not from the file.
        __builtin_prefetch(b);
        if (entry < s->B) __builtin_prefetch(b + entry);
        return;
    }
    if (segmentOf(address, s->B) != 0) return;
    int64_t block = offsetInSegment(address & ~0xFFu, s->B);
    s->view.prefetch(block);  // type, address, count
    s->view.prefetch(block + static_cast<int64_t>(entry));
}

// The second stage after prefetchRecord: where the record's slot entry (by now on its way)
// says the record lies.  The entry is only a hint here; reading it from the file goes through
// the guarded view like any read.
void prefetchRecordData(KeyedShared* s, uint32_t address) {
    if (!s->blockMode) return;
    const size_t entry = 6 + 2 * size_t{address & 0xFF};
    if (const uint8_t* b = cachedBlock(s, address & ~0xFFu)) {
        if (entry + 2 > s->B) return;
        const size_t at = 6 + size_t{common::getBe16(b + entry)};
        const size_t end = std::min<size_t>(s->B, at + static_cast<size_t>(s->S));
        for (size_t line = at; line < end; line += 64)
            __builtin_prefetch(b + line);
        return;
    }
    if (s->cipher || segmentOf(address, s->B) != 0) return;
    int64_t block = offsetInSegment(address & ~0xFFu, s->B);
    uint8_t bytes[2];
    if (!s->view.read(bytes, 2, block + static_cast<int64_t>(entry))) return;
    const int64_t at = block + 6 + common::getBe16(bytes);
    const int64_t end = std::min<int64_t>(block + s->B, at + s->S);
    for (int64_t line = at; line < end; line += 64)
        s->view.prefetch(line);
}

uint8_t* cachedBlock(KeyedShared* s, uint32_t address) {
    CacheBuffer* b = findBuffer(s, address);
    return b ? b->data.get() : nullptr;
}

uint8_t* cachedBlock(KeyedShared* s, uint32_t address, size_t& hint) {
    if (CacheBuffer* b = bufferHolding(s, hint, address)) return b->data.get();
    CacheBuffer* b = findBuffer(s, address);
    if (!b) return nullptr;
    hint = static_cast<size_t>(b - s->cache.data());
    return b->data.get();
}

void dropCache(KeyedShared* s) {
    for (CacheBuffer& b : s->cache) {
        b.address = 0;
        b.referenced = false;
        b.dirty = false;
        b.changed = 0;
    }
    s->cacheIndex.clear();
    s->dirtyBuffers.clear();
    s->dirtyCount = 0;
    s->insertBlock = 0;
    // The file changed under us, and a writer stopped half-way may have been undone since: the
    // base file then got cut back to the end of file the header names.  Past that the view
    // measures the file again before it writes.
    uint32_t eof = get32(s->header, kOffEof);
    if (!s->blockMode)
        s->view.shrank(eof);
    else if (segmentOf(eof, s->B) == 0)
        s->view.shrank(offsetInSegment(eof, s->B));
}

namespace {

// Reads the block at `address` into buffer b (emptied by the caller) and makes b hold it.
uint8_t* readInto(KeyedFile* f, CacheBuffer& b, uint32_t address, int type, int fd,
                  int64_t offset) {
    KeyedShared* s = f->sh();
    uint8_t* data = b.data.get();
    uint32_t eof = get32(s->header, kOffEof);
    bool raw = s->flags & kRawMode;
    platform::IoResult r = readBytes(s, fd, data, s->B, offset);
    if (r.status != platform::IoStatus::Ok) raiseError(f, MDK_E_KEYREAD);
    if (r.count != s->B) {
        if (raw && type == kAnyType && r.count == 0) raiseError(f, MDK_E_EOF);
        raiseError(f, MDK_E_KEYREAD);
    }
    decipherBlock(s, data);
    if (get32(data, 1) != address) {
        if (raw && type == kAnyType && address >= eof) raiseError(f, MDK_E_EOF);
        raiseError(f, MDK_E_KEYADDR);
    }
    if (type != kAnyType && data[0] != type && !(type == kTypeFree && data[0] == kTypeKey)) {
        bool freeHead = !s->blockMode && data[0] == kTypeFree &&
                        get32(s->header, kOffFreeOrAllocGroup) == address;
        if (!freeHead) raiseError(f, MDK_E_KEYADDR);
    }
    settle(s, b, address);
    setClean(s, b);
    return data;
}

}  // namespace

uint8_t* fetchBlock(KeyedFile* f, uint32_t address, int type) {
    KeyedShared* s = f->sh();
    if (address == 0) raiseError(f, MDK_E_BADADDR);
    if (CacheBuffer* hit = findBuffer(s, address)) {
        hit->referenced = true;
        return hit->data.get();
    }
    int64_t offset = 0;
    int fd = segmentFdFor(f, address, &offset);
    CacheBuffer& b = chooseBuffer(f);
    uint32_t eof = get32(s->header, kOffEof);
    if (address == eof && type == kTypeFree) {
        // A new block at the end of the file: claim its room on disk now (as zeros, which is
        // what the file holds past its end anyway), so that a full disk fails here and not when
        // the block is written back.
        uint8_t* data = b.data.get();
        std::memset(data, 0, s->B);
        platform::IoResult w = writeBytes(s, fd, data, s->B, offset);
        if (w.status != platform::IoStatus::Ok || w.count != s->B) raiseError(f, MDK_E_FULL);
        put32(data, 1, address);
        settle(s, b, address);
        setDirty(s, b, common::kAllParts);
        put32(s->header, kOffEof, eof + s->B);
        headerChanged(f);
        return data;
    }
    return readInto(f, b, address, type, fd, offset);
}

uint8_t* fetchStreamBlock(KeyedFile* f, uint32_t address) {
    KeyedShared* s = f->sh();
    if (address == 0) raiseError(f, MDK_E_BADADDR);
    if (CacheBuffer* hit = findBuffer(s, address)) return hit->data.get();
    int64_t offset = 0;
    int fd = segmentFdFor(f, address, &offset);
    CacheBuffer* b = nullptr;
    if (s->streamBuffer < s->cache.size() && !s->cache[s->streamBuffer].dirty &&
        s->cache[s->streamBuffer].data) {
        b = &s->cache[s->streamBuffer];
        if (b->address) s->cacheIndex.erase(b->address);
        b->address = 0;
    } else {
        b = &chooseBuffer(f);
    }
    s->streamBuffer = static_cast<size_t>(b - s->cache.data());
    // The hardware does not carry a sequential read over into the next page by itself.
    if (fd == s->fd)
        for (int64_t line = 0; line < s->B; line += 64)
            s->view.prefetch(offset + s->B + line);
    uint8_t* data = readInto(f, *b, address, kAnyType, fd, offset);
    b->referenced = false;  // a block a scan passed over is the first to go
    return data;
}

void markDirty(KeyedFile* f, uint8_t* block, uint64_t parts) {
    KeyedShared* s = f->sh();
    s->callChanged = true;
    // A block carries its own address: that finds its buffer at once.  Blocks whose address
    // bytes are being rewritten (merges exchange them) are looked for among all buffers.
    CacheBuffer* b = findBuffer(s, get32(block, 1));
    if (!b || b->data.get() != block) {
        b = nullptr;
        for (CacheBuffer& c : s->cache)
            if (c.data.get() == block) b = &c;
    }
    if (!b) raiseError(f, MDK_E_INTERNAL);
    setDirty(s, *b, parts);
}

void markDirtyBytes(KeyedFile* f, uint8_t* block, size_t from, size_t to) {
    common::BlockParts parts(f->sh()->B);
    parts.add(from, to);
    markDirty(f, block, parts.bits());
}

namespace {

// A write-back of some parts of a block relies on the others still holding the file's bytes:
// a change marked short of what it wrote would be lost without a trace.  Debug builds check it.
void checkUnchangedParts([[maybe_unused]] KeyedFile* f, [[maybe_unused]] const CacheBuffer& b,
                         [[maybe_unused]] int fd, [[maybe_unused]] int64_t offset,
                         [[maybe_unused]] uint64_t parts) {
#ifndef NDEBUG
    KeyedShared* s = f->sh();
    std::vector<uint8_t> disk(s->B);
    platform::IoResult r = readBytes(s, fd, disk.data(), s->B, offset);
    if (r.status != platform::IoStatus::Ok || r.count != s->B) raiseError(f, MDK_E_INTERNAL);
    if (common::firstUnmarkedDifference(disk, {b.data.get(), s->B}, parts) != common::kNoDifference)
        raiseError(f, MDK_E_INTERNAL);
#endif
}

}  // namespace

namespace {
bool enciphered(const KeyedShared* s, const uint8_t* block) {
    return s->cipher && (block[0] == kTypeKey || block[0] == kTypeData);
}
}  // namespace

int blockWriteRuns(const KeyedShared* s, const CacheBuffer& b, bool baseFile,
                   ByteRun (&runs)[kMaxWriteRuns]) {
    // The cipher changes every byte of the blocks it covers.
    if (b.changed == common::kAllParts || enciphered(s, b.data.get())) {
        runs[0] = {0, s->B};
        return 1;
    }
    uint64_t parts = b.changed;
    if (parts == 0) return 0;
    const unsigned shift = common::partShift(s->B);
    auto run = [&](unsigned first, unsigned end) {
        return ByteRun{std::min<uint32_t>(first << shift, s->B),
                       std::min<uint32_t>(end << shift, s->B)};
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

void writeBlock(KeyedFile* f, CacheBuffer& b) {
    KeyedShared* s = f->sh();
    uint8_t* data = b.data.get();
    if (get32(data, 1) != b.address) raiseError(f, MDK_E_WRITE);
    headerChanged(f);
    int64_t offset = 0;
    int fd = segmentFdFor(f, b.address, &offset);
    ByteRun runs[kMaxWriteRuns];
    const int n = blockWriteRuns(s, b, fd == s->fd, runs);
    const uint8_t* out = data;
    std::unique_ptr<uint8_t[]> sealed;
    if (enciphered(s, data)) {
        sealed.reset(new (std::nothrow) uint8_t[s->B]);
        if (!sealed) raiseError(f, MDK_E_MEMORY);
        std::memcpy(sealed.get(), data, s->B);
        encipherBlock(s, sealed.get());
        out = sealed.get();
    } else if (b.changed != common::kAllParts) {
        checkUnchangedParts(f, b, fd, offset, b.changed);
    }
    for (int i = 0; i < n; i++) {
        const size_t from = runs[i].from, to = runs[i].to;
        platform::IoResult w =
            writeBytes(s, fd, out + from, to - from, offset + static_cast<int64_t>(from));
        if (w.status != platform::IoStatus::Ok || w.count != static_cast<int64_t>(to - from))
            raiseError(f, MDK_E_WRITE);
    }
    setClean(s, b);
}

RunWriter::RunWriter(KeyedFile* f, int32_t shortWriteCode, bool direct)
    : f_(f), shortWriteCode_(shortWriteCode), direct_(direct) {}

void RunWriter::add(int fd, int64_t offset, const uint8_t* bytes, size_t n) {
    if (!run_.empty() && (fd != fd_ || start_ + static_cast<int64_t>(run_.size()) != offset ||
                          run_.size() + n > kRunBytes))
        flush();
    if (run_.empty()) {
        fd_ = fd;
        start_ = offset;
    }
    run_.insert(run_.end(), bytes, bytes + n);
}

void RunWriter::flush() {
    if (run_.empty()) return;
    platform::IoResult w = writeBytes(f_->sh(), fd_, run_.data(), run_.size(), start_, !direct_);
    if (w.status == platform::IoStatus::SeekFailed) raiseError(f_, MDK_E_SEEK);
    if (w.status != platform::IoStatus::Ok) raiseError(f_, MDK_E_WRITE);
    if (w.count != static_cast<int64_t>(run_.size())) raiseError(f_, shortWriteCode_);
    run_.clear();
}

bool bulkWriteBack(const KeyedShared* s) {
    return !s->cipher && s->dirtyBuffers.size() >= kBulkWriteFrom;
}

void writeDirtyBlocks(KeyedFile* f) {
    KeyedShared* s = f->sh();
    // Only the buffers made dirty since the last write-back need a look, not the whole cache.
    if (!bulkWriteBack(s)) {
        while (!s->dirtyBuffers.empty()) {
            uint32_t at = s->dirtyBuffers.back();
            if (at < s->cache.size() && s->cache[at].dirty) writeBlock(f, s->cache[at]);
            s->dirtyBuffers.pop_back();
        }
        return;
    }
    // Many blocks (the commit of a large transaction): in address order, neighbours together in
    // one write.  They count as written only once every write succeeded.
    std::vector<uint32_t> order;
    order.reserve(s->dirtyBuffers.size());
    for (uint32_t at : s->dirtyBuffers)
        if (at < s->cache.size() && s->cache[at].dirty) order.push_back(at);
    // A buffer made dirty again after a write-back is listed twice; no two buffers hold one
    // address, so in address order its entries stand together.
    std::sort(order.begin(), order.end(),
              [&](uint32_t a, uint32_t b) { return s->cache[a].address < s->cache[b].address; });
    order.erase(std::unique(order.begin(), order.end()), order.end());
    headerChanged(f);
    RunWriter writer(f, MDK_E_WRITE, true);
    for (uint32_t at : order) {
        CacheBuffer& b = s->cache[at];
        if (get32(b.data.get(), 1) != b.address) raiseError(f, MDK_E_WRITE);
        int64_t offset = 0;
        int fd = segmentFdFor(f, b.address, &offset);
        writer.add(fd, offset, b.data.get(), s->B);
    }
    writer.flush();
    for (uint32_t at : order)
        setClean(s, s->cache[at]);
    s->dirtyBuffers.clear();
}

}  // namespace mdnio::keyed
