#include "indexed/file.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "indexed/format.h"
#include "indexed/key.h"

namespace mdnio::indexed {

namespace {
// Record locks sit at kLockBase + offset; the deny byte that every open locks is 2 GB above
// kLockBase.  Offsets are kept below this bound, which leaves room for the longest record.
constexpr int64_t kLockWindow = 0x80000000LL - 0x10000;
}  // namespace

IndexedFilePtr makeIndexedFile(int32_t recordLength) {
    static_assert(alignof(IndexedFile) <= alignof(std::max_align_t));
    size_t bufferLength = static_cast<size_t>(recordLength) + kRecordAt;
    void* memory = std::calloc(1, sizeof(IndexedFile) + bufferLength);
    if (!memory) return nullptr;
    IndexedFile* x;
    try {
        x = new (memory) IndexedFile;
    } catch (...) {
        std::free(memory);
        return nullptr;
    }
    x->recordBuffer = static_cast<uint8_t*>(memory) + sizeof(IndexedFile);
    x->recordLength = recordLength;
    return IndexedFilePtr(x);
}

void destroyIndexedFile(IndexedFile* x) noexcept {
    x->~IndexedFile();
    std::free(x);
}

void setCurrent(IndexedFile* x, int32_t number) {
    x->current = number;
    if (nameableByKey(number)) formatKey(number, x->recordBuffer + kDigitsAt);
}

void noteHeader(IndexedFile* x, const uint8_t* fields) {
    MdkSharedFile& sh = x->sharedBlock;
    std::memcpy(sh.header, fields, kHeaderFields);
    x->knownCount = decodeHeader(fields).recordCount;
    sh.recordCount =
        static_cast<int32_t>(std::min<int64_t>(x->knownCount, std::numeric_limits<int32_t>::max()));
}

uint32_t lockOffsetAt(int64_t fileOffset) {
    if (fileOffset >= kLockWindow)
        fileOffset = kHeaderSize + (fileOffset - kHeaderSize) % (kLockWindow - kHeaderSize);
    return static_cast<uint32_t>(fileOffset);
}

}  // namespace mdnio::indexed
