// Record bodies: fixed slots in slot mode, slotted data blocks in block mode, records longer than
// R chained into continuation pieces, and compressed data.
#include <algorithm>
#include <array>
#include <cstring>
#include <unordered_set>

#include "common/compress.h"
#include "common/datablock.h"
#include "keyed/keyed.h"

namespace mdnio::keyed {

namespace {

using common::getBe16;
using common::putBe16;

constexpr uint32_t kContinued = 0x8000;

// Follows a chain of continuation links safely: a link seen before means the chain loops (a
// damaged file), which must end in an error, not in endless reading.  Short chains are checked
// by looking back over them; long ones keep a set.
class ChainGuard {
  public:
    bool seen(uint32_t link) {
        if (count_ < links_.size()) {
            for (size_t i = 0; i < count_; i++)
                if (links_[i] == link) return true;
            links_[count_++] = link;
            return false;
        }
        if (set_.empty()) set_.insert(links_.begin(), links_.end());
        return !set_.insert(link).second;
    }

  private:
    std::array<uint32_t, 32> links_{};
    size_t count_ = 0;
    std::unordered_set<uint32_t> set_;
};

uint32_t slotLockLength(const KeyedShared* s) {
    return s->blockMode ? 1 : s->slotSize;
}

// ---- slot mode
// ------------------------------------------------------------------------------------

void readSlot(KeyedFile* f, uint32_t address) {
    KeyedShared* s = f->sh();
    uint8_t* buf = f->readBuf.data();
    if (const uint8_t* pending = s->pendingSlots.find(address)) {
        std::memcpy(buf, pending, s->slotSize);
    } else {
        platform::IoResult r = store::readBytes(*s, s->fd, buf, s->slotSize, address);
        if (r.status == platform::IoStatus::SeekFailed) raiseError(f, MDK_E_SEEK);
        if (r.status != platform::IoStatus::Ok) raiseError(f, MDK_E_READ);
        if (r.count < s->keyAreaSize + 3) raiseError(f, MDK_E_TRUNCATED);
        if (r.count < s->slotSize) std::memset(buf + r.count, 0, s->slotSize - r.count);
    }
    if (buf[0] == kDeletedSlot) raiseError(f, MDK_E_KEYADDR);
    int32_t d = getBe16(buf + 1 + s->keyAreaSize);
    if (d + s->keyAreaSize + 3 > s->slotSize) raiseError(f, MDK_E_RECLENGTH);
    if ((buf[0] & 0x7F) > s->keyAreaSize) raiseError(f, MDK_E_KEYSIZE);
    if (d > s->recordSize) raiseError(f, MDK_E_RECSIZE);
}

}  // namespace

void readSlotBytes(KeyedFile* f, uint32_t address, uint8_t* out, uint32_t length) {
    KeyedShared* s = f->sh();
    if (const uint8_t* pending = s->pendingSlots.find(address)) {
        std::memcpy(out, pending, std::min<size_t>(length, static_cast<size_t>(s->slotSize)));
        return;
    }
    platform::IoResult r = store::readBytes(*s, s->fd, out, length, address);
    if (r.status != platform::IoStatus::Ok) raiseError(f, MDK_E_READ);
    if (r.count < length) std::memset(out + r.count, 0, length - static_cast<size_t>(r.count));
}

void writeSlotBytes(KeyedFile* f, uint32_t address, const uint8_t* bytes, uint32_t length) {
    KeyedShared* s = f->sh();
    const size_t size = static_cast<size_t>(s->slotSize);
    uint8_t* slot = s->pendingSlots.find(address);
    if (!slot && length >= size) {
        s->pendingSlots.add(address, bytes);
    } else if (!slot) {
        // A slot written in part keeps the rest of what the file holds.
        std::vector<uint8_t> whole(size);
        readSlotBytes(f, address, whole.data(), static_cast<uint32_t>(size));
        std::memcpy(whole.data(), bytes, length);
        s->pendingSlots.add(address, whole.data());
    } else {
        std::memcpy(slot, bytes, std::min<size_t>(length, size));
    }
    s->flags |= kHeaderDirty;  // the period has something to write
    s->callChanged = true;
}

namespace {

void writeSlot(KeyedFile* f, uint32_t address, const uint8_t* bytes, uint32_t length) {
    writeSlotBytes(f, address, bytes, length);
}

uint32_t addSlot(KeyedFile* f, const uint8_t* record) {
    KeyedShared* s = f->sh();
    uint32_t head = get32(s->header, kOffDeletedOrDataGroup);
    uint32_t address;
    if (head) {
        uint8_t link[5];
        if (head < kFirstBlock || head >= get32(s->header, kOffEof)) raiseError(f, MDK_E_DELCHAIN);
        readSlotBytes(f, head, link, 5);
        int32_t next = static_cast<int32_t>(get32(link, 1));
        if (link[0] != kDeletedSlot || next > 0) raiseError(f, MDK_E_DELCHAIN);
        address = head;
        put32(s->header, kOffDeletedOrDataGroup, static_cast<uint32_t>(-next));
    } else {
        if (get32(s->header, kOffRecordCount) == 0 && get32(s->header, kOffEof) <= kFirstBlock) {
            // The first block must exist before the first slot.
            freeBlock(f, allocateBlock(f, kTypeKey));
        }
        uint64_t eof = get32(s->header, kOffEof);
        uint64_t base = kFirstBlock + s->blockSize;
        uint64_t n = eof > base ? (eof - base + s->slotSize - 1) / s->slotSize : 0;
        uint64_t at = base + n * s->slotSize;
        if (at + s->slotSize > kMaxEof) raiseError(f, MDK_E_FULL);
        address = static_cast<uint32_t>(at);
        put32(s->header, kOffEof, static_cast<uint32_t>(at + s->slotSize));
    }
    if (!f->unlockedNewRecords) lockRecordOrRaise(f, s->locks, address, s->slotSize);
    headerChanged(f);
    writeSlot(f, address, record, s->slotSize);
    return address;
}

// ---- block mode
// --------------------------------------------------------------------------------------

struct Stored {
    uint8_t* block;
    unsigned slot;
    size_t position;  // body position
    uint32_t length;  // D' without the continued bit
    bool continued;
    uint32_t size;  // bytes of the record in the block
};

// Checks the record of `address` in its data block.
Stored check(KeyedFile* f, uint8_t* block, uint32_t address) {
    KeyedShared* s = f->sh();
    unsigned slot = address & 0xFF;
    if (block[0] != kTypeData || slot > block[5]) raiseError(f, MDK_E_KEY);
    size_t position = common::slotPosition({block, s->blockSize}, slot);
    if (position == 0) raiseError(f, MDK_E_KEY);
    if (position > s->blockSize - 6 || position + s->keyAreaSize + 3 > s->blockSize - 6)
        raiseError(f, MDK_E_OFFSET);
    const uint8_t* rec = block + 6 + position;
    uint32_t stored = getBe16(rec + 1 + s->keyAreaSize);
    bool continued = stored & kContinued;
    uint32_t length = stored & 0x7FFF;
    if (length + s->keyAreaSize + 3 > static_cast<uint32_t>(s->slotSize))
        raiseError(f, MDK_E_RECSIZE);
    uint32_t size = length + s->keyAreaSize + 3 + (continued ? 4 : 0);
    if (position + size > s->blockSize - 6) raiseError(f, MDK_E_OFFSET);
    return {block, slot, position, length, continued, size};
}

// Finds and checks the record of `address` in its data block.
Stored locate(KeyedFile* f, uint32_t address) {
    if ((address & 0xFF) == 0) raiseError(f, MDK_E_KEY);
    return check(f, fetchBlock(f, address & ~0xFFu, kAnyType), address);
}

// What copySparse asks of the view: the block's parts copied into `image`, in the order check()
// looks at them, stopping where a check is going to fail.  Runs under the view's guard, so it
// only copies and compares; check() raises afterwards.
struct SparseParts {
    uint8_t* image;
    unsigned slot;
    size_t keyArea;  // K
};

void copySparseParts(const uint8_t* block, size_t B, void* context) {
    const auto& c = *static_cast<const SparseParts*>(context);
    uint8_t* image = c.image;
    std::memcpy(image, block, 6);
    if (image[0] != kTypeData || c.slot > image[5]) return;
    const size_t entry = 6 + 2 * size_t{c.slot};  // slot entries follow the free-byte count
    if (entry + 2 > B) return;
    std::memcpy(image + entry, block + entry, 2);
    const size_t position = getBe16(image + entry);
    const size_t head = 3 + c.keyArea;
    if (position == 0 || position + head > B - 6) return;
    std::memcpy(image + 6 + position, block + 6 + position, head);
    const uint32_t stored = getBe16(image + 6 + position + head - 2);
    const size_t rest = (stored & 0x7FFF) + ((stored & kContinued) ? 4 : 0);
    if (position + head + rest > B - 6) return;
    std::memcpy(image + 6 + position + head, block + 6 + position + head, rest);
}

// Copies into f->sparse the parts of the data block holding `address` that check() and
// readPiece look at, straight from the file's view: the block's type, address and count, the
// record's slot entry, the record.  A record read this way costs a few small copies under one
// guard instead of bringing a whole block into the cache.  False when the block must be fetched
// whole instead: it is cached (perhaps changed), enciphered, in a segment file, read in
// physical order (whose end-of-file rules fetchBlock keeps), or the view cannot serve it.
bool copySparse(KeyedFile* f, uint32_t address) {
    KeyedShared* s = f->sh();
    uint32_t blockAddress = address & ~0xFFu;
    if (s->cipher || (s->flags & kRawMode) || !s->view.isOpen() ||
        f->sparse.size() != s->blockSize || segmentOf(blockAddress, s->blockSize) != 0 ||
        store::cachedBlock(*s, blockAddress))
        return false;
    SparseParts parts{f->sparse.data(), address & 0xFF, static_cast<size_t>(s->keyAreaSize)};
    if (!s->view.readWith(offsetInSegment(blockAddress, s->blockSize), s->blockSize,
                          copySparseParts, &parts))
        return false;
    if (get32(parts.image, 1) != blockAddress) raiseError(f, MDK_E_KEYADDR);  // as fetchBlock does
    return true;
}

// Reads the piece at `address` into `buf` (S bytes); answers its continuation link.
uint32_t readPiece(KeyedFile* f, uint32_t address, uint8_t* buf) {
    KeyedShared* s = f->sh();
    if ((address & 0xFF) == 0) raiseError(f, MDK_E_KEY);
    Stored st = copySparse(f, address) ? check(f, f->sparse.data(), address) : locate(f, address);
    const uint8_t* rec = st.block + 6 + st.position;
    if ((rec[0] & 0x7F) > s->keyAreaSize) raiseError(f, MDK_E_KEYSIZE);
    std::memcpy(buf, rec, 1 + s->keyAreaSize);
    if (!s->compressed) {
        if (static_cast<int32_t>(st.length) > s->recordSize) raiseError(f, MDK_E_RECSIZE);
        putBe16(buf + 1 + s->keyAreaSize, static_cast<uint16_t>(st.length));
        std::memcpy(buf + 3 + s->keyAreaSize, rec + 3 + s->keyAreaSize, st.length);
    } else {
        long n = common::decompressRecord(
            {rec + 3 + s->keyAreaSize, st.length},
            {buf + 3 + s->keyAreaSize, static_cast<size_t>(s->recordSize)});
        if (n < 0) raiseError(f, MDK_E_DECOMPRESS);  // overflowing R is as bad as a bad code
        putBe16(buf + 1 + s->keyAreaSize, static_cast<uint16_t>(n));
    }
    return st.continued ? get32(rec, 3 + s->keyAreaSize + static_cast<int>(st.length)) : 0;
}

// Lays out a piece in f->packBuf: key area length byte (with the piece mark), key area, stored
// length, data (compressed when the file compresses), link.  Answers its size.
uint32_t encodePiece(KeyedFile* f, const uint8_t* keyArea, uint8_t keyLength,
                     std::span<const uint8_t> data, uint32_t link) {
    KeyedShared* s = f->sh();
    uint8_t* out = f->packBuf.data();
    out[0] = keyLength;
    std::memcpy(out + 1, keyArea, s->keyAreaSize);
    uint32_t length = static_cast<uint32_t>(data.size());
    if (s->compressed) {
        long n = common::compressRecord(
            data, {out + 3 + s->keyAreaSize,
                   static_cast<size_t>(s->slotSize - 3 - s->keyAreaSize - (link ? 4 : 0))});
        if (n < 0) raiseError(f, MDK_E_RECSIZE);
        length = static_cast<uint32_t>(n);
    } else if (!data.empty()) {
        std::memcpy(out + 3 + s->keyAreaSize, data.data(), length);
    }
    putBe16(out + 1 + s->keyAreaSize, static_cast<uint16_t>(length | (link ? kContinued : 0)));
    if (link) put32(out, 3 + s->keyAreaSize + static_cast<int>(length), link);
    return length + s->keyAreaSize + 3 + (link ? 4 : 0);
}

uint8_t* mapByteOf(KeyedFile* f, uint32_t blockAddress, uint8_t** mapOut) {
    KeyedShared* s = f->sh();
    uint32_t segment = segmentOf(blockAddress, s->blockSize);
    int64_t n = (offsetInSegment(blockAddress, s->blockSize) - kFirstBlock) / s->blockSize;
    int64_t mapIndex = n / s->mapSpan * s->mapSpan;
    uint32_t map = addressIn(segment, kFirstBlock + mapIndex * s->blockSize);
    *mapOut = fetchBlock(f, map, kTypeMap);
    return *mapOut + 6 + n % s->mapSpan;
}

// Keeps the map byte and the insert block in step with the block's free space.
void settleDataBlock(KeyedFile* f, uint32_t blockAddress) {
    KeyedShared* s = f->sh();
    uint8_t* block = fetchBlock(f, blockAddress, kTypeData);
    uint32_t free = common::freeBytes({block, s->blockSize});
    bool full = free < s->fillThreshold || block[5] == 255;
    uint8_t* map = nullptr;
    uint8_t* byte = mapByteOf(f, blockAddress, &map);
    uint8_t want = full ? kMapDataFull : kTypeData;
    if (*byte != want) {
        *byte = want;
        markDirtyBytes(f, map, static_cast<size_t>(byte - map),
                       static_cast<size_t>(byte - map) + 1);
    }
    if (full) {
        if (s->insertBlock == blockAddress) s->insertBlock = 0;
    } else {
        s->insertBlock = blockAddress;
    }
}

bool hasRoom(const KeyedShared* s, const uint8_t* block, uint32_t need) {
    if (block[0] != kTypeData || block[5] >= 255) return false;
    uint32_t free = common::freeBytes({block, s->blockSize});
    return free >= need + 2;
}

// A data block with room for a record of `need` bytes: the current insert block, one found
// through the allocation maps, or a new one.
uint32_t blockWithRoom(KeyedFile* f, uint32_t need) {
    KeyedShared* s = f->sh();
    if (s->insertBlock) {
        uint8_t* block = fetchBlock(f, s->insertBlock, kAnyType);
        if (block[0] == kTypeData && common::freeBytes({block, s->blockSize}) >= s->fillThreshold &&
            hasRoom(s, block, need))
            return s->insertBlock;
    }
    uint32_t hint = get32(s->header, kOffDeletedOrDataGroup);
    uint32_t group = hint ? hint : kFirstBlock;
    int rejected = 0;
    bool examined = false;
    while (rejected < 8) {
        uint32_t eof = get32(s->header, kOffEof);
        bool lastSegment = segmentOf(group, s->blockSize) == segmentOf(eof, s->blockSize);
        if (lastSegment &&
            offsetInSegment(group, s->blockSize) >= offsetInSegment(eof, s->blockSize))
            break;
        if (offsetInSegment(group, s->blockSize) >= s->maxSegmentSize) {
            if (lastSegment) break;
            group = addressIn(segmentOf(group, s->blockSize) + 1, kFirstBlock);
            continue;
        }
        uint8_t* map = fetchBlock(f, group, kTypeMap);
        for (uint32_t j = 1; j < s->mapSpan && rejected < 8; j++) {
            map = fetchBlock(f, group, kTypeMap);
            if (map[6 + j] != kTypeData) continue;
            uint32_t address = group + j * s->blockSize;
            if (address == s->insertBlock) continue;
            examined = true;
            uint8_t* block = fetchBlock(f, address, kTypeData);
            if (hasRoom(s, block, need)) return address;
            rejected++;
        }
        uint32_t next = group + s->mapSpan * s->blockSize;
        if (!examined) {
            put32(s->header, kOffDeletedOrDataGroup, next);
            headerChanged(f);
        }
        group = next;
    }
    uint8_t* block = allocateBlock(f, kTypeData);
    common::initSlottedBlock({block, s->blockSize}, kTypeData, get32(block, 1));
    markDirty(f, block);
    return get32(block, 1);
}

// Stores the piece in f->packBuf (`size` bytes) in a data block; answers its record address.
uint32_t addStored(KeyedFile* f, uint32_t size) {
    KeyedShared* s = f->sh();
    uint32_t blockAddress = blockWithRoom(f, size);
    uint8_t* block = fetchBlock(f, blockAddress, kTypeData);
    common::BlockParts parts(s->blockSize);
    common::SlotPlace place = common::reserveRecord({block, s->blockSize}, size, &parts);
    if (place.slot == 0) raiseError(f, MDK_E_OFFSET);
    std::memcpy(block + 6 + place.position, f->packBuf.data(), size);
    markDirty(f, block, parts.bits());
    settleDataBlock(f, blockAddress);
    uint32_t address = blockAddress + place.slot;
    if (f->unlockedNewRecords) return address;
    int32_t rc = lockRecord(f, s->locks, address, 1);
    if (rc && rc != MDK_E_BUSY) raiseError(f, rc);
    return address;
}

void freeStored(KeyedFile* f, uint32_t address) {
    KeyedShared* s = f->sh();
    lockRecordOrRaise(f, s->locks, address, 1);
    if ((address & 0xFF) == 0) raiseError(f, MDK_E_BADADDR);
    Stored st = locate(f, address);
    common::BlockParts parts(s->blockSize);
    int rc = common::removeRecord({st.block, s->blockSize}, st.slot, st.size, &parts);
    if (rc) raiseError(f, rc);
    markDirty(f, st.block, parts.bits());
    uint32_t blockAddress = address & ~0xFFu;
    if (st.block[5] == 0) {
        freeBlock(f, st.block);
        return;
    }
    uint8_t* map = nullptr;
    uint8_t* byte = mapByteOf(f, blockAddress, &map);
    uint8_t* block = fetchBlock(f, blockAddress, kTypeData);
    if (*byte == kMapDataFull && common::freeBytes({block, s->blockSize}) >= s->fillThreshold) {
        *byte = kTypeData;
        markDirtyBytes(f, map, static_cast<size_t>(byte - map),
                       static_cast<size_t>(byte - map) + 1);
    }
    s->insertBlock = blockAddress;
}

// Rewrites the piece at `address` with f->packBuf (`size` bytes); answers its address, which
// changes when the piece no longer fits in its block.
uint32_t rewriteStored(KeyedFile* f, uint32_t address, uint32_t size) {
    KeyedShared* s = f->sh();
    lockRecordOrRaise(f, s->locks, address, 1);
    Stored st = locate(f, address);
    uint32_t free = common::freeBytes({st.block, s->blockSize});
    if (size > st.size && size - st.size > free) {
        freeStored(f, address);
        return addStored(f, size);
    }
    size_t position = st.position;
    common::BlockParts parts(s->blockSize);
    if (size != st.size) {
        position = common::resizeRecord({st.block, s->blockSize}, st.slot, st.size, size, &parts);
        if (position == 0) raiseError(f, MDK_E_OFFSET);
    }
    std::memcpy(st.block + 6 + position, f->packBuf.data(), size);
    parts.add(6 + position, 6 + position + size);
    markDirty(f, st.block, parts.bits());
    settleDataBlock(f, address & ~0xFFu);
    return address;
}

// The record's pieces after the owner, following the links from `link`.
void collectPieces(KeyedFile* f, uint32_t link, std::vector<uint32_t>& pieces) {
    pieces.clear();
    ChainGuard guard;
    while (link) {
        if (guard.seen(link)) raiseError(f, MDK_E_OFFSET);
        pieces.push_back(link);
        Stored st = locate(f, link);
        link = st.continued ? get32(st.block + 6 + st.position,
                                    3 + f->sh()->keyAreaSize + static_cast<int>(st.length))
                            : 0;
    }
}

// Writes `data` as a chain of pieces, last first so that every link is known, reusing the
// addresses in `reuse` (rewritten in place) before adding new pieces.  Answers the address of
// the first piece (0 when `data` fits in the owner).
uint32_t writePieces(KeyedFile* f, const uint8_t* keyArea, uint8_t keyLength,
                     std::span<const uint8_t> data, const std::vector<uint32_t>& reuse) {
    KeyedShared* s = f->sh();
    size_t R = static_cast<size_t>(s->recordSize);
    size_t chunks = data.size() > R ? (data.size() - R + R - 1) / R : 0;
    uint32_t link = 0;
    for (size_t i = chunks; i >= 1; i--) {
        size_t from = R * i;
        auto chunk = data.subspan(from, std::min(R, data.size() - from));
        uint32_t size = encodePiece(f, keyArea, keyLength | kPieceMark, chunk, link);
        link = i <= reuse.size() ? rewriteStored(f, reuse[i - 1], size) : addStored(f, size);
    }
    for (size_t i = chunks; i < reuse.size(); i++)
        freeStored(f, reuse[i]);
    return link;
}

// Appends the data of the pieces that follow the record at `at`, from `link` on, to f->joined.
void joinPieces(KeyedFile* f, uint32_t at, uint32_t link) {
    KeyedShared* s = f->sh();
    ChainGuard guard;  // allocates nothing for records of up to 32 pieces
    guard.seen(at);
    while (link) {
        if (guard.seen(link)) raiseError(f, MDK_E_OFFSET);
        uint8_t* pieceBuf = f->packBuf.data();
        link = readPiece(f, link, pieceBuf);
        uint32_t n = getBe16(pieceBuf + 1 + s->keyAreaSize);
        f->joined.insert(f->joined.end(), pieceBuf + 3 + s->keyAreaSize,
                         pieceBuf + 3 + s->keyAreaSize + n);
    }
}

}  // namespace

size_t longestRecordData(const KeyedShared* s) {
    const size_t R = static_cast<size_t>(s->recordSize);
    return s->blockMode ? R * (1 + kMaxPiecesPerRecord) : R;
}

void readRecord(KeyedFile* f, int64_t address) {
    KeyedShared* s = f->sh();
    bool lock = address > 0;
    uint32_t at = static_cast<uint32_t>(address < 0 ? -address : address);
    if (at == 0) raiseError(f, MDK_E_BADADDR);
    if (lock) {
        if (f->probeLocks)
            probeRecordOrRaise(f, s->locks, at, slotLockLength(s));
        else
            lockRecordOrRaise(f, s->locks, at, slotLockLength(s));
    }
    uint32_t link = 0;
    if (s->blockMode) {
        link = readPiece(f, at, f->readBuf.data());
        if (f->readBuf[0] & kPieceMark) raiseError(f, MDK_E_KEY);
    } else {
        readSlot(f, at);
    }
    s->lastRecordRead = at;
    s->continuation = link;
    const uint8_t* buf = f->readBuf.data();
    const size_t length =
        3 + static_cast<size_t>(s->keyAreaSize) + getBe16(buf + 1 + s->keyAreaSize);
    f->recordJoined = false;
    f->recordLength = length;
    if (link) {
        // Join the pieces: key area and the data of every piece in turn.
        f->joined.assign(buf, buf + length);
        joinPieces(f, at, link);
        f->recordJoined = true;
    }
}

uint32_t addRecord(KeyedFile* f, std::span<const uint8_t> data, bool count) {
    KeyedShared* s = f->sh();
    const uint8_t* keyArea = f->writeBuf.data() + 1;
    uint8_t keyLength = f->writeBuf[0];
    uint32_t address;
    if (!s->blockMode) {
        uint8_t* rec = f->writeBuf.data();
        std::memset(rec + 1 + s->keyAreaSize, 0, s->slotSize - 1 - s->keyAreaSize);
        putBe16(rec + 1 + s->keyAreaSize, static_cast<uint16_t>(data.size()));
        if (!data.empty()) std::memcpy(rec + 3 + s->keyAreaSize, data.data(), data.size());
        address = addSlot(f, rec);
    } else {
        uint32_t link = writePieces(f, keyArea, keyLength, data, {});
        auto first = data.first(std::min(data.size(), static_cast<size_t>(s->recordSize)));
        address = addStored(f, encodePiece(f, keyArea, keyLength, first, link));
    }
    if (count) {
        put32(s->header, kOffRecordCount, get32(s->header, kOffRecordCount) + 1);
        s->recordCount = static_cast<int32_t>(get32(s->header, kOffRecordCount));
        headerChanged(f);
    }
    return address;
}

uint32_t rewriteRecord(KeyedFile* f, uint32_t address, std::span<const uint8_t> data) {
    KeyedShared* s = f->sh();
    const uint8_t* keyArea = f->writeBuf.data() + 1;
    uint8_t keyLength = f->writeBuf[0];
    if (!s->blockMode) {
        lockRecordOrRaise(f, s->locks, address, s->slotSize);
        uint8_t* rec = f->writeBuf.data();
        std::memset(rec + 1 + s->keyAreaSize, 0, s->slotSize - 1 - s->keyAreaSize);
        putBe16(rec + 1 + s->keyAreaSize, static_cast<uint16_t>(data.size()));
        if (!data.empty()) std::memcpy(rec + 3 + s->keyAreaSize, data.data(), data.size());
        writeSlot(f, address, rec, s->slotSize);
        return address;
    }
    std::vector<uint32_t> old;
    Stored st = locate(f, address);
    if (st.continued) {
        uint32_t link =
            get32(st.block + 6 + st.position, 3 + s->keyAreaSize + static_cast<int>(st.length));
        collectPieces(f, link, old);
    }
    uint32_t link = writePieces(f, keyArea, keyLength, data, old);
    auto first = data.first(std::min(data.size(), static_cast<size_t>(s->recordSize)));
    return rewriteStored(f, address, encodePiece(f, keyArea, keyLength, first, link));
}

void freeRecord(KeyedFile* f, uint32_t address, bool count) {
    KeyedShared* s = f->sh();
    if (!s->blockMode) {
        lockRecordOrRaise(f, s->locks, address, 5);
        uint8_t slot[5] = {kDeletedSlot};
        uint32_t head = get32(s->header, kOffDeletedOrDataGroup);
        put32(slot, 1, static_cast<uint32_t>(-static_cast<int32_t>(head)));
        writeSlot(f, address, slot, 5);
        put32(s->header, kOffDeletedOrDataGroup, address);
    } else {
        Stored st = locate(f, address);
        std::vector<uint32_t> pieces;
        if (st.continued) {
            uint32_t link =
                get32(st.block + 6 + st.position, 3 + s->keyAreaSize + static_cast<int>(st.length));
            collectPieces(f, link, pieces);
        }
        freeStored(f, address);
        for (uint32_t p : pieces)
            freeStored(f, p);
    }
    if (count) {
        put32(s->header, kOffRecordCount, get32(s->header, kOffRecordCount) - 1);
        s->recordCount = static_cast<int32_t>(get32(s->header, kOffRecordCount));
    }
    headerChanged(f);
}

}  // namespace mdnio::keyed
