// The blocks of a classic file through the block store: where an address lies (its segment file
// and the offset there), what a block read from disk must hold, the cipher, and the journal a
// block written in place saves its before-image to first.
#include <algorithm>
#include <cstring>

#include "keyed/keyed.h"
#include "keyed/password.h"

namespace mdnio::keyed {

namespace {

// The block map of a classic file: a block lies where its address says.
store::Place placeBlock(MdkFile* f, uint32_t address) {
    store::Place p{};
    p.fd = segmentFdFor(K(f), address, &p.offset);
    return p;
}

void writeBack(MdkFile* f, CacheBuffer& b, bool early) {
    if (early) journalBlock(K(f), b);
    writeBlock(K(f), b);
}

void checkBulk(MdkFile* f, const CacheBuffer& b) {
    if (get32(b.data.get(), 1) != b.address) raiseError(f, MDK_E_WRITE);
}

}  // namespace

const store::StoreHooks kClassicStore = {
    .place = placeBlock,
    .writeBack = writeBack,
    .checkBulk = checkBulk,
};

int segmentFdFor(KeyedFile* f, uint32_t address, int64_t* offset) {
    KeyedShared* s = f->sh();
    if (!s->blockMode) {
        *offset = address;
        return s->fd;
    }
    *offset = offsetInSegment(address, s->blockSize);
    return segmentFd(f, segmentOf(address, s->blockSize));
}

int segmentFd(KeyedFile* f, uint32_t segment) {
    KeyedShared* s = f->sh();
    if (segment == 0) return s->fd;
    if (segment >= kMaxSegments || segment > s->header[kOffSegments]) raiseError(f, MDK_E_SEGMENT);
    return store::segmentFd(f, *s, segment, s->writableFd);
}

void prefetchRecord(KeyedShared* s, uint32_t address) {
    if (!s->blockMode) {
        // A slot lies where its address says: its first and last bytes at once.
        s->view.prefetch(address);
        s->view.prefetch(int64_t{address} + s->slotSize - 1);
        return;
    }
    const size_t entry = 6 + 2 * size_t{address & 0xFF};  // the record's slot entry
    if (const uint8_t* b = store::cachedBlock(*s, address & ~0xFFu)) {
        // A cached block is read from its buffer, not from the file.
        __builtin_prefetch(b);
        if (entry < s->blockSize) __builtin_prefetch(b + entry);
        return;
    }
    if (segmentOf(address, s->blockSize) != 0) return;
    int64_t block = offsetInSegment(address & ~0xFFu, s->blockSize);
    s->view.prefetch(block);  // type, address, count
    s->view.prefetch(block + static_cast<int64_t>(entry));
}

// The second stage after prefetchRecord: where the record's slot entry (by now on its way)
// says the record lies.  The entry is only a hint here; reading it from the file goes through
// the guarded view like any read.
void prefetchRecordData(KeyedShared* s, uint32_t address) {
    if (!s->blockMode) return;
    const size_t entry = 6 + 2 * size_t{address & 0xFF};
    if (const uint8_t* b = store::cachedBlock(*s, address & ~0xFFu)) {
        if (entry + 2 > s->blockSize) return;
        const size_t at = 6 + size_t{common::getBe16(b + entry)};
        const size_t end = std::min<size_t>(s->blockSize, at + static_cast<size_t>(s->slotSize));
        for (size_t line = at; line < end; line += 64)
            __builtin_prefetch(b + line);
        return;
    }
    if (s->cipher || segmentOf(address, s->blockSize) != 0) return;
    int64_t block = offsetInSegment(address & ~0xFFu, s->blockSize);
    uint8_t bytes[2];
    if (!s->view.read(bytes, 2, block + static_cast<int64_t>(entry))) return;
    const int64_t at = block + 6 + common::getBe16(bytes);
    const int64_t end = std::min<int64_t>(block + s->blockSize, at + s->slotSize);
    for (int64_t line = at; line < end; line += 64)
        s->view.prefetch(line);
}

void dropCache(KeyedShared* s) {
    store::dropBuffers(*s);
    s->insertBlock = 0;
    // The file changed under us, and a writer stopped half-way may have been undone since: the
    // base file then got cut back to the end of file the header names.  Past that the view
    // measures the file again before it writes.
    uint32_t eof = get32(s->header, kOffEof);
    if (!s->blockMode)
        s->view.shrank(eof);
    else if (segmentOf(eof, s->blockSize) == 0)
        s->view.shrank(offsetInSegment(eof, s->blockSize));
}

namespace {

// Reads the block at `address` into buffer b (emptied by the caller) and makes b hold it.
uint8_t* readInto(KeyedFile* f, CacheBuffer& b, uint32_t address, int type, int fd,
                  int64_t offset) {
    KeyedShared* s = f->sh();
    uint8_t* data = b.data.get();
    uint32_t eof = get32(s->header, kOffEof);
    bool raw = s->flags & kRawMode;
    platform::IoResult r = store::readBytes(*s, fd, data, s->blockSize, offset);
    if (r.status != platform::IoStatus::Ok) raiseError(f, MDK_E_KEYREAD);
    if (r.count != s->blockSize) {
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
    store::settle(*s, b, address);
    store::setClean(*s, b);
    return data;
}

}  // namespace

uint8_t* fetchBlock(KeyedFile* f, uint32_t address, int type) {
    KeyedShared* s = f->sh();
    if (address == 0) raiseError(f, MDK_E_BADADDR);
    if (CacheBuffer* hit = store::findBuffer(*s, address)) {
        hit->referenced = true;
        return hit->data.get();
    }
    int64_t offset = 0;
    int fd = segmentFdFor(f, address, &offset);
    CacheBuffer& b = store::chooseBuffer(f, *s);
    uint32_t eof = get32(s->header, kOffEof);
    if (address == eof && type == kTypeFree) {
        // A new block at the end of the file: claim its room on disk now (as zeros, which is
        // what the file holds past its end anyway), so that a full disk fails here and not when
        // the block is written back.
        uint8_t* data = b.data.get();
        std::memset(data, 0, s->blockSize);
        platform::IoResult w = store::writeBytes(*s, fd, data, s->blockSize, offset);
        if (w.status != platform::IoStatus::Ok || w.count != s->blockSize)
            raiseError(f, MDK_E_FULL);
        put32(data, 1, address);
        store::settle(*s, b, address);
        store::setDirty(*s, b, common::kAllParts);
        put32(s->header, kOffEof, eof + s->blockSize);
        headerChanged(f);
        return data;
    }
    return readInto(f, b, address, type, fd, offset);
}

uint8_t* fetchStreamBlock(KeyedFile* f, uint32_t address) {
    KeyedShared* s = f->sh();
    if (address == 0) raiseError(f, MDK_E_BADADDR);
    if (CacheBuffer* hit = store::findBuffer(*s, address)) return hit->data.get();
    int64_t offset = 0;
    int fd = segmentFdFor(f, address, &offset);
    CacheBuffer& b = store::streamBufferFor(f, *s);
    // The hardware does not carry a sequential read over into the next page by itself.
    if (fd == s->fd)
        for (int64_t line = 0; line < s->blockSize; line += 64)
            s->view.prefetch(offset + s->blockSize + line);
    uint8_t* data = readInto(f, b, address, kAnyType, fd, offset);
    b.referenced = false;  // a block a scan passed over is the first to go
    return data;
}

void markDirty(KeyedFile* f, uint8_t* block, uint64_t parts) {
    KeyedShared* s = f->sh();
    s->callChanged = true;
    // A block carries its own address: that finds its buffer at once.  Blocks whose address
    // bytes are being rewritten (merges exchange them) are looked for among all buffers.
    CacheBuffer* b = store::bufferOf(*s, block, get32(block, 1));
    if (!b) raiseError(f, MDK_E_INTERNAL);
    store::setDirty(*s, *b, parts);
}

void markDirtyBytes(KeyedFile* f, uint8_t* block, size_t from, size_t to) {
    common::BlockParts parts(f->sh()->blockSize);
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
    std::vector<uint8_t> disk(s->blockSize);
    platform::IoResult r = store::readBytes(*s, fd, disk.data(), s->blockSize, offset);
    if (r.status != platform::IoStatus::Ok || r.count != s->blockSize)
        raiseError(f, MDK_E_INTERNAL);
    if (common::firstUnmarkedDifference(disk, {b.data.get(), s->blockSize}, parts) !=
        common::kNoDifference)
        raiseError(f, MDK_E_INTERNAL);
#endif
}

}  // namespace

bool sealedWhole(const KeyedShared* s, const CacheBuffer& b) {
    const uint8_t* block = b.data.get();
    return s->cipher && (block[0] == kTypeKey || block[0] == kTypeData);
}

void writeBlock(KeyedFile* f, CacheBuffer& b) {
    KeyedShared* s = f->sh();
    uint8_t* data = b.data.get();
    if (get32(data, 1) != b.address) raiseError(f, MDK_E_WRITE);
    headerChanged(f);
    store::Place place{};
    place.fd = segmentFdFor(f, b.address, &place.offset);
    const bool whole = sealedWhole(s, b);
    const uint8_t* out = data;
    std::unique_ptr<uint8_t[]> sealed;
    if (whole) {
        sealed.reset(new (std::nothrow) uint8_t[s->blockSize]);
        if (!sealed) raiseError(f, MDK_E_MEMORY);
        std::memcpy(sealed.get(), data, s->blockSize);
        encipherBlock(s, sealed.get());
        out = sealed.get();
    } else if (b.changed != common::kAllParts) {
        checkUnchangedParts(f, b, place.fd, place.offset, b.changed);
    }
    store::writeBuffer(f, *s, b, out, place, whole);
}

bool bulkWriteBack(const KeyedShared* s) {
    return !s->cipher && s->dirtyBuffers.size() >= kBulkWriteFrom;
}

void writeDirtyBlocks(KeyedFile* f) {
    KeyedShared* s = f->sh();
    // Many blocks (the commit of a large transaction) go in runs, the header first.
    const bool bulk = bulkWriteBack(s);
    if (bulk) headerChanged(f);
    store::writeDirtyBuffers(f, *s, bulk);
}

}  // namespace mdnio::keyed
