#include "restrict/program.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "frame/frame.h"
#include "restrict/parse_number.h"

namespace mdnio::filter {

namespace {

// Every copy has room for a short constant, so that replacing one short constant by another
// never reallocates; one more byte keeps the copy zero-terminated.
constexpr int64_t kMinimumCopy = 32;

}  // namespace

void storeEntry(MdkFile* file, int32_t index, const MdkRestrictEntry& entry) {
    if (entry.fieldNumber < 0 || entry.offset < 0 || entry.width < 0 || entry.length < 0)
        raiseError(file, MDK_E_LENGTH);
    if (entry.length > 0 && !entry.value) raiseError(file, MDK_E_MISSING);
    const int64_t need = std::max<int64_t>(entry.length, kMinimumCopy) + 1;
    if (need > std::numeric_limits<int32_t>::max()) raiseError(file, MDK_E_LENGTH);

    RestrictSlot& slot = file->restrict[index];
    // The new copy is made before the old one is let go, so that a failed allocation leaves the
    // slot as it was.
    if (!slot.value || slot.capacity < need) {
        char* copy = static_cast<char*>(allocOrRaise(file, static_cast<size_t>(need)));
        freeMem(slot.value);
        slot.value = copy;
        slot.capacity = static_cast<int32_t>(need);
    } else {
        std::memset(slot.value, 0, static_cast<size_t>(slot.capacity));
    }
    if (entry.length > 0) std::memcpy(slot.value, entry.value, static_cast<size_t>(entry.length));

    slot.fieldNumber = entry.fieldNumber;
    slot.offset = entry.offset;
    slot.width = entry.width;
    slot.op = entry.op;
    slot.scale = entry.scale;
    slot.length = entry.length;
    if (entry.op & MDK_OP_NUMERIC) {
        // The text ends at the copy's first zero byte.  A constant that is not a number keeps
        // the slot's previous numeric constant.
        const void* zero = std::memchr(slot.value, 0, static_cast<size_t>(entry.length));
        const int32_t text =
            zero ? static_cast<int32_t>(static_cast<const char*>(zero) - slot.value) : entry.length;
        parseNumber(slot.value, text, &slot.number);
    }
    file->restrictOwner = file;
    file->restrictLast = std::max(file->restrictLast, index);
}

void endProgramAt(MdkFile* file, int32_t index) {
    if (file->restrictOwner != file || index >= kRestrictSlots) return;
    file->restrict[index].length = 0;
}

void activeProgram(const MdkFile* file, ActiveProgram& out) {
    out.count = 0;
    if (file->restrictOwner != file) return;
    for (int i = 0; i <= file->restrictLast && i < kRestrictSlots; ++i) {
        const RestrictSlot& slot = file->restrict[i];
        if (!slot.value || slot.length <= 0) break;
        ActiveEntry& e = out.entries[out.count++];
        e.slot = &slot;
        e.numeric = (slot.op & MDK_OP_NUMERIC) != 0;
        e.op = slot.op & ~MDK_OP_NUMERIC;
        e.divisor = slot.scale != 0 ? std::pow(10.0, slot.scale) : 1.0;
    }
}

}  // namespace mdnio::filter
