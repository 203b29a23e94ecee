// Extended verifier, chains: the key-descriptor chain (exactly n records that decode to the key
// layout) and the dictionary chain, each walked from its head with every previous link checked
// against the record before it, their blocks, and whether the password enciphers blocks.
#include "extended/verify_context.h"

#include "common/datablock.h"

namespace mdnio::extended::verify {

void Verifier::checkChainBlock(const Bytes& block, uint32_t logical) {
    if (!chainBlocks_.insert(logical).second) return;
    common::RecordShape shape;
    shape.kind = common::RecordShape::Kind::Chained;
    common::verifying::checkSlottedBlock(block, logical, shape, 0, problems_);
}

std::optional<ChainRecord> Verifier::readChained(uint32_t address, uint8_t type, std::string& why) {
    if (!addressValid(address)) {
        why = "address " + hex(address) + " is not a record address";
        return std::nullopt;
    }
    const RecordAddress at = splitAddress(address);
    const Bytes* block = readLogical(at.block, why);
    if (!block) return std::nullopt;
    if (blockType(*block) != type) {
        why = blockName(at.block) + " has type " + hex(blockType(*block)) + ", not " + hex(type);
        return std::nullopt;
    }
    reach(at.block);
    const Bytes copy = *block;
    numberOk(copy, at.block, blockName(at.block));
    checkChainBlock(copy, at.block);
    common::RecordShape shape;
    shape.kind = common::RecordShape::Kind::Chained;
    const common::RecordRef ref = common::readRecord(copy, at.slot, shape, geo_.blockSize);
    ChainedRecord record;
    if (ref.code != 0 || decodeChainedRecord(ref.bytes, geo_.blockSize, record) != 0) {
        why = "slot " + std::to_string(at.slot) + " holds no chained record inside its block";
        return std::nullopt;
    }
    return ChainRecord{address, record.next, record.previous,
                       Bytes(record.payload.begin(), record.payload.end())};
}

// The records from `head` on, in chain order, as far as they can be read.
std::vector<ChainRecord> Verifier::walkChain(uint32_t head, uint8_t type, const std::string& name) {
    std::vector<ChainRecord> records;
    std::set<uint32_t> seen;
    uint32_t from = 0;
    for (uint32_t at = head; at != 0;) {
        if (records.size() >= kMaxChainRecords || !seen.insert(at).second) {
            problem(name + ": record " + hex(at) + " reached twice (a cycle)");
            break;
        }
        std::string why;
        std::optional<ChainRecord> record = readChained(at, type, why);
        if (!record) {
            problem(name + ": record " + hex(at) + ": " + why);
            break;
        }
        if (record->previous != from) {
            problem(name + ": record " + hex(at) + " has previous link " + hex(record->previous) +
                    (from == 0 ? " but is the first" : " but is the next of " + hex(from)));
        }
        from = at;
        at = record->next;
        records.push_back(std::move(*record));
    }
    return records;
}

void Verifier::checkDictionary() {
    if (fixed_.dictionary == 0) return;
    std::vector<Bytes> payloads;
    for (ChainRecord& r : walkChain(fixed_.dictionary, kTypeDictionary, "dictionary chain"))
        payloads.push_back(std::move(r.payload));
    const int kind = common::verifying::passwordKind(payloads);
    if (kind == 2 || kind == 3) {
        enciphered_ = true;
        cache_.clear();  // blocks read before the cipher was known are read again
        if (!options_.decipher) {
            blocksReadable_ = false;
            problem("password: key and data blocks are enciphered (password kind " +
                    std::to_string(kind) +
                    ") and no decipher was given: key trees and records not checked");
        }
    }
}

// Exactly n key-descriptor records, decoding to keys of s segments that the key buffers and key
// blocks hold.  False when the key layout is not known.
bool Verifier::checkDescriptors() {
    const std::vector<ChainRecord> records =
        walkChain(fixed_.keyDescriptors, kTypeKeyDescriptor, "key-descriptor chain");
    if (records.size() != fixed_.keyCount) {
        problem("key-descriptor chain: " + std::to_string(records.size()) +
                " records for the header's " + std::to_string(fixed_.keyCount) + " keys");
        return false;
    }
    std::vector<KeyDescriptor> keys(records.size());
    for (size_t k = 0; k < records.size(); ++k) {
        if (decodeKeyDescriptor(records[k].payload, keys[k]) != 0) {
            problem("key-descriptor chain: record " + hex(records[k].address) + " (" + keyName(k) +
                    ") is shorter than its segments");
            return false;
        }
    }
    if (buildKeyLayout(fixed_, keys, layout_) != 0) {
        problem("key descriptors: they are not " + std::to_string(fixed_.keyCount) + " keys of " +
                std::to_string(fixed_.segmentCount) +
                " segments in all that fit the key buffers and key blocks");
        return false;
    }
    return true;
}

}  // namespace mdnio::extended::verify
