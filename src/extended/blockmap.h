// The block map of extended files, as logic over map blocks given as bytes: which map block and
// entry a logical number has, where the number's block lies, the copy-on-write exchange of two
// entries, the search for a free number, a new group, and the map commit's choice of copy.  No
// I/O: the block store fetches the map blocks (by physical number) and writes what changed.
//
// Logical numbers 1, 2, ... fall into groups of E numbers; entry i of group g names number
// g * E + i + 1.  Entries 0 and 1 of every group are the group's two map copies, kept at the
// physical places g * E + 1 and g * E + 2; the directory byte says which is current.  The
// physical parts of all entries form a permutation of the file's places: a block moves by two
// entries exchanging their places, never by one entry copying another's, so no two numbers ever
// share a place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "extended/format.h"

namespace mdnio::extended {

// ---- where a number's entry lies --------------------------------------------------------------

struct EntryPlace {
    uint32_t group = 0;
    unsigned index = 0;  // entry in the group's map block, kFirstNonMapEntry or above
};

// The entry of logical number x in a file of `groupCount` groups.  MDK_E_BADADDR (20) for 0, a
// number beyond the block limit or the directory, or a number of a map copy (those are reached
// by physical number only).
int entryPlace(const Geometry& g, uint16_t groupCount, uint32_t logical, EntryPlace& out);

// The physical place of the group's current map copy, and of the other one (where the next map
// commit writes).
uint32_t currentMapCopy(const Geometry& g, uint32_t group, uint8_t directoryByte);
uint32_t otherMapCopy(const Geometry& g, uint32_t group, uint8_t directoryByte);

// MDK_E_BUFFER unless `map` is a whole block of type 0xFC.
int checkMapBlock(const Geometry& g, std::span<const uint8_t> map);

// ---- translation --------------------------------------------------------------------------------

struct Location {
    uint32_t physical = 0;
    bool implicit = false;  // the entry held 0: the number lies at its own place
};

// Where the block of the entry at `place` (number `logical`) lies.  MDK_E_BUFFER for a place that
// is a map copy or beyond the block limit: writing the block there would overwrite a map or pass
// the end of what the file may hold.
int locate(const Geometry& g, std::span<const uint8_t> map, const EntryPlace& place,
           uint32_t logical, Location& out);

// Writes an implicit entry's place (the number itself) into it and marks the group's map
// changed.  The usage byte stays as it is: a live block keeps its type or fill class, since a
// number that reads as free would be handed out again.  Returns true when the entry changed.
bool makeExplicit(std::span<uint8_t> map, std::span<uint8_t> directory, const EntryPlace& place,
                  uint32_t logical);

// A number just handed out for a new block of usage `usage` (its type, or 0x80 for a data
// block): written into its entry at once, so that no later search hands it out again before the
// block's first write-back.
void claimEntry(std::span<uint8_t> map, std::span<uint8_t> directory, const EntryPlace& place,
                uint32_t logical, uint8_t usage);

// ---- usage bytes and fill classes -------------------------------------------------------------

// A data block's fill class: its free bytes * 16 / (block size - 6), at most 15.
unsigned fillClass(size_t freeBytes, uint32_t blockSize);
// The class a record of `size` bytes needs: (size + 2) * 16 / (block size - 6); 14 or more
// wants a new block.
unsigned neededClass(size_t size, uint32_t blockSize);
// The usage byte of a data block: 0x80 | its fill class, 0x80 alone when 254 slots or more are
// taken.
uint8_t dataUsage(size_t freeBytes, unsigned slots, uint32_t blockSize);
// The usage byte a block's content earns: its type, or for a data block its fill class; 0 for a
// released block or a type no entry records.
uint8_t usageOfBlock(std::span<const uint8_t> block);
inline bool isDataUsage(uint8_t usage) {
    return usage >= kUsageData && usage <= kUsageDataLast;
}

// ---- copy-on-write -----------------------------------------------------------------------------

// The relocation of changed block L onto the place of free number N: N takes L's old place (it
// is free, so nothing reads it) and L takes N's place with usage `usage`.  `mapL` and `mapN` are
// the current map blocks of their groups and may be the same block; both groups are marked
// changed in `directory`.  `writeAt` is where the changed block goes.  MDK_E_BUFFER, changing
// nothing, when L and N are one number or either entry names a place a block may not take.
int exchange(const Geometry& g, std::span<uint8_t> directory, std::span<uint8_t> mapL,
             const EntryPlace& placeL, uint32_t logicalL, std::span<uint8_t> mapN,
             const EntryPlace& placeN, uint32_t logicalN, uint8_t usage, uint32_t& writeAt);

// A released block: its number becomes free and the group's map changed; its entry keeps the
// place, which stays out of use until the map is committed (see reusable).
void releaseEntry(std::span<uint8_t> map, std::span<uint8_t> directory, const EntryPlace& place,
                  uint32_t logical);

// ---- free numbers ------------------------------------------------------------------------------

// True when the entry may be handed out: free in the current map and in the committed one, and
// holding the place it held at the last map commit.  An entry that changed since (a number
// released, or one that took a moved block's old place) names a place the committed map may still
// use; reusing it before the commit would overwrite a block of the committed state.  An empty
// `committed` stands for a group whose map did not change since the commit (kDirChanged clear).
bool reusable(const Geometry& g, std::span<const uint8_t> current,
              std::span<const uint8_t> committed, uint32_t group, unsigned index);

// The first reusable entry of one group's map at or after `fromIndex` (entries 0 and 1 are never
// taken), among the numbers within the block limit; E when there is none.
unsigned findFreeEntry(const Geometry& g, std::span<const uint8_t> current,
                       std::span<const uint8_t> committed, uint32_t group, unsigned fromIndex);

// Where a search for a free number resumes: the entry after the last one handed out.  Back to
// (0, 0) at every map commit.
struct Cursor {
    uint32_t group = 0;
    unsigned index = 0;
    // A number at (group, index) became free or changed: the next search must not start past it.
    void rewindTo(uint32_t g, unsigned i);
};

// The map blocks of a group: the current one (as changed in the cache) and the one of the last
// map commit, empty when the group did not change since.  Fetched by the block store, which
// raises when it cannot.
struct GroupMaps {
    std::span<const uint8_t> current;
    std::span<const uint8_t> committed;
};
using GroupFetch = std::function<GroupMaps(uint32_t group)>;

struct FreeNumber {
    uint32_t number = 0;  // 0 when every group is exhausted: append a group and search again
    EntryPlace place;
    bool directoryChanged = false;  // a group lost its kDirMayHaveFree bit
};

// Searches the groups from the cursor on.  Groups without kDirMayHaveFree are passed over
// without their map being fetched; a group searched in vain loses the bit.  The cursor ends on
// the number found, or at the directory's end.
FreeNumber findFreeNumber(const Geometry& g, std::span<uint8_t> directory, Cursor& cursor,
                          const GroupFetch& fetch);

// ---- growing the map ---------------------------------------------------------------------------

struct GroupAppend {
    uint32_t group = 0;
    uint32_t firstCopy = 0, secondCopy = 0;  // physical places of its two map blocks
    uint32_t highestBlock = 0;               // the file's highest block number afterwards
};

// The group after the one that holds the highest block.  MDK_E_FULL when its numbers would pass
// the block limit or the directory has no room; MDK_E_BUFFER when the highest block does not lie
// in the last group of the directory.
int planGroupAppend(const Geometry& g, uint32_t highestBlock, uint16_t groupCount,
                    GroupAppend& out);

// A new map block at physical place `copy` of `group`: type 0xFC, its own number, count 0,
// entries 0 and 1 the two copies (usage 0xFC, pointing at themselves), the rest zero.
void initMapBlock(const Geometry& g, std::span<uint8_t> block, uint32_t group, uint32_t copy);

// ---- the map commit ----------------------------------------------------------------------------

struct MapCommit {
    uint32_t writeAt = 0;       // the other copy: the committed copy is never overwritten
    uint8_t directoryByte = 0;  // copy bit flipped, free bit and best fill class, changed clear
};

// What committing `group`'s map block `map` (its current copy, as changed) does.  The caller
// retargets the block (retargetMapBlock), writes it at `writeAt` and then stores the directory
// byte.
MapCommit planMapCommit(const Geometry& g, std::span<const uint8_t> map, uint32_t group,
                        uint8_t directoryByte);
void retargetMapBlock(std::span<uint8_t> map, uint32_t physical);

}  // namespace mdnio::extended
