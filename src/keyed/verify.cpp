// The classic verifier's entry and its shared helpers: the phases in order, and where the blocks
// of the base file and its segment files are and how they are read.
#include "keyed/verify_context.h"

namespace mdnio::keyed::verify {

void Verifier::run() {
    if (readHeader()) {
        checkHeaderFields();
        checkSegmentReach();
        checkEndOfFile();
        countBytes();
        checkDictionary();
        if (options_.treesOnly) {
            if (blocksReadable_) checkTrees();
            problems_.finish();
            return;
        }
        if (h_.blockMode) {
            checkGroupHints();
            for (unsigned s = 0; s <= h_.segments; ++s)
                censusSegment(s);
        } else {
            checkDeletedChain();
            checkFreeChain();
        }
        if (blocksReadable_) {
            checkTrees();
            checkRecords();
        }
        if (!h_.blockMode) checkOverlaps();
    }
    report_.unlisted = problems_.finish();
}

int64_t Verifier::wholeBlocks(unsigned s) {
    const File* f = files_.get(s);
    const int64_t length = f ? std::min<int64_t>(f->length(), kMaxEof) : 0;
    if (length <= kFirstBlock) return kFirstBlock;
    return kFirstBlock + (length - kFirstBlock) / h_.blockSize * h_.blockSize;
}

// Where the block at `address` lies, or why it cannot be a block of this file.
std::optional<Place> Verifier::placeBlock(uint32_t address, std::string& why) const {
    if (address < kFirstBlock || address > 0x7FFFFFFFu) {
        why = "address " + hex(address) + " is not a block address";
        return std::nullopt;
    }
    if (!h_.blockMode) {
        // Slot mode appends blocks at the end of file rounded up to 512.
        if (address % 512 != 0) {
            why = "address " + hex(address) + " is not at a block boundary";
            return std::nullopt;
        }
        if (int64_t{address} + h_.blockSize > extents_[0]) {
            why = "address " + hex(address) + " lies beyond the end of file";
            return std::nullopt;
        }
        return Place{0, address};
    }
    const uint32_t seg = segmentOf(address, h_.blockSize);
    const int64_t off = offsetInSegment(address, h_.blockSize);
    if ((address & 0xFF) != 0 || (off - kFirstBlock) % h_.blockSize != 0) {
        why = "address " + hex(address) + " is not at a block boundary";
        return std::nullopt;
    }
    if (seg > h_.segments) {
        why = "address " + hex(address) + " lies in segment " + std::to_string(seg) +
              ", beyond the highest segment " + std::to_string(h_.segments);
        return std::nullopt;
    }
    if (off + h_.blockSize > extents_[seg]) {
        why = "address " + hex(address) + " lies beyond the end of segment " + std::to_string(seg);
        return std::nullopt;
    }
    return Place{seg, off};
}

// Reads the block at `address` (deciphered when the file's blocks are enciphered and the
// caller gave the means); on failure `why` says why and nothing is returned.
const Bytes* Verifier::readBlock(uint32_t address, std::string& why) {
    if (auto it = cache_.find(address); it != cache_.end()) return &it->second;
    const std::optional<Place> place = placeBlock(address, why);
    if (!place) return nullptr;
    const File* f = files_.get(place->segment);
    Bytes block(h_.blockSize);
    if (!f || !f->read(place->offset, block)) {
        why = "address " + hex(address) + " cannot be read";
        return nullptr;
    }
    if (enciphered_ && options_.decipher && cipherType(block[0])) {
        options_.decipher(std::span(block).subspan(5));
    }
    if (cache_.size() * h_.blockSize >= kCacheBytes) cache_.clear();
    return &cache_.emplace(address, std::move(block)).first->second;
}

bool Verifier::selfAddressOk(const Bytes& block, uint32_t address, const std::string& where) {
    const uint32_t stored = getBe32(&block[1]);
    if (stored == address) return true;
    problem(where + ": self address " + hex(stored) + " differs from the block's address");
    return false;
}

void Verifier::addExtent(uint32_t start, uint32_t size, std::string what) {
    if (!h_.blockMode) extents_slot_.push_back(Extent{start, start + size, std::move(what)});
}

bool Verifier::slotPosition(uint32_t address, std::string& why) const {
    const int64_t first = int64_t{kFirstBlock} + h_.blockSize;
    if (address < first || (address - first) % h_.slotSize != 0) {
        why = "address " + hex(address) + " is not at a slot position";
        return false;
    }
    if (int64_t{address} + h_.slotSize > extents_[0]) {
        why = "address " + hex(address) + " lies beyond the end of file";
        return false;
    }
    return true;
}

}  // namespace mdnio::keyed::verify

namespace mdnio::devtools {

VerifyReport verifyClassicFile(const std::string& path, const VerifyOptions& options) {
    VerifyReport report;
    keyed::verify::Verifier(path, options, report).run();
    return report;
}

}  // namespace mdnio::devtools
