#include "common/journal.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "common/bytes.h"

namespace mdnio::common {

namespace {

constexpr char kMagic[8] = {'M', 'd', 'n', 'J', 'r', 'n', 'l', '1'};
constexpr uint64_t kHeaderSeed = 0x6A6F75726E616C31ull;
// Writes of this size or more go through the descriptor: through the mapping their pages would
// count in the memory the process holds.
constexpr size_t kMappedWriteLimit = size_t{64} << 10;
constexpr int64_t kPage = 4096;

constexpr uint64_t kP1 = 0x9E3779B185EBCA87ull;
constexpr uint64_t kP2 = 0xC2B2AE3D27D4EB4Full;
constexpr uint64_t kP3 = 0x165667B19E3779F9ull;
constexpr uint64_t kP4 = 0x85EBCA77C2B2AE63ull;
constexpr uint64_t kP5 = 0x27D4EB2F165667C5ull;

// Eight bytes as a little-endian number, whatever the machine: a journal may be read back on
// another machine than the one that wrote it (a file server).
uint64_t loadLe64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

uint64_t mix(uint64_t lane, uint64_t word) {
    return std::rotl(lane + word * kP2, 31) * kP1;
}

void putBe64(uint8_t* p, uint64_t v) {
    for (int i = 7; i >= 0; i--, v >>= 8)
        p[i] = static_cast<uint8_t>(v);
}

uint64_t getBe64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; i++)
        v = v << 8 | p[i];
    return v;
}

}  // namespace

std::string journalPath(const char* dataFile) {
    return std::string(dataFile) + "-journal";
}

uint64_t journalChecksum(const uint8_t* p, size_t n, uint64_t seed) {
    const uint8_t* end = p + n;
    uint64_t h;
    if (n >= 32) {
        uint64_t a = seed + kP1 + kP2, b = seed + kP2, c = seed, d = seed - kP1;
        for (; end - p >= 32; p += 32) {
            a = mix(a, loadLe64(p));
            b = mix(b, loadLe64(p + 8));
            c = mix(c, loadLe64(p + 16));
            d = mix(d, loadLe64(p + 24));
        }
        h = std::rotl(a, 1) + std::rotl(b, 7) + std::rotl(c, 12) + std::rotl(d, 18);
        for (uint64_t lane : {a, b, c, d})
            h = (h ^ mix(0, lane)) * kP1 + kP4;
    } else {
        h = seed + kP5;
    }
    h += n;
    for (; end - p >= 8; p += 8)
        h = std::rotl(h ^ mix(0, loadLe64(p)), 27) * kP1 + kP4;
    for (; p < end; p++)
        h = std::rotl(h ^ (*p * kP5), 11) * kP1;
    h ^= h >> 33;
    h *= kP2;
    h ^= h >> 29;
    h *= kP3;
    h ^= h >> 32;
    return h;
}

bool JournalWriter::open(const char* path, int like, bool mapped) {
    close();
    fd_ = platform::openOrCreateLike(path, like);
    if (fd_ < 0) return false;
    largest_ = std::max<int64_t>(0, platform::fileLength(fd_));
    if (largest_ < kPage && platform::truncateFile(fd_, kPage)) largest_ = kPage;
    mapped_ = mapped && view_.open(fd_, true);
    return true;
}

void JournalWriter::close() {
    view_.close();
    if (fd_ >= 0) platform::closeFile(fd_);
    fd_ = -1;
    size_ = 0;
    open_ = SIZE_MAX;
    written_ = 0;
}

void JournalWriter::begin(uint64_t stamp) {
    // A writer draws its first id from the system's random bits and steps it by a large odd
    // constant from then on: its own ids repeat only after 2^64 periods, and another writer's
    // sequence meets one of them only by a chance of the order of 2^-64 per period.
    if (period_ == 0) period_ = platform::randomBits() | 1;
    period_ += 0x9E3779B97F4A7C15ull;
    size_ = 0;
    uint8_t* h = grow(kJournalHeaderSize);
    std::memcpy(h, kMagic, sizeof kMagic);
    putBe64(h + 8, period_);
    putBe64(h + 16, stamp);
    putBe64(h + 24, journalChecksum(h, 24, kHeaderSeed));
    open_ = SIZE_MAX;
    written_ = 0;
}

uint8_t* JournalWriter::grow(size_t n) {
    if (size_ + n > capacity_) {
        const size_t capacity = std::max({capacity_ * 2, size_ + n, size_t{4096}});
        auto bigger = std::make_unique_for_overwrite<uint8_t[]>(capacity);
        if (size_) std::memcpy(bigger.get(), buffer_.get(), size_);
        buffer_ = std::move(bigger);
        capacity_ = capacity;
    }
    uint8_t* at = buffer_.get() + size_;
    size_ += n;
    return at;
}

void JournalWriter::seal() {
    if (open_ == SIZE_MAX) return;
    uint8_t* e = buffer_.get() + open_;
    const size_t n = kJournalEntryHead + getBe32(e + 4);
    putBe64(e + n, journalChecksum(e, n, period_));
    open_ = SIZE_MAX;
}

uint8_t* JournalWriter::add(uint32_t file, int64_t offset, uint32_t n) {
    seal();
    open_ = size_;
    uint8_t* e = grow(kJournalEntryHead + n + kJournalEntryTail);
    putBe32(e, file);
    putBe32(e + 4, n);
    putBe64(e + 8, static_cast<uint64_t>(offset));
    return e + kJournalEntryHead;
}

void JournalWriter::cutLast(uint32_t n) {
    if (open_ == SIZE_MAX) return;
    uint8_t* e = buffer_.get() + open_;
    if (n >= getBe32(e + 4)) return;
    if (n == 0) {
        size_ = open_;
        open_ = SIZE_MAX;
        return;
    }
    putBe32(e + 4, n);
    size_ = open_ + kJournalEntryHead + n + kJournalEntryTail;
}

bool JournalWriter::write() {
    seal();
    if (size_ == 0) return true;
    const size_t n = size_;
    bool done = mapped_ && n < kMappedWriteLimit && view_.write(buffer_.get(), n, written_);
    if (!done) {
        platform::IoResult r = platform::writeAt(fd_, buffer_.get(), n, written_);
        if (r.status != platform::IoStatus::Ok || r.count != static_cast<int64_t>(n)) return false;
        view_.grew(written_ + static_cast<int64_t>(n));
    }
    written_ += static_cast<int64_t>(n);
    largest_ = std::max(largest_, written_);
    size_ = 0;
    return true;
}

bool JournalWriter::live() {
    uint8_t head[kJournalHeaderSize];
    if (!view_.read(head, sizeof head, 0)) {
        platform::IoResult r = platform::readAt(fd_, head, sizeof head, 0);
        if (r.status != platform::IoStatus::Ok || r.count != static_cast<int64_t>(sizeof head))
            return false;
    }
    return std::memcmp(head, kMagic, 8) == 0 &&
           getBe64(head + 24) == journalChecksum(head, 24, kHeaderSeed);
}

bool JournalWriter::discard() {
    const uint8_t zeros[kJournalHeaderSize] = {};
    if (view_.write(zeros, sizeof zeros, 0)) return true;
    platform::IoResult r = platform::writeAt(fd_, zeros, sizeof zeros, 0);
    return r.status == platform::IoStatus::Ok && r.count == static_cast<int64_t>(sizeof zeros);
}

bool JournalWriter::sync() {
    return platform::syncFile(fd_);
}

void JournalWriter::trim(int64_t limit) {
    if (largest_ <= limit || !platform::truncateFile(fd_, kPage)) return;
    largest_ = kPage;
    view_.shrank(kPage);
}

JournalState readJournal(int fd, JournalContents& out) {
    out = {};
    uint8_t head[kJournalHeaderSize];
    platform::IoResult r = platform::readAt(fd, head, sizeof head, 0);
    if (r.status != platform::IoStatus::Ok) return JournalState::Unreadable;
    if (r.count != static_cast<int64_t>(sizeof head) || std::memcmp(head, kMagic, 8) != 0 ||
        getBe64(head + 24) != journalChecksum(head, 24, kHeaderSeed))
        return JournalState::Absent;
    out.period = getBe64(head + 8);
    out.stamp = getBe64(head + 16);
    std::vector<uint8_t> entry;
    for (int64_t at = kJournalHeaderSize;;) {
        uint8_t eh[kJournalEntryHead];
        r = platform::readAt(fd, eh, sizeof eh, at);
        if (r.status != platform::IoStatus::Ok) return JournalState::Unreadable;
        if (r.count != static_cast<int64_t>(sizeof eh)) break;
        const uint32_t n = getBe32(eh + 4);
        if (n == 0 || n > kJournalEntryLimit) break;
        entry.resize(kJournalEntryHead + n + kJournalEntryTail);
        std::memcpy(entry.data(), eh, sizeof eh);
        r = platform::readAt(fd, entry.data() + sizeof eh, n + kJournalEntryTail,
                             at + static_cast<int64_t>(sizeof eh));
        if (r.status != platform::IoStatus::Ok) return JournalState::Unreadable;
        if (r.count != static_cast<int64_t>(n + kJournalEntryTail)) break;
        if (getBe64(entry.data() + kJournalEntryHead + n) !=
            journalChecksum(entry.data(), kJournalEntryHead + n, out.period))
            break;
        JournalEntry e;
        e.file = getBe32(eh);
        e.length = n;
        e.offset = static_cast<int64_t>(getBe64(eh + 8));
        e.at = at + static_cast<int64_t>(kJournalEntryHead);
        if (e.offset < 0) break;
        out.entries.push_back(e);
        at += static_cast<int64_t>(entry.size());
    }
    return JournalState::Valid;
}

bool readEntryBytes(int fd, const JournalEntry& e, uint8_t* out) {
    platform::IoResult r = platform::readAt(fd, out, e.length, e.at);
    return r.status == platform::IoStatus::Ok && r.count == static_cast<int64_t>(e.length);
}

}  // namespace mdnio::common
