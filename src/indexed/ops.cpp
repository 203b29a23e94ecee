#include "indexed/ops.h"

#include "frame/frame.h"
#include "restrict/restricted_read.h"

namespace mdnio::indexed {

// Dictionary records, removal, transactions, raw reading, key adjusting and the header lock
// have no meaning for a record-number file: those slots refuse, and unlock header does
// nothing.  The restricted read is the one shared by the kinds whose records the library reads
// itself.
const MdkOpTable kTable = {
    .close = close,
    .dict = ops::refuseDict,
    .seek = seek,
    .write = write,
    .remove = ops::refuseRemove,
    .setpos = setpos,
    .getpos = getpos,
    .commit = ops::refuseCommit,
    .rollback = ops::refuseRollback,
    .read = read,
    .rawReadMode = ops::refuseRawReadMode,
    .unlockRecord = unlockRecord,
    .getKey = getKey,
    .keyAdjust = ops::refuseKeyAdjust,
    .dictAdd = ops::refuseDictAdd,
    .lockHeader = ops::refuseLockHeader,
    .unlockHeader = ops::nothingUnlockHeader,
    .dropKey = ops::refuseDropKey,
    .restrictedRead = filter::restrictedRead,
    .currentKey = currentKeyOf,
    .describeFile = describeFile,
    .keyLayout = keyLayoutOf,
};

const MdkOpTable& operationTable() {
    return kTable;
}

}  // namespace mdnio::indexed
