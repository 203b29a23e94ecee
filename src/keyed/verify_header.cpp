// Classic verifier, header and keys: the header fields, the key descriptor table, the segments
// against their fields, where the blocks end, and the bytes of the files.
#include "keyed/verify_context.h"

namespace mdnio::keyed::verify {

bool Verifier::readHeader() {
    if (!files_.openBase()) {
        problem("file: cannot be opened");
        return false;
    }
    const File& base = *files_.get(0);
    baseLength_ = base.length();
    if (baseLength_ < static_cast<int64_t>(kHeaderSize) || !base.read(0, h_.raw)) {
        problem("header: the file is shorter than the 256-byte header");
        return false;
    }
    const uint8_t* r = h_.raw.data();
    if (!hasMagic(r)) {
        problem("header: bad magic " + dump(std::span(r, 8)) + ", not a classic keyed file");
        return false;
    }
    const keyed::Header stored = decodeHeader(r);
    h_.recordSize = stored.recordSize;
    h_.keyArea = stored.keyAreaSize;
    h_.blockMode = stored.blockMode();
    h_.compressed = stored.compressed();
    if (h_.recordSize < 0) {
        problem("header: record size R " + std::to_string(h_.recordSize) + " is negative");
        return false;
    }
    if (h_.keyArea < 0) {
        problem("header: key area size K " + std::to_string(h_.keyArea) + " is negative");
        return false;
    }
    if (stored.blockCode < 0) {
        problem("header: block size code " + std::to_string(stored.blockCode) + " is negative");
        return false;
    }
    h_.blockSize = stored.blockSize();
    if (h_.blockMode && h_.blockSize > 65536) {
        problem("header: block size " + std::to_string(h_.blockSize) +
                " is above 65536, which data blocks cannot address");
        return false;
    }
    h_.slotSize = static_cast<uint32_t>(stored.slotSize());
    h_.mapSpan = h_.blockSize - 6;
    h_.recordCount = stored.recordCount;
    h_.maxRecords = stored.maxRecords;
    h_.eof = stored.eof;
    h_.segments = stored.segments;
    h_.sequence = stored.sequence;
    h_.dictionary = stored.dictionary;
    h_.roots = stored.roots;
    return decodeKeys(base);
}

bool Verifier::decodeKeys(const File& base) {
    std::array<uint8_t, 256> continuation{};
    if (h_.raw[kOffFlagsA] & kDescContinued) {
        if (!base.read(kHeaderSize, continuation)) {
            problem(
                "header: flag A bit 1 says the descriptor table continues at 256, but "
                "the file ends before 512");
            return false;
        }
    }
    const int code = decodeHeaderKeys(h_.raw, continuation, layout_);
    if (code != 0) {
        problem("header: the key descriptor table does not decode (error " + std::to_string(code) +
                ")");
        return false;
    }
    return true;
}

void Verifier::checkHeaderFields() {
    const uint8_t* r = h_.raw.data();
    if (static_cast<int32_t>(h_.recordCount) < 0) {
        problem("header: record count " + std::to_string(static_cast<int32_t>(h_.recordCount)) +
                " is negative");
    }
    if (h_.maxRecords != 0 && h_.recordCount > h_.maxRecords) {
        problem("header: record count " + std::to_string(h_.recordCount) +
                " is above the maximum record count " + std::to_string(h_.maxRecords));
    }
    if ((r[kOffFlagsA] & kCounterCheck) && !counterCheckHolds(r)) {
        problem(
            "header: counter check bytes 253..254 do not match the change counter while "
            "flag A bit 6 is set");
    }
    if (r[kOffFlagsB] & kCommitting) {
        problem(
            "header: the commit-in-progress flag (flags B bit 5) is set: a commit was "
            "interrupted");
    }
    if (h_.blockMode && h_.slotSize + 2 > h_.blockSize - 8) {
        problem("header: a record of " + std::to_string(h_.slotSize) +
                " bytes (slot size S) does not fit in an empty data block");
    }
    const unsigned segmentLimit = h_.blockMode ? std::min(h_.blockSize / 256 - 1, 31u) : 0;
    if (h_.segments > segmentLimit) {
        problem("header: segment count " + std::to_string(h_.segments) + " is above " +
                std::to_string(segmentLimit) + (h_.blockMode ? "" : " (slot mode has none)"));
        h_.segments = segmentLimit;
    }
    for (size_t k = layout_.keyCount(); k < 16; ++k) {
        if (h_.roots[k] != 0) {
            problem("header: root of " + keyName(k) + " is " + hex(h_.roots[k]) +
                    " but the file has " + std::to_string(layout_.keyCount()) + " keys");
        }
    }
}

// A segment that reaches past what its field can hold (the key area, the record size, or
// what is left of the record for field n) loses the same key bytes on every record.
void Verifier::checkSegmentReach() {
    for (size_t k = 0; k < layout_.keyCount(); ++k) {
        const auto segments = layout_.segmentsOf(k);
        for (size_t i = 0; i < segments.size(); ++i) {
            const std::string why = common::segmentOverreach(segments[i], h_.keyArea, h_.recordSize,
                                                             layout_.lengthPrefixedFields);
            if (!why.empty())
                problem("header: " + keyName(k) + " segment " + std::to_string(i + 1) + ": " + why);
        }
    }
}

// Where blocks of segment s end: the end of file for the last segment, the file's length
// (whole blocks) for the others.
void Verifier::checkEndOfFile() {
    extents_.assign(h_.segments + 1, kFirstBlock);
    if (!h_.blockMode) {
        if (h_.eof < kFirstBlock || h_.eof > kMaxEof) {
            problem("header: end of file " + hex(h_.eof) + " is not in 512.." + hex(kMaxEof));
        } else if (h_.eof > baseLength_) {
            problem("header: end of file " + hex(h_.eof) + " is beyond the file length " +
                    hex(static_cast<uint64_t>(baseLength_)));
        }
        extents_[0] = std::clamp<int64_t>(h_.eof, kFirstBlock, kMaxEof);
        return;
    }
    for (unsigned s = 0; s < h_.segments; ++s)
        extents_[s] = wholeBlocks(s);
    const uint32_t seg = segmentOf(h_.eof, h_.blockSize);
    const int64_t off = offsetInSegment(h_.eof, h_.blockSize);
    bool valid = false;
    if (h_.eof < kFirstBlock || (h_.eof & 0xFF) != 0 || h_.eof > 0x7FFFFFFFu) {
        problem("header: end of file " + hex(h_.eof) + " is not a block address");
    } else if (seg != h_.segments) {
        problem("header: end of file " + hex(h_.eof) + " lies in segment " + std::to_string(seg) +
                " but the highest segment is " + std::to_string(h_.segments));
    } else if ((off - kFirstBlock) % h_.blockSize != 0) {
        problem("header: end of file " + hex(h_.eof) + " is not at a block boundary");
    } else if (off > kMaxEof) {
        problem("header: end of file " + hex(h_.eof) + " is beyond " + hex(kMaxEof));
    } else {
        valid = true;
        const File* f = files_.get(seg);
        if (f && off > f->length()) {
            problem("header: end of file " + hex(h_.eof) + " is beyond the length " +
                    hex(static_cast<uint64_t>(f->length())) + " of segment " + std::to_string(seg));
            valid = false;  // the blocks end where the file does
        }
    }
    extents_[h_.segments] = valid ? off : wholeBlocks(h_.segments);
}

void Verifier::countBytes() {
    for (unsigned s = 0; s <= h_.segments; ++s) {
        const File* f = files_.get(s);
        if (!f) continue;
        report_.bytes += std::max<int64_t>(f->length(), 0);
        ++report_.files;
    }
}

}  // namespace mdnio::keyed::verify
