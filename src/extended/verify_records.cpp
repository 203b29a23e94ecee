// Extended verifier, trees and records: every key tree through the walk all keyed formats share,
// the records key 0 reaches with their overflow parts, each record's entry in every key (rebuilt
// with its serial as the suffix), the record count, unique serials, and the records and parts no
// key reaches.
#include "extended/verify_context.h"

#include "common/compress.h"
#include "common/datablock.h"
#include "common/keyblock.h"
#include "common/keyvalue.h"

namespace mdnio::extended::verify {

namespace {

using common::verifying::LeafEntry;

// Key blocks by logical number, through the map.
class ExtendedTreeBlocks : public common::verifying::TreeBlocks {
  public:
    explicit ExtendedTreeBlocks(Verifier& v) : v_(v) {}
    const Bytes* read(uint32_t logical, std::string& why) override {
        return v_.readLogical(logical, why);
    }
    void accepted(const Bytes& block, uint32_t logical, const std::string& where) override {
        v_.numberOk(block, logical, where);
        v_.reach(logical);
    }

  private:
    Verifier& v_;
};

uint32_t addressOf(const LeafEntry& e) {
    return static_cast<uint32_t>(-int64_t{e.pointer});
}

}  // namespace

void Verifier::checkTrees() {
    ExtendedTreeBlocks blocks(*this);
    const common::verifying::TreeRules rules{fixed_.maxDataLength == 0, !options_.treesOnly};
    trees_ = common::verifying::walkKeyTrees(layout_, geo_.blockSize, region_.roots, rules, blocks,
                                             reachedKeyBlocks_, problems_);
    for (const TreeWalk& walk : trees_)
        report_.trees.push_back(
            devtools::KeyTreeShape{std::max(walk.leafDepth, 0), walk.blocks, walk.entries});
}

// One part of a data record: "" and the part, or why it cannot be read.
std::string Verifier::readPart(uint32_t address, Part& out) {
    if (!addressValid(address)) return "address " + hex(address) + " is not a record address";
    const RecordAddress at = splitAddress(address);
    std::string why;
    const Bytes* block = readLogical(at.block, why);
    if (!block) return why;
    if (blockType(*block) != kTypeData) {
        return blockName(at.block) + " has type " + hex(blockType(*block)) +
               ", not a data block (0x80)";
    }
    reach(at.block);
    common::RecordShape shape;
    shape.kind = common::RecordShape::Kind::Data;
    shape.keyArea = static_cast<uint16_t>(limits_.keyArea);
    shape.trailer = kSerialSize;
    const common::RecordRef ref = common::readRecord(*block, at.slot, shape, 0);
    if (ref.code != 0) return "slot " + std::to_string(at.slot) + " holds no record";
    DataRecord record;
    switch (decodeDataRecord(ref.bytes, limits_, record)) {
        case 0:
            break;
        case MDK_E_KEYSIZE:
            return "key length above the key area size " + std::to_string(limits_.keyArea);
        case MDK_E_RECSIZE:
            return "stored length above the record buffer or the maximum data length";
        default:
            return "the record runs past its block";
    }
    out.overflowPart = record.overflowPart;
    out.keyLength = record.keyLength;
    out.keyArea.assign(record.keyArea.begin(), record.keyArea.end());
    out.serial = record.serial;
    out.link = record.hasLink ? record.link : 0;
    if (!limits_.compressed) {
        out.data.assign(record.data.begin(), record.data.end());
        return {};
    }
    Bytes expanded(limits_.maxDataLength);
    const long n = common::decompressRecord(record.data, expanded);
    if (n < 0) return "compressed data does not expand within the maximum data length";
    out.data.assign(expanded.begin(), expanded.begin() + n);
    return {};
}

// The record at `address` with every overflow part it links; "" when sound.
std::string Verifier::readRecord(uint32_t address, IndexedRecord& out) {
    if (!reachedSlots_.insert(address).second) return "it is reached twice";
    Part first;
    if (std::string why = readPart(address, first); !why.empty()) return why;
    if (first.overflowPart) return "it is an overflow part, not a record";
    out.address = address;
    out.suffix = first.serial;
    out.buffer.assign(1, first.keyLength);
    out.buffer.insert(out.buffer.end(), first.keyArea.begin(), first.keyArea.end());
    out.buffer.push_back(static_cast<uint8_t>(first.data.size() >> 8));
    out.buffer.push_back(static_cast<uint8_t>(first.data.size()));
    out.buffer.insert(out.buffer.end(), first.data.begin(), first.data.end());
    size_t parts = 0;
    for (uint32_t link = first.link; link != 0; ++parts) {
        const std::string where = "overflow part " + hex(link);
        if (parts >= kMaxOverflowParts) {
            return "more than " + std::to_string(kMaxOverflowParts) + " overflow parts";
        }
        if (!reachedSlots_.insert(link).second) return where + " is reached twice (a cycle?)";
        Part part;
        if (std::string why = readPart(link, part); !why.empty()) return where + ": " + why;
        if (!part.overflowPart) return where + " is not marked as an overflow part (bit 7)";
        if (part.serial != first.serial) {
            return where + " carries serial " + std::to_string(part.serial) + ", not " +
                   std::to_string(first.serial);
        }
        if (part.keyLength != first.keyLength || part.keyArea != first.keyArea)
            return where + " does not carry its record's key area";
        link = part.link;
    }
    return {};
}

void Verifier::checkRecords() {
    if (trees_.empty()) return;
    const std::vector<LeafEntry>& key0 = trees_[0].leaves;
    report_.records = static_cast<uint32_t>(key0.size());
    if (region_.recordCount != key0.size()) {
        problem("header: record count " + std::to_string(region_.recordCount) +
                " differs from the " + std::to_string(key0.size()) + " key 0 leaf entries");
    }
    if (fixed_.maxDataLength == 0) return;  // key-only: the entries are the records

    std::vector<IndexedRecord> records;
    std::set<uint32_t> unreadable;
    std::map<uint32_t, uint32_t> serials;  // serial -> record
    for (const LeafEntry& e : key0) {
        IndexedRecord r;
        if (std::string why = readRecord(addressOf(e), r); !why.empty()) {
            problem(recordName(addressOf(e)) + " (key 0 " + blockName(e.block) +
                    "): cannot be read: " + why);
            unreadable.insert(addressOf(e));
            continue;
        }
        checkKey0Entry(e, r);
        const auto [at, fresh] = serials.emplace(r.suffix, r.address);
        if (!fresh) {
            problem("serial " + std::to_string(r.suffix) + ": held by " + recordName(at->second) +
                    " and " + recordName(r.address));
        }
        if ((region_.insertSequence >> 32) == 0 && r.suffix > region_.insertSequence) {
            problem(recordName(r.address) + ": serial " + std::to_string(r.suffix) +
                    " is above the insert sequence " + std::to_string(region_.insertSequence));
        }
        records.push_back(std::move(r));
    }
    // Alternate keys end in the record serial.
    for (size_t k = 1; k < trees_.size(); ++k) {
        common::verifying::checkAlternateKey(layout_, k, trees_[k].leaves, records, unreadable,
                                             checkedForDuplicates(layout_, k), problems_);
    }
    checkOrphans();
}

// Key 0's value rebuilt from the record, with its serial when key 0 has a suffix, must be the leaf
// entry that points at it.
void Verifier::checkKey0Entry(const LeafEntry& e, const IndexedRecord& r) {
    const common::KeyDesc& key = layout_.keys[0];
    const bool suffixed = key.suffix != common::KeySuffix::None;
    Bytes value(key.valueSize());
    if (common::buildKeyValue(layout_, 0, r.buffer, r.suffix, suffixed, r.suffix - 1, value) != 0) {
        problem(recordName(r.address) + ": key 0 value cannot be built");
        return;
    }
    if (value != e.value) {
        problem(recordName(r.address) + ": key 0 entry " + dump(e.value) +
                " does not match the record's key 0 value " + dump(value) + " (serial " +
                std::to_string(r.suffix) + ")");
    }
}

// Records in data blocks that key 0 does not reach, and overflow parts no record links, are lost
// to every reader but the physical-order one (which also skips the parts).
void Verifier::checkOrphans() {
    for (uint32_t address : liveRecords_) {
        if (!reachedSlots_.count(address))
            problem(recordName(address) + ": not reached from key 0");
    }
    for (uint32_t address : liveParts_) {
        if (!reachedSlots_.count(address)) {
            problem(recordName(address) + ": overflow part that no record links (an orphan part)");
        }
    }
}

}  // namespace mdnio::extended::verify
