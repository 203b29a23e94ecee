// Segment files: the files a data file continues in once it has grown to its limit, named after
// it with a three-digit suffix.  A segment file begins with a 4-byte field and "seg]"; a link
// file in its place ("lnk]") holds the path of the real one.
#include <cstdio>
#include <cstring>

#include "store/store.h"

namespace mdnio::store {

std::string segmentPath(const char* base, uint32_t segment) {
    // Room for any 32-bit number, although segments stop at kMaxSegmentFiles.
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%03u", segment);
    return std::string(base) + suffix;
}

int openSegmentFile(const char* base, uint32_t segment, bool writable) {
    std::string path = segmentPath(base, segment);
    auto access = writable ? platform::Access::ReadWrite : platform::Access::ReadOnly;
    // A link ("lnk]") names the real file; links may chain, but not without end.
    for (int hop = 0; hop < 8; hop++) {
        platform::OpenResult why;
        int fd = platform::openFile(path.c_str(), access, false, &why);
        if (fd < 0) return -1;
        uint8_t head[68];
        platform::IoResult r = platform::readAt(fd, head, sizeof head, 0);
        if (r.status == platform::IoStatus::Ok && r.count >= 8 &&
            std::memcmp(head + 4, "seg]", 4) == 0)
            return fd;
        platform::closeFile(fd);
        if (r.status != platform::IoStatus::Ok || r.count < 68 ||
            std::memcmp(head + 4, "lnk]", 4) != 0)
            return -1;
        // The link holds the real path, blank-padded.
        size_t n = 60;
        while (n > 0 && (head[8 + n - 1] == ' ' || head[8 + n - 1] == 0))
            n--;
        if (n == 0) return -1;
        path.assign(reinterpret_cast<const char*>(head + 8), n);
    }
    return -1;
}

bool removeLeftoverSegment(const char* base, uint32_t segment) {
    const std::string path = segmentPath(base, segment);
    const int fd = platform::openPlain(path.c_str());
    if (fd < 0) return false;
    uint8_t head[8] = {};
    platform::IoResult r = platform::readAt(fd, head, sizeof head, 0);
    platform::closeFile(fd);
    // A file this library began (its head not written yet, or a segment's head); a link, or
    // anything else, is someone's.
    if (r.status != platform::IoStatus::Ok ||
        (r.count == static_cast<int64_t>(sizeof head) && std::memcmp(head + 4, "seg]", 4) != 0))
        return false;
    return platform::removeFile(path.c_str());
}

int segmentFd(MdkFile* f, BlockStore& s, uint32_t segment, bool writable) {
    if (segment == 0) return s.baseFd();
    if (segment >= kMaxSegmentFiles) raiseError(f, MDK_E_SEGMENT);
    if (s.segmentFd[segment] <= 0) {
        const int fd = openSegmentFile(f->shared->fileName, segment, writable);
        if (fd < 0) raiseError(f, MDK_E_SEGMENT);
        s.segmentFd[segment] = fd;
    }
    return s.segmentFd[segment];
}

void closeSegments(BlockStore& s) {
    for (int i = 1; i < kMaxSegmentFiles; i++) {
        if (s.segmentFd[i] > 0) platform::closeFile(s.segmentFd[i]);
        s.segmentFd[i] = 0;
    }
}

}  // namespace mdnio::store
