// Reading and writing the files of a store: through the mapping of the base file where the
// bytes lie inside it, else through the system.
#include <algorithm>

#include "store/store.h"

namespace mdnio::store {

namespace {
constexpr size_t kMappedWriteLimit = 64 << 10;
}  // namespace

platform::IoResult readBytes(BlockStore& s, int fd, void* dst, size_t n, int64_t offset) {
    if (fd == s.baseFd() && s.view.read(dst, n, offset)) {
        platform::IoResult r;
        r.count = static_cast<int64_t>(n);
        return r;
    }
    return platform::readAt(fd, dst, n, offset);
}

platform::IoResult writeBytes(BlockStore& s, int fd, const void* src, size_t n, int64_t offset,
                              bool throughView) {
    // A long write costs one system call for many pages; through the mapping it would only add
    // those pages to the memory the process holds.
    if (throughView && fd == s.baseFd() && n < kMappedWriteLimit && s.view.write(src, n, offset)) {
        platform::IoResult r;
        r.count = static_cast<int64_t>(n);
        return r;
    }
    platform::IoResult r = platform::writeAt(fd, src, n, offset);
    if (r.status == platform::IoStatus::Ok && r.count > 0) {
        const int64_t end = offset + r.count;
        if (fd == s.baseFd()) s.view.grew(end);
        for (int i = 0; i < kMaxSegmentFiles; i++) {
            if (s.segmentFd[i] == fd) {
                s.knownLength[i] = std::max(s.knownLength[i], end);
                break;
            }
        }
    }
    return r;
}

RunWriter::RunWriter(MdkFile* f, BlockStore& s, int32_t shortWriteCode, bool direct)
    : f_(f), s_(s), shortWriteCode_(shortWriteCode), direct_(direct) {}

void RunWriter::add(int fd, int64_t offset, const uint8_t* bytes, size_t n) {
    if (!run_.empty() && (fd != fd_ || start_ + static_cast<int64_t>(run_.size()) != offset ||
                          run_.size() + n > kRunBytes))
        flush();
    if (run_.empty()) {
        fd_ = fd;
        start_ = offset;
    }
    run_.insert(run_.end(), bytes, bytes + n);
}

void RunWriter::flush() {
    if (run_.empty()) return;
    platform::IoResult w = writeBytes(s_, fd_, run_.data(), run_.size(), start_, !direct_);
    if (w.status == platform::IoStatus::SeekFailed) raiseError(f_, MDK_E_SEEK);
    if (w.status != platform::IoStatus::Ok) raiseError(f_, MDK_E_WRITE);
    if (w.count != static_cast<int64_t>(run_.size())) raiseError(f_, shortWriteCode_);
    run_.clear();
}

}  // namespace mdnio::store
