// Positioning: seek by key digits, set and get the current record number, and the current key.
#include "indexed/file.h"
#include "indexed/key.h"
#include "indexed/ops.h"

namespace mdnio::indexed {

int32_t seek(MdkFile* f, const void* key, int32_t keyLength, int32_t keyNumber) {
    // The record number is the only key; seek counts key numbers from 1, and 0 means the
    // current key, which is the same one.
    if (keyNumber != 0 && keyNumber != 1) raiseError(f, MDK_E_KEYNUM);
    if (keyLength < 0 || keyLength > kKeyDigits) raiseError(f, MDK_E_LENGTH);
    int64_t number = 0;
    if (keyLength > 0) {
        if (!key) raiseError(f, MDK_E_LENGTH);
        if (!parseKeyDigits(static_cast<const uint8_t*>(key), keyLength, &number))
            raiseError(f, MDK_E_KEYNUM);
    }
    // The record count is not consulted: a later read reports a number beyond the end.
    IndexedFile* x = asIndexed(f);
    FileLockHold hold(f);
    setCurrent(x, static_cast<int32_t>(number));
    return 0;
}

int32_t setpos(MdkFile* f, int32_t number) {
    IndexedFile* x = asIndexed(f);
    FileLockHold hold(f);
    setCurrent(x, number);
    return 0;
}

int32_t getpos(MdkFile* f) {
    IndexedFile* x = asIndexed(f);
    FileLockHold hold(f);
    return x->current;
}

// Writes the eight digits and a terminator, 9 bytes, and answers 8.  A current number no key
// can name (negative, or more than eight digits) has no key: nothing is written and the answer
// is 0.  A buffer too small for the 9 bytes (or none) raises 7 with nothing written, rather
// than handing back a key the caller could not tell from a cut one.  There is one key, so the
// key number is not looked at.
int32_t getKey(MdkFile* f, void* buffer, int32_t length, int32_t /*keyNumber*/) {
    IndexedFile* x = asIndexed(f);
    FileLockHold hold(f);
    if (!nameableByKey(x->current)) return 0;
    if (!buffer || length < kKeyDigits + 1) raiseError(f, MDK_E_LENGTH);
    auto* out = static_cast<uint8_t*>(buffer);
    formatKey(x->current, out);
    out[kKeyDigits] = 0;
    return kKeyDigits;
}

}  // namespace mdnio::indexed
