// The classic keyed engine: its handle, its shared file block and the operations its files of
// the operation table are built from.
//
// Every operation that reads or changes a file runs inside a header-lock period: take the file
// lock and the byte-range header lock, re-read the header, drop cached blocks when another
// process changed the file (the change counter moved), work through the block cache, write the
// changed blocks and the header, give the locks back.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/addrmap.h"
#include "common/blockparts.h"
#include "common/keydesc.h"
#include "common/reclock.h"
#include "frame/frame.h"
#include "keyed/format.h"
#include "keyed/journal.h"
#include "keyed/password.h"
#include "keyed/pending.h"
#include "store/store.h"

namespace mdnio::keyed {

using store::CacheBuffer;

// Shared flag bits (MdkSharedFile::flags) of the classic engine.
constexpr uint32_t kNoHeaderLock = 0x02;       // header locking off
constexpr uint32_t kHeaderDirty = 0x04;        // header copy changed, not yet written
constexpr uint32_t kRawMode = 0x08;            // physical-order reading
constexpr uint32_t kHeaderLocked = 0x10;       // header lock held in this period
constexpr uint32_t kIdle = 0x20;               // idle mark of the background thread
constexpr uint32_t kAlwaysLock = 0x100;        // reads always take the header lock
constexpr uint32_t kTxHeld = 0x800;            // header lock held across a transaction
constexpr uint32_t kOsLockReadOnly = 0x1000;   // OS header lock held through a read-only descriptor
constexpr uint32_t kOsLockReadWrite = 0x2000;  // ... through a writable one

// The header as it was when a header-lock period (or a transaction) began, so that a period
// that fails half-way, or a transaction rolled back, can put it back in memory.  What the
// period wrote to the file is undone from its journal (journal.h).
struct PeriodUndo {
    bool active = false;
    uint8_t header[kHeaderSize] = {};
    // The key layout as the period found it, kept once the period changes the key descriptors
    // (drop key): undoing the period gives every key back to the handles too.
    std::optional<common::KeyLayout> layout;
};

// The shared file of a classic file: its blocks are held by the block store (store/store.h),
// which places them by their address alone.
struct KeyedShared : MdkSharedFile, store::BlockStore {
    // Geometry from the header; the block size is the store's blockSize.
    int32_t recordSize = 0;      // R: the largest record data length
    int32_t keyAreaSize = 0;     // K: bytes of the key area in every record
    int32_t slotSize = 0;        // S: record buffer / slot size
    uint32_t mapSpan = 0;        // E: blocks per allocation-map group (block mode), else 0
    uint32_t fillThreshold = 0;  // T: fill threshold of data blocks (block mode), else 0
    bool blockMode = false;
    bool compressed = false;
    bool writableFd = false;
    common::KeyLayout layout;
    int highestKey = 0;  // number of keys - 1
    uint32_t identity = 0;

    // Header-lock period state.
    bool headerWritten = false;  // the header was written in this period
    int32_t countdown = 0;
    uint32_t sequence = 0;       // copy of header 249
    int64_t maxSegmentSize = 0;  // block mode: bytes a segment file may hold
    int32_t tickStamp = 0;       // environment tick when the header was last validated

    int32_t segmentsOpen = 1;

    // Record access.
    RecordLocks locks;
    uint32_t insertBlock = 0;  // block mode: current data block for inserts
    uint32_t lastRecordRead = 0;
    uint32_t continuation = 0;  // link to the next piece of the record read last

    PeriodUndo undo;
    PeriodJournal journal;
    // Record slots (slot mode) written in this period or transaction, not yet on disk: like
    // changed blocks, they reach the file at the end of the period or at commit.
    PendingSlots pendingSlots;
    // The continuation of the key-descriptor table (kHeaderSize bytes at offset kHeaderSize) as
    // a drop key in this period or transaction left it, or empty: like the header, it reaches
    // the file, journalled, only when the period's writes do.
    std::vector<uint8_t> pendingDescriptors;
    // A call failed half-way inside a transaction that had already changed the file: its commit
    // must not write the half-done change, so it rolls the file back and fails with this code.
    int32_t txFailure = 0;
    bool callChanged = false;        // the call in progress has changed something
    std::unique_ptr<Cipher> cipher;  // state of the block cipher of a protected file
};

// One step of a search path: a key block and the entry taken in it.
struct PathStep {
    uint32_t block;
    int32_t index;
};

struct KeyedFile : MdkFile {
    KeyedShared* sh() const { return static_cast<KeyedShared*>(shared); }

    // Position in the order of the current key.
    int32_t curKey = 0;
    uint32_t curRecord = 0;
    uint32_t leafBlock = 0;  // leaf and entry of the position
    int32_t leafIndex = 0;
    // The cache buffer the leaf was last found in: a hint, checked before it is used.
    size_t leafBuffer = KeyedShared::kNoBuffer;
    PathStep path[kMaxDepth] = {};
    int32_t depth = 0;

    // Key values (each of the file's largest value size).
    std::vector<uint8_t> lastKey;  // value at the current position; 0xFF first: before all
    std::vector<uint8_t> search;   // value being searched
    std::vector<uint8_t> found;    // value of the entry a search ended on
    std::vector<uint8_t> spare;

    // Record buffers of S bytes (read, write, compression) and what the last read left.
    std::vector<uint8_t> readBuf;
    std::vector<uint8_t> writeBuf;
    std::vector<uint8_t> packBuf;
    // A record read with continuation pieces, joined; a record of one piece stays in readBuf.
    std::vector<uint8_t> joined;
    bool recordJoined = false;  // whether the last record read is in joined (else in readBuf)
    size_t recordLength = 0;    // its length in readBuf when it is there
    // Set for the length of a read that keeps no record lock: the record's lock is only tested
    // (readRecord), since taking it would give it back before the call returns anyway.
    bool probeLocks = false;
    // Set for the length of a write whose new records need no lock (opWrite says when): the
    // records it adds are not locked (addSlot, addStored).
    bool unlockedNewRecords = false;
    // Block mode: a block-sized scratch into which a read copies just the parts of an uncached
    // data block that reading one record looks at (records.cpp, readPiece).
    std::vector<uint8_t> sparse;
};

inline KeyedFile* K(MdkFile* f) {
    return static_cast<KeyedFile*>(f);
}

// ---- header.cpp: header-lock periods ------------------------------------------------------------
void lockHeader(KeyedFile* f);
void unlockHeader(KeyedFile* f, bool force);
// Where the header lock lies (store::waitForHeaderLock takes it).
constexpr uint64_t kHeaderLockAt = platform::kLockBase + kHeaderLockOffset;
void rereadHeader(KeyedFile* f);
void headerChanged(KeyedFile* f);  // marks the header changed; writes it at the first change
void writeHeaderNow(KeyedFile* f);
void loadHeaderFields(KeyedShared* s);  // derived fields from the header copy
// Whether every address the header copy holds lies where the file has blocks: the end of file
// inside the file that holds it (measured again when it passes what is known of that file), the
// key roots, the chain heads and the free-block group before the end of file, the data-block
// group in a segment that exists.  A header read from disk that fails raises 41 (rereadHeader,
// or lockHeader once a half-written file is put right).
bool headerAddressesHold(KeyedFile* f);
// Raises 41 (dropping the cache) when the header's addresses do not hold.
void requireSoundHeader(KeyedFile* f);
// At open: the header was read without the header lock, so addresses that do not hold are looked
// at again under the lock (another process may have been writing it) before 41 is raised.
void checkHeaderAtOpen(KeyedFile* f);
// Undoes a period that failed (or a transaction rolled back): drops changed blocks and slots
// and puts the header back.  Never raises.
void abandonPeriod(KeyedFile* f) noexcept;
// The period (or transaction) ended well: what it wrote stays, and nothing is kept to undo it.
void endUndo(KeyedShared* s);
// Writes the period's changed slots and blocks (the header first, when it is the first change),
// the descriptor table's continuation when a drop key changed it, then the header when it
// changed.
void flushPeriod(KeyedFile* f);
// The slots and blocks alone.
void flushData(KeyedFile* f);

// ---- cache.cpp: blocks, through the block store
// ---------------------------------------------------------------
// The classic engine's side of the block store (set in every shared file at open).
extern const store::StoreHooks kClassicStore;
static_assert(kMaxSegments <= store::kMaxSegmentFiles);

constexpr int kAnyType = 1;  // fetchBlock: any block type
uint8_t* fetchBlock(KeyedFile* f, uint32_t address, int type);
// fetchBlock for a scan in physical order: a block not cached takes the scan's own buffer
// (streamBuffer) when that is clean, and the next block of the file is asked for ahead.
uint8_t* fetchStreamBlock(KeyedFile* f, uint32_t address);
// Starts loading, through the view, the bytes a read of the record at `address` looks at first.
void prefetchRecord(KeyedShared* s, uint32_t address);
// Then, once that has arrived, the record's own bytes.
void prefetchRecordData(KeyedShared* s, uint32_t address);
// Marks the cached block `block` changed: all of it, or the parts in `parts` (the bits of a
// common::BlockParts that saw every byte the change wrote).
void markDirty(KeyedFile* f, uint8_t* block, uint64_t parts = common::kAllParts);
// Marks the bytes [from, to) of the cached block `block` changed.
void markDirtyBytes(KeyedFile* f, uint8_t* block, size_t from, size_t to);
// Writes the changed parts of a dirty buffer (all of an enciphered block) and makes it clean.
void writeBlock(KeyedFile* f, CacheBuffer& buffer);
// Whether a block goes to disk whole: the cipher changes every byte of the blocks it covers.
bool sealedWhole(const KeyedShared* s, const CacheBuffer& buffer);
// Whether writeDirtyBlocks writes whole blocks in runs (many dirty blocks) rather than each
// block's changed parts.
bool bulkWriteBack(const KeyedShared* s);
using store::kBulkWriteFrom;
void writeDirtyBlocks(KeyedFile* f);
// Empties the cache (the file changed under us) and forgets where inserts went.
void dropCache(KeyedShared* s);
// Where the block at `address` lies: the segment file the address names and the offset there.
int segmentFdFor(KeyedFile* f, uint32_t address, int64_t* offset);
int segmentFd(KeyedFile* f, uint32_t segment);  // the descriptor of a segment in use, opened once
void encipherBlock(const KeyedShared* s, uint8_t* block);
void decipherBlock(const KeyedShared* s, uint8_t* block);

// ---- alloc.cpp: blocks of the file
// ------------------------------------------------------------------
uint8_t* allocateBlock(KeyedFile* f, uint8_t type);
void freeBlock(KeyedFile* f, uint8_t* block);

// ---- records.cpp: record bodies
// ------------------------------------------------------------------- Slot mode: `length` bytes of
// the slot at `address`, pending ones first, then the file's.
void readSlotBytes(KeyedFile* f, uint32_t address, uint8_t* out, uint32_t length);
// Slot mode: changes bytes of a slot; they reach the file with the period's blocks.
void writeSlotBytes(KeyedFile* f, uint32_t address, const uint8_t* bytes, uint32_t length);
// Reads the record at `address` (negative: without a lock): its first piece into f->readBuf
// (the record buffer keys are built from); when it has continuation pieces, its key area and
// all data, pieces joined, into f->joined.  lastRecord() gives the record either way.
void readRecord(KeyedFile* f, int64_t address);
// The record last read: key area length byte, key area, BE16 length of the first piece, all
// data.  Valid until the next read of a record.
inline std::span<const uint8_t> lastRecord(const KeyedFile* f) {
    if (f->recordJoined) return {f->joined.data(), f->joined.size()};
    return {f->readBuf.data(), f->recordLength};
}
// The most data bytes a record may carry: none in a key-only file (R = 0), R in a slot, and in
// block mode R in the record and R in each of at most kMaxPiecesPerRecord continuation pieces.
size_t longestRecordData(const KeyedShared* s);
// Stores f->writeBuf (with `dataLength` bytes of data in `data`) as a new record.
uint32_t addRecord(KeyedFile* f, std::span<const uint8_t> data, bool count);
uint32_t rewriteRecord(KeyedFile* f, uint32_t address, std::span<const uint8_t> data);
void freeRecord(KeyedFile* f, uint32_t address, bool count);

// ---- dict.cpp: dictionary records (inside a header-lock period) ---------------------------------
// The dictionary record at `address`: its payload (valid until the next block fetch) and its
// links.  Anything that is not a sound dictionary record raises 9.
struct DictView {
    std::span<const uint8_t> payload;
    uint32_t next;
    uint32_t previous;
};
DictView dictRecordAt(KeyedFile* f, uint32_t address);
// Dictionary record n into `payload`; false when it does not exist.
bool dictRead(KeyedFile* f, int32_t n, std::vector<uint8_t>& payload);
// Replaces record n, or appends it when n is one past the last record of its side (0 on a file
// without dictionary records).
void dictWrite(KeyedFile* f, int32_t n, std::span<const uint8_t> payload);

// ---- password.cpp: data-file passwords
// ------------------------------------------------------------ Checks the caller's password against
// the file's password record at the end of open and sets up the block cipher; answers 0 or 31 (the
// open fails).  May mark the handle read-only.
int32_t checkPassword(KeyedFile* f, const char* password, int32_t length);

// ---- tree.cpp: key trees
// ----------------------------------------------------------------------------
enum SearchMode {
    kExact = 0,         // plain search
    kIgnoreSuffix = 1,  // may go on into the next subtree even on a file with the counter check
    kForEdit = 2,       // stays in the subtree it descended into: the place to insert or delete
};
// Searches f->search in key k; answers 0 (equal) or 3, with the path, position and f->found set.
int32_t searchKey(KeyedFile* f, int k, int mode);
// Moves n entries from f->lastKey in the current key and makes that entry the position (its
// value in f->lastKey, its record in f->curRecord).  Raises 4 past either end.
void moveBy(KeyedFile* f, int n);
// Inserts (value, pointer) in key k at the place the last kForEdit search found.
void insertEntry(KeyedFile* f, int k, std::span<const uint8_t> value, int32_t pointer);
// The value of entry `index` of key k's block at `address` (a count or a length byte beyond what
// the block and the key hold raise 11 and 12); 3 when the block has no such entry.
std::span<const uint8_t> entryValueAt(KeyedFile* f, int k, uint32_t address, unsigned index);
// The entry (pointer and value) at the search position, moving on to the next leaf when the
// position is past the end of its leaf; null past the last entry.
const uint8_t* entryAtPosition(KeyedFile* f, int k);
// Moves the search position one entry on (entryAtPosition crosses into the next leaf).
void nextPosition(KeyedFile* f);
// Finds the entry of `record` among the entries of key k whose values equal f->search but for
// their 4-byte suffix (a sequence-suffixed key), and makes it the search position with its
// value in f->found.  False when there is none.
bool findEntryOfRecord(KeyedFile* f, int k, uint32_t record);
// Deletes the entry the last search found in key k.
void deleteFoundEntry(KeyedFile* f, int k);
uint32_t rootOf(const KeyedShared* s, int k);
void setRoot(KeyedFile* f, int k, uint32_t block);
size_t valueSize(const KeyedShared* s, int k);   // L + 1
size_t entrySize(const KeyedShared* s, int k);   // L + 5
unsigned capacity(const KeyedShared* s, int k);  // entries per key block

// ---- the operation table
// ----------------------------------------------------------------------------
int32_t opSeek(MdkFile* f, const void* key, int32_t len, int32_t keyNumber);
int32_t opRead(MdkFile* f, void* buf, int32_t len, int32_t option, int32_t offset, int32_t address);
int32_t opSetpos(MdkFile* f, int32_t pos);
int32_t opGetpos(MdkFile* f);
int32_t opRawReadMode(MdkFile* f, int32_t mode);
int32_t opRestrictedRead(MdkFile* f, void* buf, int32_t len, int32_t option, void* keyOut,
                         uint8_t* keyLengthOut, const void* endKey, int32_t endKeyLength,
                         int32_t mode);
int32_t opGetKey(MdkFile* f, void* buf, int32_t len, int32_t keyNumber);
int32_t opKeyAdjust(MdkFile* f, void* key, int32_t len, int32_t keyNumber);
int32_t opWrite(MdkFile* f, const void* rec, int32_t recLen, const void* key, int32_t keyLen,
                int32_t mode, int32_t offset);
int32_t opRemove(MdkFile* f, const void* key, int32_t keyLen, int32_t seq);
int32_t opDropKey(MdkFile* f, int32_t k);
int32_t opDict(MdkFile* f, int32_t n, void* buf, int32_t len);
int32_t opDictAdd(MdkFile* f, int32_t n, const void* payload, int32_t len);
int32_t opUnlockRecord(MdkFile* f, int32_t which);
int32_t opLockHeader(MdkFile* f);
int32_t opUnlockHeader(MdkFile* f, int32_t force, int32_t);
int32_t opCommit(MdkFile* f);
int32_t opRollback(MdkFile* f);
int32_t opClose(MdkFile* f);

// The length of the handle's current key as a filter reports it: its segments, without the
// record-address or sequence suffix.
int32_t currentKeyLength(const MdkFile* f);

}  // namespace mdnio::keyed
