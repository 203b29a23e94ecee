// The restrict program a handle keeps: storing entries into its 50 slots, and the view of it a
// restricted read applies.
//
// Entries stay in the handle until it is closed (the engine's close frees the constants); a
// later entry with the same index replaces the earlier one.  Everything that can be worked out
// from an entry alone (its copied constant, the value of a numeric constant) is worked out when
// it is stored, so that the loop over records repeats none of it.
#pragma once

#include <cstdint>

#include "frame/handle.h"

namespace mdnio::filter {

// Stores `entry` in slot `index` (0 to kRestrictSlots - 1, checked by the caller) and makes
// the handle the owner of its program.  Raises 7 for a negative field number, offset, width or
// constant length (nothing is stored), 39 for a missing constant, 8 when memory is exhausted.
void storeEntry(MdkFile* file, int32_t index, const MdkRestrictEntry& entry);

// Ends the program before slot `index`: the restricted reads stop testing there, whatever later
// slots still hold from an earlier program.
void endProgramAt(MdkFile* file, int32_t index);

// One entry as a restricted read applies it.
struct ActiveEntry {
    const RestrictSlot* slot = nullptr;
    bool numeric = false;
    int32_t op = 0;        // the operator without the numeric bit
    double divisor = 1.0;  // 10 to the power of the slot's scale
};

// The entries a restricted read applies, in index order: slot 0 up to the first slot without a
// constant or with length 0 (or up to the highest index stored).  Empty when the handle has no
// program of its own.
struct ActiveProgram {
    ActiveEntry entries[kRestrictSlots];
    int count = 0;
};

void activeProgram(const MdkFile* file, ActiveProgram& out);

}  // namespace mdnio::filter
