#include "indexed/header_lock.h"

#include "platform/platform.h"

namespace mdnio::indexed {

namespace {

constexpr uint64_t kHeaderLockByte = platform::kLockBase + 0x100;
constexpr int kRetries = 3000;
constexpr int kRetryPauseMs = 10;

}  // namespace

HeaderLock::HeaderLock(IndexedFile* x) : x_(x) {
    platform::LockResult r = platform::lockRange(x->fd(), kHeaderLockByte, 1);
    if (r == platform::LockResult::Busy && !(x->env->lockOptions & MDK_LOCK_NOWAIT_HEADER)) {
        for (int i = 0; i < kRetries && r == platform::LockResult::Busy; i++) {
            platform::sleepMs(kRetryPauseMs);
            r = platform::lockRange(x->fd(), kHeaderLockByte, 1);
        }
    }
    if (r != platform::LockResult::Ok) raiseError(x, MDK_E_BUSY);
    held_ = true;
}

HeaderLock::~HeaderLock() {
    release();
}

void HeaderLock::release() {
    if (!held_) return;
    platform::unlockRange(x_->fd(), kHeaderLockByte, 1);
    held_ = false;
}

void HeaderLock::fail(int32_t code) {
    release();
    raiseError(x_, code);
}

// Every writer puts a record on disk before the count that covers it (the record, then the
// header), so the file, measured after its header was read, holds at least the records the
// count names; records past the count may be there too, appended by a writer that has not yet
// written the header.  A count beyond the file's end is damage: an append at it would leave a
// hole of millions of records, and a rewrite would trust a count the file belies.
bool HeaderLock::countIsOnDisk(const uint8_t (&fields)[kHeaderFields]) const {
    int64_t length = platform::fileLength(x_->fd());
    return length >= recordOffset(x_->recordLength, decodeHeader(fields).recordCount);
}

void HeaderLock::reread(uint8_t (&fields)[kHeaderFields]) {
    platform::IoResult io = platform::readAt(x_->fd(), fields, kHeaderFields, 0);
    if (io.status != platform::IoStatus::Ok || io.count != static_cast<int64_t>(kHeaderFields))
        fail(MDK_E_INDEXHEADER);
    if (!hasIndexedMagic(fields) || decodeHeader(fields).recordLength != x_->recordLength)
        fail(MDK_E_INDEXHEADER);
    if (!countIsOnDisk(fields)) fail(MDK_E_INDEXHEADER);
    noteHeader(x_, fields);
}

}  // namespace mdnio::indexed
