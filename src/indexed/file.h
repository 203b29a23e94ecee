// The handle of an indexed file.  Its shared block lives inside it: indexed handles never share
// one, every open has its own descriptor.  The record buffer follows the handle in the same
// allocation.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "common/journal.h"
#include "common/reclock.h"
#include "frame/frame.h"
#include "indexed/format.h"

namespace mdnio::indexed {

// Record buffer layout: the key length (always 8), the eight digits of the current record
// number, then the record.  The handle's key buffer points at its start, so the current key is
// always the digits.
constexpr int32_t kKeyLengthAt = 0;
constexpr int32_t kDigitsAt = 1;
constexpr int32_t kRecordAt = 9;

struct IndexedFile : MdkFile {
    MdkSharedFile sharedBlock;
    RecordLocks locks;
    int32_t recordLength = 0;
    int64_t knownCount = 0;  // record count as last read from the header
    int32_t current = 0;     // current record number
    uint8_t* recordBuffer = nullptr;
    common::JournalWriter journal;   // of rewrites in place (torn.h), opened when first needed
    std::vector<uint8_t> oldRecord;  // what the rewrite in progress overwrites, and where
    int64_t oldRecordAt = 0;

    uint8_t* record() { return recordBuffer + kRecordAt; }
    int fd() const { return sharedBlock.fd; }
};

inline IndexedFile* asIndexed(MdkFile* f) {
    return static_cast<IndexedFile*>(f);
}

void destroyIndexedFile(IndexedFile* x) noexcept;

struct IndexedFileDeleter {
    void operator()(IndexedFile* x) const noexcept { destroyIndexedFile(x); }
};
// A handle owned until it is handed out, so that a failed open frees it.
using IndexedFilePtr = std::unique_ptr<IndexedFile, IndexedFileDeleter>;

// A zero-filled handle with its record buffer behind it, in one allocation; null when memory
// is exhausted.
IndexedFilePtr makeIndexedFile(int32_t recordLength);

// Makes `number` current and keeps the key digits in step with it.  A number no key can name
// leaves the digits as they were (get key answers 0 for it).
void setCurrent(IndexedFile* x, int32_t number);

// Takes the header fields just read (or written) as the file's current state: header copy,
// record count.
void noteHeader(IndexedFile* x, const uint8_t* fields);

// The record-lock offset of the record at `fileOffset`: the offset itself, folded for files
// past 2 GB so that every record lock stays inside the lock window below the open's deny byte.
// Folding can only make two far-apart records share a lock (a needless wait), never let two
// writers of one record past each other.
uint32_t lockOffsetAt(int64_t fileOffset);

inline uint32_t recordLockOffset(const IndexedFile* x, int64_t number) {
    return lockOffsetAt(kHeaderSize + number * x->recordLength);
}

}  // namespace mdnio::indexed
