#include "mdk/failure.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "frame/errors.h"

namespace mdk {

std::string codeText(int code) {
    return fmt::format("{} (code {})", mdnio::errorMessage(code), code);
}

std::string openObstacle(const std::string& path, bool readOnly) {
    // Never blocks: a FIFO or a device opens at once without waiting for the other end.
    const int fd =
        ::open(path.c_str(), (readOnly ? O_RDONLY : O_RDWR) | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return std::strerror(errno);
    // Every opener of a data file holds the byte at 2^32: shared, or exclusive for an exclusive
    // open.  A shared lock that would conflict there means an exclusive holder.
    struct flock probe {};
    probe.l_type = F_RDLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = off_t{1} << 32;
    probe.l_len = 1;
    const bool held = ::fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
    ::close(fd);
    return held ? "another process holds it exclusively" : "";
}

std::string libraryText(MdkFile* file) {
    return fmt::format("{} (code {})", MDK_strerr(file), MDK_geterrno(file));
}

void failOn(MdkFile* file, const std::string& what) {
    throw Failure(fmt::format("{}: {}", what, libraryText(file)), kExitFailure, MDK_geterrno(file));
}

}  // namespace mdk
