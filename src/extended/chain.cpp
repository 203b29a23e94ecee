// Chained records: the dictionary (0xFB blocks) and the key descriptors (0xFD blocks) are lists
// of records linked both ways across slotted blocks.  A walk never trusts a link: it stops with
// an error on a link that names no record, and on one that leads back to a record it passed.
#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "common/datablock.h"
#include "extended/extended.h"

namespace mdnio::extended {

ChainedRecord chainRecord(ExtFile* f, uint32_t address, uint8_t type) {
    ExtShared* s = f->sh();
    if (address == 0) raiseError(f, MDK_E_KEY);
    const RecordAddress at = splitAddress(address);
    if (at.slot == 0) raiseError(f, MDK_E_OFFSET);
    const uint8_t* block = fetchBlock(f, at.block, Fetch::Plain, type);
    const std::span<const uint8_t> bytes(block, s->blockSize);
    const common::RecordRef ref =
        common::readRecord(bytes, at.slot, {common::RecordShape::Kind::Chained, 0, 0}, 0);
    // A link to a slot that holds nothing is as broken as one to a record that does not fit.
    if (ref.code != 0) raiseError(f, MDK_E_OFFSET);
    ChainedRecord record;
    if (decodeChainedRecord(ref.bytes, s->blockSize, record) != 0) raiseError(f, MDK_E_OFFSET);
    return record;
}

ChainedRecord chainItem(ExtFile* f, uint32_t head, int32_t index, uint8_t type, uint32_t* address) {
    std::unordered_set<uint32_t> passed;
    uint32_t at = head;
    ChainedRecord record = chainRecord(f, at, type);
    const bool forward = index >= 0;
    // The steps to take, as a count that -2^31 fits.
    uint64_t steps = static_cast<uint64_t>(forward ? int64_t{index} : -int64_t{index});
    for (; steps > 0; steps--) {
        if (!passed.insert(at).second) raiseError(f, MDK_E_BUFFER);
        at = forward ? record.next : record.previous;
        record = chainRecord(f, at, type);
    }
    if (address) *address = at;
    return record;
}

int32_t opDict(MdkFile* mf, int32_t n, void* buf, int32_t len) {
    ExtFile* f = X(mf);
    if (len < 0 || (len > 0 && !buf)) raiseError(f, MDK_E_LENGTH);
    lockHeader(f);
    const ChainedRecord record = chainItem(f, f->sh()->fixed.dictionary, n, kTypeDictionary);
    const size_t copied = std::min(record.payload.size(), static_cast<size_t>(len));
    if (len > 0) {
        std::memset(buf, 0, static_cast<size_t>(len));
        std::memcpy(buf, record.payload.data(), copied);
    }
    const int32_t length = static_cast<int32_t>(record.payload.size());
    unlockHeader(f, false);
    return length;
}

}  // namespace mdnio::extended
