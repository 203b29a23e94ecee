#include "restrict/current_key.h"

#include <algorithm>

#include "frame/frame.h"
#include "keyed/keyed.h"

namespace mdnio::filter {

namespace {

// An indexed file's key is its record number as eight digits, kept after the length byte.
constexpr size_t kIndexedKeyDigits = 8;

// The classic engine keeps the value at the position in its key buffer (length byte, then the
// value, suffix included); the length handed out is the current key's, without the suffix.
// The buffer holds the largest value of the file, so both counts are bounded by it.
CurrentKey classicKey(MdkFile* file) {
    const size_t capacity = static_cast<size_t>(std::max(file->shared->keyBufferSize, 1)) - 1;
    const uint8_t* buffer = file->keyBuffer;
    CurrentKey key;
    key.bytes = buffer + 1;
    key.stored = std::min<size_t>(buffer[0], capacity);
    key.length = static_cast<int32_t>(
        std::min<size_t>(static_cast<size_t>(keyed::currentKeyLength(file)), capacity));
    return key;
}

}  // namespace

CurrentKey currentKey(MdkFile* file) {
    if (file->keyBuffer) {
        switch (file->kind) {
            case MDK_KIND_KEYED:
                return classicKey(file);
            case MDK_KIND_INDEXED:
                return CurrentKey{file->keyBuffer + 1, kIndexedKeyDigits,
                                  static_cast<int32_t>(kIndexedKeyDigits)};
            default:
                break;
        }
    }
    raiseError(file, MDK_E_FILETYPE);
}

}  // namespace mdnio::filter
