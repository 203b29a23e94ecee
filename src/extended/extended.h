// The extended keyed engine: its shared file state, its handle, and the parts its files are
// built from, grouped by the file that owns them.
//
// Every block but block 0 and the map blocks is reached through the block map (blockmap.h):
// logical numbers, which every pointer in the file holds, are translated into physical places.
// Reads never change the map.  A committed state (the header region on disk and the map copies
// it names) is never changed in place: changed blocks go to places the committed state does not
// use, the map to the other copy of its group, and the header region last.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/keydesc.h"
#include "common/reclock.h"
#include "extended/blockmap.h"
#include "extended/format.h"
#include "frame/frame.h"
#include "open/dispatch.h"
#include "store/store.h"

namespace mdnio::extended {

using store::CacheBuffer;

// Shared flag bits (MdkSharedFile::flags), with the meanings the classic engine gives them.
// kSharedExclusive (0x40, open flag 0x400) holds the header for the life of the file.
constexpr uint32_t kHeaderDirty = 0x04;   // the header region changed in this period
constexpr uint32_t kRawMode = 0x08;       // physical-order reading
constexpr uint32_t kHeaderLocked = 0x10;  // the byte-range header lock is held
constexpr uint32_t kAlwaysLock = 0x100;   // reads always take the header lock (flags B 0x08)
constexpr uint32_t kTxHeld = 0x800;       // the header stays locked until the transaction ends
// Any of these: the header is this process's for now, and nothing on disk moves under it.
constexpr uint32_t kHeaderHeld = kSharedExclusive | kHeaderLocked | kTxHeld;

// Where the one-byte header lock lies: past the block size, in the region 32-bit files lock
// (2^31), or at 2^63 in large-file mode (the platform moves offsets that high into a fixed
// region below the largest file offset).
uint64_t headerLockAt(const Geometry& g);

// One extended file open in one environment, shared by its handles.
struct ExtShared : MdkSharedFile, store::BlockStore {
    Geometry geo;
    FixedHeader fixed;    // bytes 0..57 as last read
    HeaderRegion region;  // the header region, as read at the last lock and changed since
    HeaderRegion atLock;  // the region as the period began, put back when it is abandoned
    RecordLimits limits;  // k, the maximum data length and R
    common::KeyLayout layout;
    std::vector<std::string> keyNames;  // key i's name (describe.cpp)
    FixedHeader keysFrom;               // the fixed header the layout was read under
    Cursor freeCursor;                  // where the search for a free number resumes
    Cursor placeCursor;                 // where record placement resumes
    RecordLocks locks;
    platform::FileIdentity identity;  // handles of one file share this state
    bool writableFd = false;
    bool ready = false;  // keys loaded: other handles may share it
    // A call failed half-way inside a transaction that had changed the file: its commit rolls
    // back instead and fails with this code.
    int32_t txFailure = 0;
    bool callChanged = false;  // the call in progress changed something
};

struct ExtFile : MdkFile {
    ExtShared* sh() const { return static_cast<ExtShared*>(shared); }

    // Position: the current key, its value (length byte first, 0xFF = no position) and record.
    int32_t curKey = 0;
    uint32_t curRecord = 0;
    // Key buffers of t + 5 bytes: the current key, the key a search found, the search key and
    // a work key.
    std::vector<uint8_t> current, found, search, work;
    // Record buffers of R bytes: the record image, the copy keys are built from, compression.
    std::vector<uint8_t> record, keyCopy, packed;
    std::vector<uint8_t> joined;  // a record whose data continues in overflow parts, joined
};

inline ExtFile* X(MdkFile* f) {
    return static_cast<ExtFile*>(f);
}

// ---- store.cpp: blocks through the block map ---------------------------------------------------

extern const store::StoreHooks kExtendedStore;

enum class Fetch {
    Plain,     // a block as it is on disk
    Record,    // the same, for a record read (in physical order the end of file is 4)
    Create,    // a block to be made: zeroed, nothing read
    Physical,  // a map copy, by its physical number
};
constexpr int kAnyType = -1;

// Where logical number x lies, through the current copy of its group's map (read-only: an
// implicit entry stays implicit).  20 for a number the map does not hold, 41 for an entry
// naming a map copy or a place beyond the block limit.
Location translate(ExtFile* f, uint32_t logical);
// The current copy of group g's map, cached under its physical number.  41 unless it is a map
// block carrying that number.
uint8_t* fetchMap(ExtFile* f, uint32_t group);
// Block x of `type` (kAnyType: any).  A block read must carry x in bytes 1..4 and the type
// asked for, else 41.
uint8_t* fetchBlock(ExtFile* f, uint32_t number, Fetch mode, int type = kAnyType);
// The map of group g as the last map commit left it (its current copy on disk).
uint8_t* committedMap(ExtFile* f, uint32_t group);
// The map of group g to change: on the group's first change in a period, a copy of the
// committed map held under the other copy's place (metadata, written by the map commit).
uint8_t* workingMap(ExtFile* f, uint32_t group);
// A free number whose place the committed state does not use; a new group is appended when
// every group is exhausted (24 when the file may hold no more).
FreeNumber freeNumber(ExtFile* f);
// A new block of `type` on a free number, claimed at once: zeroed but for its type and number,
// and dirty.
uint8_t* newBlock(ExtFile* f, uint8_t type, uint32_t* number);
// Gives a block's number back: free from the next map commit on; the block is never written.
void releaseBlock(ExtFile* f, uint32_t number);
// Marks a cached block changed: it is written (copy-on-write) at the period's end.
void markDirty(ExtFile* f, uint8_t* block);
// The write-back's copy-on-write step (StoreHooks::relocate).
void relocateBlock(MdkFile* f, CacheBuffer& buffer);

// ---- period.cpp: header-lock periods -----------------------------------------------------------

// Opens a period: the file lock, the header lock (23 when busy), the region read again and,
// when another process changed the file (the change counter moved), the cache dropped and the
// fixed header and key layout read again.  Nothing is read while the header is held.
void lockHeader(ExtFile* f);
// Ends a period: the header lock goes back unless it is held (a transaction, open flag 0x400).
void unlockHeader(ExtFile* f, bool force);
// Reads the header region (4n + 36 + D bytes at 2048 - 4n), again when D changed meanwhile.
void reloadRegion(ExtFile* f);
// For reads made without the header lock: whether the change counter on disk is still the one
// the cache was read under.
bool unchangedSinceLock(ExtFile* f);
// The map commit (StoreHooks::commitMap): every group changed in the period has its working copy
// written at its own place, and the directory names it current from then on.
void commitMaps(MdkFile* f);
// The header region written in one piece, with the change counter moved on by one
// (StoreHooks::writeHeader): the step that makes the period's state the committed one.
void writeRegion(MdkFile* f);
// Whether the period changed anything that must reach the file.
bool periodChanged(const ExtShared* s);
// Undoes a period that failed: its changed blocks are dropped and the region is put back as it
// was when the period began.  Never raises.
void abandonPeriod(ExtFile* f) noexcept;
int32_t opLockHeader(MdkFile* f);
// The unlock a raise runs: nothing of the failed call is written; the locks go back.
int32_t opUnlockHeader(MdkFile* f, int32_t force, int32_t commitMap);

// ---- open.cpp: open and close ------------------------------------------------------------------

// Opens the file of `request` with the operation table `ops`.
MdkFile* openHandle(const OpenRequest& request, const MdkOpTable* ops);
MdkFile* openExtended(const OpenRequest& request);
// Reads the key descriptors (exactly n records of the chain, else 5) into the layout and key
// names.  Under the header lock.
void loadKeys(ExtFile* f);
int32_t opClose(MdkFile* f);
int32_t opCommit(MdkFile* f);
int32_t opRollback(MdkFile* f);

// ---- chain.cpp: chained records ----------------------------------------------------------------

// The chained record at `address` in a block of `type`: 3 for address 0, 41 for a block of
// another type, 9 for a slot that holds no record or a record whose length does not fit.
ChainedRecord chainRecord(ExtFile* f, uint32_t address, uint8_t type);
// Record `index` of the chain starting at `head` (a negative index follows previous links), and
// its address.  3 when the chain ends first; 41 when the walk comes back to a record it passed.
ChainedRecord chainItem(ExtFile* f, uint32_t head, int32_t index, uint8_t type,
                        uint32_t* address = nullptr);
int32_t opDict(MdkFile* f, int32_t n, void* buf, int32_t len);

// ---- describe.cpp: the file as the catalog describes it ----------------------------------------

// The name of key `key` from its descriptor: payload bytes 2..25 up to a zero byte when they
// begin with a printable character, else "#n" (n = key + 1, the number MDK_seek takes).
std::string keyNameOf(const KeyDescriptor& d, size_t key);
// The description of the fixed header and the 64-bit record count.
void describeHeader(std::span<const uint8_t, kFixedSize> header, uint64_t recordCount,
                    MdkFileInfo& info);
void describeFile(MdkFile* f, MdkFileInfo* info);
KeyShape keyLayoutOf(MdkFile* f, common::KeyLayout* out);
CurrentKey currentKeyOf(MdkFile* f);

}  // namespace mdnio::extended
