#include "mdk/failure.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace mdk {

std::string codeText(int code) {
    return fmt::format("{} (code {})", MDK_ErrorMessage(code), code);
}

namespace {

// What keeps this process from opening `path` as the library does; empty when nothing does.
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

// A name of a file on a remote server ("[rmt:" in any case): nothing local stands in its way.
bool remoteName(const std::string& path) {
    return path.size() >= 5 && strncasecmp(path.c_str(), "[rmt:", 5) == 0;
}

}  // namespace

std::string openFailureText(const std::string& path, int code, bool readOnly) {
    const std::string obstacle =
        code == MDK_E_OPEN && !remoteName(path) ? openObstacle(path, readOnly) : "";
    return obstacle.empty() ? codeText(code) : codeText(code) + ": " + obstacle;
}

void failNotFound(const std::string& path, const std::string& key, int keyNumber) {
    const std::string which = keyNumber == 1 ? "" : fmt::format("#{} ", keyNumber);
    throw Failure(fmt::format("{}: no record with key {}\"{}\"", path, which, key), kExitNotFound,
                  MDK_E_KEY);
}

std::string libraryText(MdkFile* file) {
    return fmt::format("{} (code {})", MDK_strerr(file), MDK_geterrno(file));
}

void failOn(MdkFile* file, const std::string& what) {
    throw Failure(fmt::format("{}: {}", what, libraryText(file)), kExitFailure, MDK_geterrno(file));
}

}  // namespace mdk
