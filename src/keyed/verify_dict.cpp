// Classic verifier, dictionary and password: the dictionary chain both ways, its blocks, and
// whether the password record enciphers the blocks.
#include "keyed/verify_context.h"

namespace mdnio::keyed::verify {

void Verifier::checkDictionaryBlock(const Bytes& block, uint32_t address) {
    if (!dictBlocks_.insert(address).second) return;
    common::RecordShape shape;
    shape.kind = common::RecordShape::Kind::Chained;
    checkSlottedBlock(block, address, shape, 0, problems_);
    addExtent(address, h_.blockSize, "dictionary " + blockName(address));
}

std::optional<DictRecord> Verifier::readDictRecord(uint32_t address, std::string& why) {
    const uint32_t blockAddress = address & ~0xFFu;
    const unsigned slot = address & 0xFF;
    if (slot == 0) {
        why = "address " + hex(address) + " names slot 0";
        return std::nullopt;
    }
    const Bytes* block = readBlock(blockAddress, why);
    if (!block) return std::nullopt;
    if ((*block)[0] != kTypeDict) {
        why = blockName(blockAddress) + " has type " + hex((*block)[0]) +
              ", not a dictionary block (0xFB)";
        return std::nullopt;
    }
    if (!h_.blockMode) checkDictionaryBlock(*block, blockAddress);
    const size_t body = h_.blockSize - 6;
    if (slot > (*block)[5] || 2 + 2 * size_t{slot} > body) {
        why = "slot " + std::to_string(slot) + " is beyond the block's slot count";
        return std::nullopt;
    }
    const size_t p = getBe16(&(*block)[6 + 2 * slot]);
    if (p == 0 || p + 10 > body) {
        why = "slot " + std::to_string(slot) + " has no record inside the block";
        return std::nullopt;
    }
    const uint8_t* rec = &(*block)[6 + p];
    const size_t total = getBe16(rec + 8);
    if (total < 10 || p + total > body) {
        why = "record length " + std::to_string(total) + " does not fit in its block";
        return std::nullopt;
    }
    return DictRecord{getBe32(rec), getBe32(rec + 4), Bytes(rec + 10, rec + total)};
}

// Walks the dictionary records from header 243 both ways, checks that next and previous
// links agree, and finds out whether the file's password enciphers its blocks.
void Verifier::checkDictionary() {
    if (h_.dictionary == 0) return;
    std::set<uint32_t> seen;
    std::vector<DictRecord> forward;  // record 0, 1, 2, ...
    uint32_t at = h_.dictionary;
    uint32_t from = 0;
    bool circular = false;
    while (at != 0) {
        if (at == h_.dictionary && from != 0) {
            circular = true;
            break;
        }
        if (!seen.insert(at).second) {
            problem("dictionary chain: record " + hex(at) + " reached twice (a cycle)");
            break;
        }
        std::string why;
        std::optional<DictRecord> rec = readDictRecord(at, why);
        if (!rec) {
            problem("dictionary chain: record " + hex(at) + ": " + why);
            break;
        }
        if (from != 0 && rec->prev != from) {
            problem("dictionary chain: record " + hex(at) + " has previous link " + hex(rec->prev) +
                    " but is the next of " + hex(from));
        }
        from = at;
        at = rec->next;
        forward.push_back(std::move(*rec));
    }
    if (!circular && !forward.empty()) walkDictionaryBack(forward[0].prev, seen);
    findPassword(forward);
    cache_.clear();  // blocks read before the cipher was known are read again
}

void Verifier::walkDictionaryBack(uint32_t at, std::set<uint32_t>& seen) {
    uint32_t from = h_.dictionary;
    while (at != 0) {
        if (!seen.insert(at).second) {
            problem("dictionary chain: record " + hex(at) + " reached twice (a cycle)");
            return;
        }
        std::string why;
        std::optional<DictRecord> rec = readDictRecord(at, why);
        if (!rec) {
            problem("dictionary chain: record " + hex(at) + ": " + why);
            return;
        }
        if (rec->next != from) {
            problem("dictionary chain: record " + hex(at) + " has next link " + hex(rec->next) +
                    " but is the previous of " + hex(from));
        }
        from = at;
        at = rec->prev;
    }
}

// The password record is the first "EXT" record from record 1 on; kinds 2 and 3 encipher
// key and data blocks.
void Verifier::findPassword(const std::vector<DictRecord>& records) {
    std::vector<Bytes> payloads;
    for (const DictRecord& r : records)
        payloads.push_back(r.payload);
    const int kind = common::verifying::passwordKind(payloads);
    if (kind == 2 || kind == 3) {
        enciphered_ = true;
        if (!options_.decipher) {
            blocksReadable_ = false;
            problem("password: key and data blocks are enciphered (password kind " +
                    std::to_string(kind) +
                    ") and no decipher was given: key trees and records not checked");
        }
    }
}

}  // namespace mdnio::keyed::verify
