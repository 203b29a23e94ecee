// Reading a record: the current one, the next, the previous, or the one at a position.
#include <algorithm>
#include <cstring>

#include "indexed/file.h"
#include "indexed/header_lock.h"
#include "indexed/key.h"
#include "indexed/ops.h"
#include "platform/platform.h"

namespace mdnio::indexed {

namespace {

// The record count that decides whether `number` exists.  The count last seen is enough below
// it; at or past it the header is read again, as another process may have appended since.
int64_t countCovering(IndexedFile* x, int64_t number) {
    if (number < x->knownCount) return x->knownCount;
    HeaderLock header(x);
    uint8_t fields[kHeaderFields];
    header.reread(fields);
    header.release();
    return x->knownCount;
}

// The record number a read option asks for, or raise 17.
int64_t wantedRecord(MdkFile* f, int32_t move, int64_t from) {
    switch (move) {
        case MDK_READ_CURRENT:
            return from;
        case MDK_READ_NEXT:
            return from + 1;
        case MDK_READ_PRIOR:
            return from - 1;
        default:
            raiseError(f, MDK_E_INTERNAL);
    }
}

// Copies the key digits, then as much of the record as fits.  A buffer of exactly the eight
// digits takes the key alone and answers 8; otherwise a cut key or record answers -2.
int32_t deliver(IndexedFile* x, uint8_t* out, int32_t length) {
    int32_t room = std::max(length, 0);
    int32_t digits = std::min(room, kKeyDigits);
    std::memcpy(out, x->recordBuffer + kDigitsAt, static_cast<size_t>(digits));
    if (digits < kKeyDigits) return -2;
    int32_t data = std::min(room - kKeyDigits, x->recordLength);
    std::memcpy(out + kKeyDigits, x->record(), static_cast<size_t>(data));
    if (data == 0) return kKeyDigits;
    if (data < x->recordLength) return -2;
    return kKeyDigits + x->recordLength;
}

}  // namespace

int32_t read(MdkFile* f, void* buffer, int32_t length, int32_t option, int32_t offset,
             int32_t position) {
    IndexedFile* x = asIndexed(f);
    if (offset != 0) raiseError(f, MDK_E_RECOFFSET);
    // A locking read keeps the record's lock after the call (read for update), so that no other
    // writer changes the record until the caller writes it or unlocks it.
    bool keepLock = option & MDK_READ_LOCK;
    if (keepLock) f->shared->flags.fetch_or(kSharedOneCall);
    FileLockHold hold(f);

    int32_t move = option & ~MDK_READ_LOCK;
    int64_t from = x->current;
    if (position != 0) {
        from = position;
        move = MDK_READ_CURRENT;
    }
    int64_t wanted = wantedRecord(f, move, from);
    if (!nameableByKey(wanted) || wanted >= countCovering(x, wanted)) raiseError(f, MDK_E_EOF);

    if (keepLock) {
        int32_t rc = lockRecord(f, x->locks, recordLockOffset(x, wanted),
                                static_cast<uint32_t>(x->recordLength));
        if (rc) raiseError(f, rc);
    }
    // The record lock is given back before any raise below, while this thread still holds the
    // file lock that guards the handle's lock lists.
    auto fail = [&](int32_t code) {
        releaseTransient(f, x->locks);
        raiseError(f, code);
    };
    platform::IoResult io =
        platform::readAt(x->fd(), x->record(), static_cast<size_t>(x->recordLength),
                         recordOffset(x->recordLength, wanted));
    if (io.status == platform::IoStatus::SeekFailed) fail(MDK_E_SEEK);
    if (io.status != platform::IoStatus::Ok) fail(MDK_E_READ);
    // The record count covers this record, and a record is on disk before the count that
    // covers it (writers write the record, then the header): a file that ends inside it was cut
    // short, which is a failed read, not the end of the file.
    if (io.count < x->recordLength) fail(MDK_E_READ);
    if (keepLock) keepTransient(f, x->locks);

    setCurrent(x, static_cast<int32_t>(wanted));
    if (!buffer) return kKeyDigits + x->recordLength;
    return deliver(x, static_cast<uint8_t*>(buffer), length);
}

}  // namespace mdnio::indexed
