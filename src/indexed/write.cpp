// Writing a record: in place, or as an append at the record count.
#include <algorithm>
#include <cstring>

#include "indexed/file.h"
#include "indexed/header_lock.h"
#include "indexed/key.h"
#include "indexed/ops.h"
#include "indexed/torn.h"
#include "platform/platform.h"

namespace mdnio::indexed {

namespace {

// The record number a write names: its key digits, or record 0 without a key.
int64_t keyedRecord(MdkFile* f, const void* key, int32_t keyLength) {
    if (keyLength <= 0) return 0;
    // More digits than a key holds would name records no read can reach (and overflow).
    if (keyLength > kKeyDigits || !key) raiseError(f, MDK_E_LENGTH);
    int64_t number = 0;
    if (!parseKeyDigits(static_cast<const uint8_t*>(key), keyLength, &number))
        raiseError(f, MDK_E_KEYNUM);
    return number;
}

}  // namespace

// The write mode's insert and replace permissions apply as for every kind in one respect: a
// write that may only insert refuses a record that exists (26).  That is what lets writers
// append side by side: each inserts at the count it last saw, and the one that finds the number
// taken learns the new count (MDGetEnvMode -4) and tries again, where a plain write would have
// replaced the other writer's record.  A write that may only replace is not refused at the end:
// it appends, as every write does there.
//
// A partial rewrite from an offset (the extra argument) is refused with 32: records are written
// whole, and zero-filling the rest would destroy what the caller meant to keep.
int32_t write(MdkFile* f, const void* data, int32_t dataLength, const void* key, int32_t keyLength,
              int32_t writeMode, int32_t offset) {
    IndexedFile* x = asIndexed(f);
    if (offset != 0) raiseError(f, MDK_E_RECOFFSET);
    if (dataLength < 0 || (!data && dataLength > 0)) raiseError(f, MDK_E_LENGTH);
    int64_t number = keyedRecord(f, key, keyLength);

    f->shared->flags.fetch_or(kSharedOneCall);
    FileLockHold hold(f);
    HeaderLock header(x);
    auto fail = [&](int32_t code) {
        releaseTransient(f, x->locks);
        header.fail(code);
    };

    // The count on disk, not the one seen at open: other handles and processes append too.
    uint8_t fields[kHeaderFields];
    header.reread(fields);
    if (int32_t code = repairTornWrite(x)) fail(code);
    Header state = decodeHeader(fields);
    int64_t count = state.recordCount;
    if (number > count) fail(MDK_E_EOF);
    if (state.maxRecords != 0 && number >= state.maxRecords) fail(MDK_E_FULL);
    if (!(writeMode & MDK_WRITE_UPDATE) && number < count) fail(MDK_E_DUPLICATE);

    int32_t rc = lockRecord(f, x->locks, recordLockOffset(x, number),
                            static_cast<uint32_t>(x->recordLength));
    if (rc) fail(rc);

    // Data longer than a record is cut to the record length: nothing is written past it.
    size_t length = static_cast<size_t>(x->recordLength);
    std::memset(x->record(), 0, length);
    if (dataLength > 0)
        std::memcpy(x->record(), data, std::min(static_cast<size_t>(dataLength), length));
    // A rewrite in place is journalled; an append needs no journal (torn.h).
    const int64_t at = recordOffset(x->recordLength, number);
    const bool journalled = number < count;
    if (journalled && !saveBeforeRewrite(x, at, length)) fail(MDK_E_WRITE);
    platform::IoResult io = platform::writeAt(x->fd(), x->record(), length, at);
    if (io.status != platform::IoStatus::Ok || io.count != static_cast<int64_t>(length)) {
        if (journalled) undoRewrite(x);
        fail(io.status == platform::IoStatus::SeekFailed ? MDK_E_SEEK : MDK_E_WRITE);
    }
    if (journalled && !rewriteDone(x)) fail(MDK_E_WRITE);

    if (number == count) {
        encodeRecordCount(fields, static_cast<uint32_t>(count + 1));
        io = platform::writeAt(x->fd(), fields, sizeof fields, 0);
        if (io.status == platform::IoStatus::SeekFailed) fail(MDK_E_SEEK);
        if (io.status != platform::IoStatus::Ok || io.count != static_cast<int64_t>(sizeof fields))
            fail(MDK_E_INDEXHEADER);
        noteHeader(x, fields);
    }
    if (x->env->syncWrites && !platform::syncFile(x->fd())) fail(MDK_E_WRITE);

    setCurrent(x, static_cast<int32_t>(number));
    releaseTransient(f, x->locks);
    releaseHeld(f, x->locks, kReleaseAll);
    header.release();
    return 0;
}

}  // namespace mdnio::indexed
