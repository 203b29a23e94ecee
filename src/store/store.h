// The block store the keyed engines share: a cache of fixed-size blocks found by their number
// (address), the file seen through a mapping, the segment files a file may continue in, the
// writes that take changed blocks back to the files, and the header lock that opens and closes
// a period.
//
// The store knows blocks, addresses, places and periods, not what a block holds: the engine
// behind it says where a block lies (its block map), checks what a read brought in, and writes
// a dirty block back when the cache needs its buffer.  A classic file places a block by its
// address alone; a file whose blocks move puts a map from logical to physical numbers there.
//
// An engine's shared file derives from BlockStore, beside MdkSharedFile, and points `hooks` at
// its table before its first fetch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "common/addrmap.h"
#include "frame/frame.h"
#include "platform/platform.h"

namespace mdnio::store {

// Memory the block cache of one shared file may hold.  The cache lives as long as the change
// counter stays put, which across a run of reads by one process is long: a cache of this size
// keeps the upper levels of every key's tree and the recent data blocks without a read.
constexpr size_t kCacheBytes = size_t{8} << 20;

// The memory of a cache buffer: its own (freed with it), or a part of one of the store's slabs
// (freed with the slab).
struct BufferFree {
    bool owned = true;
    void operator()(uint8_t* p) const {
        if (owned) delete[] p;
    }
};

// One buffer of the block cache.
struct CacheBuffer {
    uint32_t address = 0;     // 0: empty
    uint32_t index = 0;       // its position in BlockStore::cache, for as long as it lives
    bool referenced = false;  // used since the clock hand last passed it
    bool dirty = false;
    // A block being read into the buffer (or made in it) that is not settled yet: it looks
    // empty, but a fetch nested in the one that fills it must not take it.
    bool filling = false;
    // Buffers the engine writes itself at the end of a period (the working copies of a block
    // map): writeDirtyBuffers leaves them dirty, and the cache never writes them early.
    bool metadata = false;
    uint32_t pins = 0;  // holds of Pin: while any is held the buffer is never chosen for reuse
    // The parts of a dirty buffer changed since its block was read or last written (bits of
    // common::BlockParts): the rest holds what the file holds, and a write-back leaves it out.
    // Always 0 in a clean buffer.
    uint64_t changed = 0;
    std::unique_ptr<uint8_t[], BufferFree> data;  // made when the buffer is first filled
};

// Where a block lies: the descriptor of the file that holds it and the offset there.
struct Place {
    int fd;
    int64_t offset;
};

// What the store asks of the engine whose blocks it holds.
struct StoreHooks {
    // The block map: where block `address` lies.  May raise (a segment that cannot be opened,
    // a number the map does not hold).
    Place (*place)(MdkFile* f, uint32_t address);
    // Writes one dirty buffer back and makes it clean (writeBuffer does the writing).  `early`:
    // the cache needs the buffer for another block in the middle of a period, before the
    // period's own write-back has saved what the write overwrites.
    void (*writeBack)(MdkFile* f, CacheBuffer& buffer, bool early);
    // Checks a dirty buffer that a bulk write-back writes as it stands; raises to refuse.
    void (*checkBulk)(MdkFile* f, const CacheBuffer& buffer);
    // Engines that write a changed block at a new place (copy-on-write): called for every dirty
    // buffer that is not metadata before writeDirtyBuffers asks where it goes, so that `place`
    // answers the new place.  The buffer is pinned meanwhile; it may fetch other blocks.  Null
    // for engines that write blocks where they lie.
    void (*relocate)(MdkFile* f, CacheBuffer& buffer) = nullptr;
    // finishPeriod's steps after the blocks: the engine's map (its metadata buffers), then the
    // header that names it.  Null when the engine has nothing there.
    void (*commitMap)(MdkFile* f) = nullptr;
    void (*writeHeader)(MdkFile* f) = nullptr;
};

// Segment files a file may continue in; entry 0 is the file itself.
constexpr int kMaxSegmentFiles = 32;

// From this many changed blocks or ranges on, a write-back is a bulk write (RunWriter, direct).
constexpr size_t kBulkWriteFrom = 64;

struct BlockStore {
    const StoreHooks* hooks = nullptr;
    uint32_t blockSize = 0;

    // The base file seen through a shared mapping: reads and writes of blocks and other ranges
    // from and to the page cache instead of calling the system (readBytes, writeBytes).
    platform::FileView view;

    // Segment files; entry 0 is the base descriptor, the others 0 until opened.
    int segmentFd[kMaxSegmentFiles] = {};
    // Bytes each of them is known to hold (measured, or reached by a write through its
    // descriptor).
    int64_t knownLength[kMaxSegmentFiles] = {};

    // False: a dirty buffer is never written before the period's own write-back (the cache
    // grows instead, as inside a transaction).  Engines whose early writes could reach the
    // file's committed state set it.
    bool writeEarly = true;

    // The block cache.  Buffers are found through `cacheIndex` (address -> position); an entry
    // goes stale when its buffer is emptied in place, so a lookup checks the buffer's address.
    // A deque: adding a buffer never moves the others, so a reference to a buffer stays good
    // across a fetch that adds one (a write-back that reads map blocks, a nested fetch).
    std::deque<CacheBuffer> cache;
    common::AddressMap cacheIndex;
    // Memory of the buffers past baseBuffers (those a transaction adds), taken in large slabs
    // and given back at once when the transaction ends (shrinkCache).
    std::vector<platform::LargeMemory> slabs;
    // Memory of the base buffers past the first few, in slabs kept while the file is open.
    std::vector<platform::LargeMemory> baseSlabs;
    std::vector<uint32_t> dirtyBuffers;  // positions made dirty since the last write-back
    size_t dirtyCount = 0;               // buffers dirty now
    size_t baseBuffers = 0;
    size_t clockHand = 0;
    // The buffer the last step in physical order read its block into (kNoBuffer: none).  The
    // next block of such a scan takes the same buffer while it is clean: a scan through the
    // whole file passes through one buffer, leaving the rest of the cache to the blocks other
    // calls come back to, and copies into memory the processor still holds.
    size_t streamBuffer = kNoBuffer;
    static constexpr size_t kNoBuffer = SIZE_MAX;

    int baseFd() const { return segmentFd[0]; }
};

// ---- cache.cpp: the block cache
// ------------------------------------------------------------------

// Makes the cache `buffers` buffers of blockSize bytes (memory comes when each is first filled).
void setUpCache(BlockStore& s, size_t buffers);
// The buffer holding `address`, null when it is not cached.
CacheBuffer* findBuffer(BlockStore& s, uint32_t address);
uint8_t* cachedBlock(BlockStore& s, uint32_t address);  // null when not cached
// The same, trying first the buffer `hint` names and setting it to the buffer that holds the
// block: a handle stepping through a leaf finds it again without the index.
uint8_t* cachedBlock(BlockStore& s, uint32_t address, size_t& hint);
// An empty buffer with memory for a block not cached (a dirty one it takes is written back
// first, through the hooks).  Inside a transaction dirty buffers are kept.
CacheBuffer& chooseBuffer(MdkFile* f, BlockStore& s);
// The buffer a scan in physical order reads its next block into: the scan's own while it is
// clean, else one chooseBuffer gives, which becomes the scan's.
CacheBuffer& streamBufferFor(MdkFile* f, BlockStore& s);
// Makes buffer b hold `address`, findable and marked used (no longer filling).
void settle(BlockStore& s, CacheBuffer& b, uint32_t address);
// Makes buffer b hold `address` in place of what it held: any other buffer holding `address`
// is emptied (a clean one dropped, a dirty one dropped with its changes), and b is found under
// `address` from now on.
void renameBuffer(BlockStore& s, CacheBuffer& b, uint32_t address);

// Keeps a buffer from being chosen for another block while it is in use (a nested fetch, a
// write-back that reads map blocks).
class Pin {
  public:
    explicit Pin(CacheBuffer& b) : b_(&b) { b_->pins++; }
    ~Pin() { b_->pins--; }
    Pin(const Pin&) = delete;
    Pin& operator=(const Pin&) = delete;

  private:
    CacheBuffer* b_;
};

// Marks a buffer chosen for a block as being filled until it is settled or the fill fails: an
// empty-looking buffer that a nested fetch must pass over.
class Filling {
  public:
    explicit Filling(CacheBuffer& b) : b_(&b) { b_->filling = true; }
    ~Filling() { b_->filling = false; }
    Filling(const Filling&) = delete;
    Filling& operator=(const Filling&) = delete;

  private:
    CacheBuffer* b_;
};
// Marks the parts `parts` of buffer b changed.
void setDirty(BlockStore& s, CacheBuffer& b, uint64_t parts);
void setClean(BlockStore& s, CacheBuffer& b);  // the buffer's block is on disk or dropped
// The buffer whose memory is `block` (a block's address finds it at once; one whose address
// bytes are being rewritten is looked for among all buffers); null when none.
CacheBuffer* bufferOf(BlockStore& s, const uint8_t* block, uint32_t address);
// Empties every buffer: what they held may have changed on disk.
void dropBuffers(BlockStore& s);
// Empties the dirty buffers (a period undone): their changes never reach the file.
void dropDirtyBuffers(BlockStore& s);
// Gives back the buffers a transaction added, and their memory.
void shrinkCache(BlockStore& s);

// ---- cache.cpp: writing blocks back
// --------------------------------------------------------------

// The byte ranges of a block (offsets within it) that writeBuffer writes: all of it when wholly
// changed or `whole` (a block the engine seals as a whole), else the runs of changed parts (base
// file, through the view) or one range from the first changed part to the last (a segment file,
// one system call).
struct ByteRun {
    uint32_t from, to;
};
constexpr int kMaxWriteRuns = 32;
int blockWriteRuns(const BlockStore& s, const CacheBuffer& buffer, bool baseFile, bool whole,
                   ByteRun (&runs)[kMaxWriteRuns]);
// Writes `bytes` (the buffer's block as it goes to disk: its own memory, or a sealed copy) at
// `place`, the runs blockWriteRuns gives, and makes the buffer clean.  A failed or short write
// raises 19.
void writeBuffer(MdkFile* f, BlockStore& s, CacheBuffer& buffer, const uint8_t* bytes, Place place,
                 bool whole);
// Writes every dirty buffer but the metadata ones: one by one through the hooks, or (`bulk`)
// whole, in the order of their places in the files, neighbours together in one write, counting
// as written only once every write succeeded.  With a relocate hook each buffer is relocated
// first.
void writeDirtyBuffers(MdkFile* f, BlockStore& s, bool bulk);

// Ends a period of an engine that never changes its committed state in place: the blocks, then
// the map (commitMap), then the header that names it (writeHeader), each step on disk before the
// next when the environment asks writes to survive a power loss (mode 20).  A kill between any
// two steps leaves the state the header on disk names.
void finishPeriod(MdkFile* f, BlockStore& s, bool bulk);

// ---- io.cpp: reading and writing the files ------------------------------------------------------

// Reads n bytes at `offset` of descriptor fd (the base file or a segment): through the view when
// fd is the base file and the bytes are there, else with readAt.
platform::IoResult readBytes(BlockStore& s, int fd, void* dst, size_t n, int64_t offset);
// Writes through the view when the bytes lie inside the base file (and `throughView`), else
// through the system, telling the view how long the base file has grown.
platform::IoResult writeBytes(BlockStore& s, int fd, const void* src, size_t n, int64_t offset,
                              bool throughView = true);

// Gathers writes of neighbouring byte ranges into runs of up to kRunBytes, one write each.  A
// bulk write (`direct`, the commit of a large transaction) goes through the descriptor: through
// the view, every page it writes would join the memory the process holds.  Otherwise runs go
// through writeBytes.  A failed write raises 14 (seek) or 19; a short one `shortWriteCode`.
class RunWriter {
  public:
    static constexpr size_t kRunBytes = size_t{1} << 20;
    RunWriter(MdkFile* f, BlockStore& s, int32_t shortWriteCode, bool direct);
    void add(int fd, int64_t offset, const uint8_t* bytes, size_t n);
    void flush();  // writes what is gathered; must be called after the last add

  private:
    MdkFile* f_;
    BlockStore& s_;
    int32_t shortWriteCode_;
    bool direct_;
    int fd_ = -1;
    int64_t start_ = 0;
    std::vector<uint8_t> run_;
};

// ---- segments.cpp: segment files ----------------------------------------------------------------

std::string segmentPath(const char* base, uint32_t segment);  // base + ".nnn"
// Opens segment file `segment` of the base file `base`, following links; -1 when it cannot.
int openSegmentFile(const char* base, uint32_t segment, bool writable);
// Removes segment file `segment` of `base` when it is one this library began and no header
// names any more (a period that made it was undone); false when there is none or it is not
// such a file.
bool removeLeftoverSegment(const char* base, uint32_t segment);
// The descriptor of segment `segment` (below kMaxSegmentFiles), opened on first use; raises 28
// when it cannot be opened.
int segmentFd(MdkFile* f, BlockStore& s, uint32_t segment, bool writable);
void closeSegments(BlockStore& s);

// ---- period.cpp: the header lock
// -----------------------------------------------------------------

// Takes the one-byte header lock at `at` through descriptor fd (exclusive or shared), waiting
// as the environment's lock options allow: with the no-wait option not at all, else up to 3000
// tries 10 ms apart.  The lock opens a period; every process takes it before it reads the
// change counter, so a counter that moved tells it to drop what it cached (dropBuffers).
platform::LockResult waitForHeaderLock(MdkFile* f, int fd, uint64_t at, bool exclusive);

}  // namespace mdnio::store
