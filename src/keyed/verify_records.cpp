// Classic verifier, records: each record reached from key 0 read whole (its continuation pieces
// followed), its entry in every key rebuilt and compared, and the records no key reaches.
#include "keyed/verify_context.h"

#include "common/compress.h"
#include "common/keyvalue.h"

namespace mdnio::keyed::verify {

std::string Verifier::readRecordAt(uint32_t address, Bytes& out, uint32_t& link) {
    link = 0;
    return h_.blockMode ? readBlockRecord(address, out, link) : readSlotRecord(address, out);
}

// A record slot of slot mode: returns "" and the record buffer, or why it is unreadable.
std::string Verifier::readSlotRecord(uint32_t address, Bytes& out) {
    std::string why;
    if (!slotPosition(address, why)) return why;
    Bytes slot(h_.slotSize);
    if (!files_.get(0)->read(address, slot)) return "the slot cannot be read";
    addExtent(address, h_.slotSize, recordName(address));
    if (slot[0] == kDeletedSlot) return "the slot is a deleted slot (0xFF)";
    if (slot[0] & kPieceMark) return "the slot is marked as a continuation piece";
    if ((slot[0] & 0x7F) > h_.keyArea) {
        return "key area length " + std::to_string(slot[0] & 0x7F) + " is above K";
    }
    const size_t k = static_cast<size_t>(h_.keyArea);
    if (k + 3 > slot.size()) return "the slot cannot hold its record head";
    const int length = static_cast<int16_t>(getBe16(&slot[k + 1]));
    if (length < 0) return "data length " + std::to_string(length) + " is negative";
    if (length > h_.recordSize) {
        return "record length " + std::to_string(length) + " is above R " +
               std::to_string(h_.recordSize);
    }
    if (static_cast<size_t>(length) + k + 3 > h_.slotSize) {
        return "data length " + std::to_string(length) + " runs past the slot";
    }
    out.assign(slot.begin(), slot.begin() + static_cast<std::ptrdiff_t>(k + 3 + length));
    return {};
}

// One piece of a record in a data block.  The buffer's data length has bit 15 cleared and
// compressed data expanded.
std::string Verifier::readBlockRecord(uint32_t address, Bytes& out, uint32_t& link) {
    const uint32_t blockAddress = address & ~0xFFu;
    const unsigned slot = address & 0xFF;
    if (slot == 0) return "the address names slot 0";
    std::string why;
    const Bytes* block = readBlock(blockAddress, why);
    if (!block) return why;
    if ((*block)[0] != kTypeData) {
        return blockName(blockAddress) + " has type " + hex((*block)[0]) +
               ", not a data block (0x80)";
    }
    const size_t body = h_.blockSize - 6;
    if (slot > (*block)[5]) return "slot " + std::to_string(slot) + " is beyond the slot count";
    const size_t p = getBe16(&(*block)[6 + 2 * slot]);
    const size_t k = static_cast<size_t>(h_.keyArea);
    if (p == 0) return "slot " + std::to_string(slot) + " is unused";
    if (p + k + 3 > body) return "record offset " + std::to_string(p) + " outside its block";
    const std::span<const uint8_t> rec = std::span(*block).subspan(6 + p);
    if ((rec[0] & 0x7F) > h_.keyArea) {
        return "key area length " + std::to_string(rec[0] & 0x7F) + " is above K";
    }
    const uint16_t stored = getBe16(&rec[k + 1]);
    const size_t length = stored & 0x7FFF;
    const bool continued = (stored & 0x8000) != 0;
    if (length + k + 3 > h_.slotSize) {
        return "stored length " + std::to_string(length) + " runs past the slot size S";
    }
    if (p + k + 3 + length + (continued ? 4 : 0) > body) return "the record runs past its block";
    const std::span<const uint8_t> data = rec.subspan(k + 3, length);
    if (continued) link = getBe32(&rec[k + 3 + length]);
    out.assign(rec.begin(), rec.begin() + static_cast<std::ptrdiff_t>(k + 1));
    Bytes expanded(static_cast<size_t>(h_.recordSize));
    long n = static_cast<long>(length);
    if (h_.compressed) {
        n = common::decompressRecord(data, expanded);
        if (n == common::kDecompressOverflow) {
            return "compressed data expands beyond the record size R " +
                   std::to_string(h_.recordSize);
        }
        if (n < 0) return "compressed data does not decompress";
    } else if (length > static_cast<size_t>(h_.recordSize)) {
        return "record length " + std::to_string(length) + " is above R " +
               std::to_string(h_.recordSize);
    } else {
        std::copy(data.begin(), data.end(), expanded.begin());
    }
    out.push_back(static_cast<uint8_t>(n >> 8));
    out.push_back(static_cast<uint8_t>(n));
    out.insert(out.end(), expanded.begin(), expanded.begin() + n);
    return {};
}

// Reads the record at `address` and follows its continuation pieces; "" when sound.
std::string Verifier::readOwner(uint32_t address, Bytes& out) {
    if (!reachedSlots_.insert(address).second) return "it is reached twice";
    uint32_t link = 0;
    if (std::string why = readRecordAt(address, out, link); !why.empty()) return why;
    if (out[0] & kPieceMark) return "it is a continuation piece, not a record";
    const size_t k = static_cast<size_t>(h_.keyArea);
    for (size_t pieces = 0; link != 0; ++pieces) {
        const std::string where = "continuation piece " + hex(link);
        if (pieces >= kMaxPiecesPerRecord) {
            return "more than " + std::to_string(kMaxPiecesPerRecord) + " continuation pieces";
        }
        if (!reachedSlots_.insert(link).second) return where + " is reached twice (a cycle?)";
        Bytes piece;
        const uint32_t at = link;
        if (std::string why = readRecordAt(at, piece, link); !why.empty()) {
            return where + ": " + why;
        }
        if (!(piece[0] & kPieceMark)) return where + " is not marked as a piece (bit 7)";
        if ((piece[0] & 0x7F) != (out[0] & 0x7F) ||
            !std::equal(piece.begin() + 1, piece.begin() + 1 + static_cast<std::ptrdiff_t>(k),
                        out.begin() + 1)) {
            return where + " does not carry its owner's key area";
        }
    }
    return {};
}

void Verifier::checkRecords() {
    if (trees_.empty()) return;
    const std::vector<LeafEntry>& key0 = trees_[0].leaves;
    report_.records = static_cast<uint32_t>(key0.size());
    if (h_.recordCount != key0.size()) {
        problem("header: record count " + std::to_string(h_.recordCount) + " differs from the " +
                std::to_string(key0.size()) + " key 0 leaf entries");
    }
    if (h_.recordSize == 0) return;  // key-only: the entries are the records

    std::vector<common::verifying::IndexedRecord> records;
    std::set<uint32_t> unreadable;
    for (const LeafEntry& e : key0) {
        const uint32_t address = static_cast<uint32_t>(-int64_t{e.pointer});
        Bytes buffer;
        if (std::string why = readOwner(address, buffer); !why.empty()) {
            problem(recordName(address) + " (key 0 " + blockName(e.block) +
                    "): cannot be read: " + why);
            unreadable.insert(address);
            continue;
        }
        checkKey0Entry(e, address, buffer);
        records.push_back({address, address, std::move(buffer)});
    }
    for (size_t k = 1; k < trees_.size(); ++k) {
        common::verifying::checkAlternateKey(layout_, k, trees_[k].leaves, records, unreadable,
                                             (layout_.keys[k].flags & common::kKeyUnique) != 0,
                                             problems_);
    }
    checkOrphans();
}

// Key 0's value rebuilt from the record must be the leaf entry that points at it; a
// sequence suffix, which cannot be rebuilt, is taken from the entry.
void Verifier::checkKey0Entry(const LeafEntry& e, uint32_t address, const Bytes& record) {
    const common::KeyDesc& key = layout_.keys[0];
    Bytes value(key.valueSize());
    if (common::buildKeyValue(layout_, 0, record, address, false, kNoSequence, value) != 0) {
        problem(recordName(address) + ": key 0 value cannot be built");
        return;
    }
    if (key.suffix == common::KeySuffix::Sequence) {
        // Build twice with different sequence numbers: the bytes that differ are the suffix.
        Bytes one(key.valueSize()), other(key.valueSize());
        common::buildKeyValue(layout_, 0, record, address, true, 0, one);
        common::buildKeyValue(layout_, 0, record, address, true, 0xFFFFFFFEu, other);
        Bytes sequence;
        for (size_t i = 0; i < value.size(); ++i) {
            value[i] = one[i];
            if (one[i] != other[i]) {
                value[i] = e.value[i];
                sequence.push_back(e.value[i]);
            }
        }
        if (sequence.size() == 4 && getBe32(sequence.data()) > h_.sequence) {
            problem(recordName(address) + ": key 0 sequence suffix " +
                    std::to_string(getBe32(sequence.data())) + " is above the sequence counter " +
                    std::to_string(h_.sequence));
        }
    }
    if (value != e.value) {
        problem(recordName(address) + ": key 0 entry " + dump(e.value) +
                " does not match the record's key 0 value " + dump(value));
    }
}

// Block mode: a record in a data block that neither key 0 nor a continuation chain reaches
// is lost to every reader but the raw one.
void Verifier::checkOrphans() {
    for (uint32_t address : liveSlots_) {
        if (!reachedSlots_.count(address)) {
            problem(recordName(address) + ": not reached from key 0 nor from a continuation chain");
        }
    }
}

}  // namespace mdnio::keyed::verify
