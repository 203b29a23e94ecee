#include "common/verify_parts.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "common/bytes.h"
#include "platform/platform.h"

namespace mdnio::common::verifying {

std::string hex(uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
    return buf;
}

std::string dump(std::span<const uint8_t> v) {
    std::string s = "[";
    const size_t shown = std::min<size_t>(v.size(), 12);
    for (size_t i = 0; i < shown; ++i) {
        char buf[4];
        std::snprintf(buf, sizeof buf, "%02X", v[i]);
        if (i) s += ' ';
        s += buf;
    }
    if (shown < v.size()) s += " ...";
    return s + "]";
}

std::string keyName(size_t k) {
    return "key " + std::to_string(k);
}
std::string blockName(uint32_t a) {
    return "block " + hex(a);
}
std::string recordName(uint32_t a) {
    return "record " + hex(a);
}

void Problems::add(std::string text) {
    if (list_.size() < max_) {
        list_.push_back(std::move(text));
    } else {
        ++dropped_;
    }
}

size_t Problems::finish() {
    if (dropped_ > 0)
        list_.push_back("verifier: " + std::to_string(dropped_) + " more problems not listed");
    return dropped_;
}

ReadOnlyFile::~ReadOnlyFile() {
    platform::closeFile(fd_);
}

ReadOnlyFile::ReadOnlyFile(ReadOnlyFile&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}

ReadOnlyFile& ReadOnlyFile::operator=(ReadOnlyFile&& o) noexcept {
    if (this != &o) {
        platform::closeFile(fd_);
        fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
}

int64_t ReadOnlyFile::length() const {
    return fd_ >= 0 ? platform::fileLength(fd_) : -1;
}

bool ReadOnlyFile::read(int64_t offset, std::span<uint8_t> out) const {
    if (fd_ < 0 || offset < 0) return false;
    const platform::IoResult r = platform::readAt(fd_, out.data(), out.size(), offset);
    return r.status == platform::IoStatus::Ok && r.count == static_cast<int64_t>(out.size());
}

ReadOnlyFile openForReading(const std::string& path) {
    platform::OpenResult result;
    return ReadOnlyFile(
        platform::openFile(path.c_str(), platform::Access::ReadOnly, false, &result));
}

int passwordKind(const std::vector<std::vector<uint8_t>>& payloads) {
    for (size_t i = 1; i < payloads.size(); ++i) {
        const std::vector<uint8_t>& p = payloads[i];
        std::vector<std::span<const uint8_t>> fields;
        for (size_t at = 0; at < p.size() && fields.size() < 3;) {
            const size_t length = p[at];
            if (at + 1 + length > p.size()) break;
            fields.push_back(std::span(p).subspan(at + 1, length));
            at += 1 + length;
        }
        if (fields.empty() || fields[0].size() != 3 ||
            !std::equal(fields[0].begin(), fields[0].end(), "EXT")) {
            continue;
        }
        return fields.size() >= 3 && !fields[2].empty() ? fields[2][0] : 0;
    }
    return -1;
}

std::vector<unsigned> checkSlottedBlock(std::span<const uint8_t> block, uint32_t address,
                                        const RecordShape& shape, size_t maxSize,
                                        Problems& problems) {
    const std::string where = blockName(address);
    std::vector<unsigned> used;
    const size_t body = block.size() - 6;
    const unsigned count = block[5];
    const size_t table = 2 + 2 * size_t{count};
    if (table > body) {
        problems.add(where + ": slot table of " + std::to_string(count) +
                     " slots runs past the block");
        return used;
    }
    const size_t free = getBe16(&block[6]);
    const std::span<const uint8_t> bodyBytes = std::span(block).subspan(6);
    struct Piece {
        size_t position, size;
        unsigned slot;
    };
    std::vector<Piece> pieces;
    size_t total = 0;
    for (unsigned s = 1; s <= count; ++s) {
        const size_t p = getBe16(&bodyBytes[2 * s]);
        if (p == 0) continue;
        const std::string slot = where + " slot " + std::to_string(s);
        if (p < table || p >= body) {
            problems.add(slot + ": record offset " + std::to_string(p) +
                         " outside the record area");
            continue;
        }
        // New records are placed right below the free space, so none may lie inside it.
        if (p < table + free) {
            problems.add(slot + ": record offset " + std::to_string(p) +
                         " lies in the free space, which ends at " + std::to_string(table + free));
        }
        const long size = common::recordSize(bodyBytes.subspan(p), shape);
        if (size < 0 || p + static_cast<size_t>(size) > body) {
            problems.add(slot + ": record runs past the end of its block");
            continue;
        }
        if (maxSize != 0 && static_cast<size_t>(size) > maxSize) {
            problems.add(slot + ": record of " + std::to_string(size) +
                         " bytes is above the slot size S " + std::to_string(maxSize));
        }
        pieces.push_back(Piece{p, static_cast<size_t>(size), s});
        total += static_cast<size_t>(size);
        used.push_back(s);
    }
    std::sort(pieces.begin(), pieces.end(),
              [](const Piece& a, const Piece& b) { return a.position < b.position; });
    for (size_t i = 1; i < pieces.size(); ++i) {
        if (pieces[i - 1].position + pieces[i - 1].size > pieces[i].position) {
            problems.add(where + ": records of slots " + std::to_string(pieces[i - 1].slot) +
                         " and " + std::to_string(pieces[i].slot) + " overlap");
        }
    }
    if (table + total <= body && free != body - table - total) {
        problems.add(where + ": free count F " + std::to_string(free) +
                     " disagrees with the slot table, which leaves " +
                     std::to_string(body - table - total) + " bytes free");
    } else if (table + total > body) {
        problems.add(where + ": records and slot table take more than the block");
    }
    return used;
}

}  // namespace mdnio::common::verifying
