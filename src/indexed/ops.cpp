#include "indexed/ops.h"

#include "frame/frame.h"
#include "restrict/restricted_read.h"

namespace mdnio::indexed {

// Dictionary records, removal, transactions, raw reading, key adjusting and the header lock
// have no meaning for a record-number file: those slots keep the refusal of the base table,
// and unlock header keeps its do-nothing.  The restricted read is the one shared by the kinds
// whose records the library reads itself.
const MdkOpTable& operationTable() {
    static const MdkOpTable table = [] {
        MdkOpTable t = kRefusingTable;
        t.close = close;
        t.seek = seek;
        t.write = write;
        t.setpos = setpos;
        t.getpos = getpos;
        t.read = read;
        t.unlockRecord = unlockRecord;
        t.getKey = getKey;
        t.restrictedRead = filter::restrictedRead;
        return t;
    }();
    return table;
}

}  // namespace mdnio::indexed
