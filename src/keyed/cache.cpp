// The block cache of a classic file: a few buffers of one block each, chosen least recently
// used, written back at the end of a header-lock period (or kept, dirty, inside a transaction).
#include <cstdio>
#include <cstring>

#include "keyed/keyed.h"
#include "keyed/password.h"

namespace mdnio::keyed {

namespace {

void stamp(KeyedShared* s, CacheBuffer& b) {
    if (++s->ageClock == 0) {
        // The clock turned over: renumber so that the order of the buffers survives.
        for (CacheBuffer& c : s->cache) c.age = c.address ? 1 : 0;
        s->ageClock = 2;
    }
    b.age = s->ageClock;
}

CacheBuffer* findBuffer(KeyedShared* s, uint32_t address) {
    for (CacheBuffer& b : s->cache)
        if (b.address == address) return &b;
    return nullptr;
}

CacheBuffer& addBuffer(KeyedFile* f) {
    KeyedShared* s = f->sh();
    CacheBuffer b;
    b.data.reset(new (std::nothrow) uint8_t[s->B]());
    if (!b.data) raiseError(f, MDK_E_MEMORY);
    s->cache.push_back(std::move(b));
    return s->cache.back();
}

// A buffer for a block that is not cached.  Inside a transaction dirty buffers are never
// reused: a new one is added instead.
CacheBuffer& chooseBuffer(KeyedFile* f) {
    KeyedShared* s = f->sh();
    bool tx = f->env->inTransaction;
    CacheBuffer* oldest = nullptr;
    size_t clean = 0;
    for (CacheBuffer& b : s->cache) {
        if (!b.dirty) clean++;
        if (tx && b.dirty) continue;
        if (!oldest || b.age < oldest->age) oldest = &b;
    }
    if (tx && (clean < s->baseBuffers || !oldest)) return addBuffer(f);
    if (!oldest) return addBuffer(f);
    if (oldest->dirty) writeBlock(f, *oldest);
    oldest->address = 0;
    return *oldest;
}

std::string segmentName(const char* base, uint32_t segment) {
    char suffix[8];
    std::snprintf(suffix, sizeof suffix, ".%03u", segment);
    return std::string(base) + suffix;
}

// Opens segment file `segment`, following link files ("lnk]") to the real one.
int openSegment(KeyedFile* f, uint32_t segment) {
    KeyedShared* s = f->sh();
    std::string path = segmentName(s->fileName, segment);
    auto access = s->writableFd ? platform::Access::ReadWrite : platform::Access::ReadOnly;
    for (int hop = 0; hop < 8; hop++) {
        platform::OpenResult why;
        int fd = platform::openFile(path.c_str(), access, false, &why);
        if (fd < 0) raiseError(f, MDK_E_SEGMENT);
        uint8_t head[68];
        platform::IoResult r = platform::readAt(fd, head, sizeof head, 0);
        if (r.status == platform::IoStatus::Ok && r.count >= 8 && std::memcmp(head + 4, "seg]", 4) == 0)
            return fd;
        platform::closeFile(fd);
        if (r.status != platform::IoStatus::Ok || r.count < 68 || std::memcmp(head + 4, "lnk]", 4) != 0)
            raiseError(f, MDK_E_SEGMENT);
        // The link holds the real path, blank-padded.
        size_t n = 60;
        while (n > 0 && (head[8 + n - 1] == ' ' || head[8 + n - 1] == 0)) n--;
        if (n == 0) raiseError(f, MDK_E_SEGMENT);
        path.assign(reinterpret_cast<const char*>(head + 8), n);
    }
    raiseError(f, MDK_E_SEGMENT);  // links chained too far: a loop
}

}  // namespace

int segmentFdFor(KeyedFile* f, uint32_t address, int64_t* offset) {
    KeyedShared* s = f->sh();
    if (!s->blockMode) {
        *offset = address;
        return s->fd;
    }
    uint32_t segment = segmentOf(address, s->B);
    *offset = offsetInSegment(address, s->B);
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

uint8_t* cachedBlock(KeyedShared* s, uint32_t address) {
    CacheBuffer* b = findBuffer(s, address);
    return b ? b->data.get() : nullptr;
}

void dropCache(KeyedShared* s) {
    for (CacheBuffer& b : s->cache) {
        b.address = 0;
        b.age = 0;
        b.dirty = false;
    }
    s->insertBlock = 0;
}

uint8_t* fetchBlock(KeyedFile* f, uint32_t address, int type) {
    KeyedShared* s = f->sh();
    if (address == 0) raiseError(f, MDK_E_BADADDR);
    if (CacheBuffer* hit = findBuffer(s, address)) {
        stamp(s, *hit);
        return hit->data.get();
    }
    int64_t offset = 0;
    int fd = segmentFdFor(f, address, &offset);
    CacheBuffer& b = chooseBuffer(f);
    uint8_t* data = b.data.get();
    uint32_t eof = get32(s->header, kOffEof);
    if (address == eof && type == kTypeFree) {
        // A new block at the end of the file: claim its room on disk now (as zeros, which is
        // what the file holds past its end anyway), so that a full disk fails here and not when
        // the block is written back.
        std::memset(data, 0, s->B);
        platform::IoResult w = platform::writeAt(fd, data, s->B, offset);
        if (w.status != platform::IoStatus::Ok || w.count != s->B) raiseError(f, MDK_E_FULL);
        put32(data, 1, address);
        b.address = address;
        b.dirty = true;
        stamp(s, b);
        put32(s->header, kOffEof, eof + s->B);
        headerChanged(f);
        return data;
    }
    bool raw = s->flags & kRawMode;
    platform::IoResult r = platform::readAt(fd, data, s->B, offset);
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
    b.address = address;
    b.dirty = false;
    stamp(s, b);
    return data;
}

void markDirty(KeyedFile* f, uint8_t* block) {
    f->sh()->callChanged = true;
    for (CacheBuffer& b : f->sh()->cache) {
        if (b.data.get() == block) {
            b.dirty = true;
            return;
        }
    }
    raiseError(f, MDK_E_INTERNAL);
}

void writeBlock(KeyedFile* f, CacheBuffer& b) {
    KeyedShared* s = f->sh();
    uint8_t* data = b.data.get();
    if (get32(data, 1) != b.address) raiseError(f, MDK_E_WRITE);
    headerChanged(f);
    int64_t offset = 0;
    int fd = segmentFdFor(f, b.address, &offset);
    const uint8_t* out = data;
    std::unique_ptr<uint8_t[]> sealed;
    if (s->cipher && (data[0] == kTypeKey || data[0] == kTypeData)) {
        sealed.reset(new (std::nothrow) uint8_t[s->B]);
        if (!sealed) raiseError(f, MDK_E_MEMORY);
        std::memcpy(sealed.get(), data, s->B);
        encipherBlock(s, sealed.get());
        out = sealed.get();
    }
    platform::IoResult w = platform::writeAt(fd, out, s->B, offset);
    if (w.status != platform::IoStatus::Ok || w.count != s->B) raiseError(f, MDK_E_WRITE);
    b.dirty = false;
}

void writeDirtyBlocks(KeyedFile* f) {
    for (CacheBuffer& b : f->sh()->cache)
        if (b.dirty) writeBlock(f, b);
}

}  // namespace mdnio::keyed
