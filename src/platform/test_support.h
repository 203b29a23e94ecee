// Support for the platform tests: putting the system-call table back, counting the
// descriptors a process holds, to see that nothing leaks, and names that are not regular files.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace mdnio::platform::test {

// Restores the default system calls when the test ends, however it ends.
struct RestoreSysCalls {
    RestoreSysCalls() = default;
    ~RestoreSysCalls() { resetSysCalls(); }
    RestoreSysCalls(const RestoreSysCalls&) = delete;
    RestoreSysCalls& operator=(const RestoreSysCalls&) = delete;
};

// Number of open descriptors of this process.
inline int openDescriptorCount() {
    DIR* d = opendir("/proc/self/fd");
    if (!d) return -1;
    int n = 0;
    while (const dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') ++n;
    }
    closedir(d);
    return n - 1;  // the directory's own descriptor
}

// Set when an open of a FIFO was asked to wait for a writer (no O_NONBLOCK).
inline bool gBlockingFifoOpen = false;

// An open for the system-call table that notes a waiting open of a FIFO, then makes it without
// waiting all the same: a test of code that would block reports the fault instead of hanging.
inline int neverWaitingOpen(const char* path, int flags, mode_t mode) {
    struct stat st;
    if (!(flags & O_NONBLOCK) && ::stat(path, &st) == 0 && S_ISFIFO(st.st_mode)) {
        gBlockingFifoOpen = true;
        flags |= O_NONBLOCK;
    }
    return defaultSysCalls().open(path, flags, mode);
}

// Names in `dir` that are not regular files and never hold a data file: a FIFO without a writer,
// a directory, a bound socket, and the null device.  The socket stays bound while this lives.
class SpecialNames {
  public:
    explicit SpecialNames(const std::string& dir)
        : fifo(dir + "/fifo"), directory(dir + "/subdir"), socket(dir + "/sock") {
        ok_ = mkfifo(fifo.c_str(), 0666) == 0 && mkdir(directory.c_str(), 0777) == 0;
        sock_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
        ok_ = ok_ && sock_ >= 0 && socket.size() < sizeof address.sun_path &&
              bind(sock_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~SpecialNames() {
        if (sock_ >= 0) close(sock_);
    }
    SpecialNames(const SpecialNames&) = delete;
    SpecialNames& operator=(const SpecialNames&) = delete;

    bool made() const { return ok_; }
    std::vector<std::string> all() const { return {fifo, directory, socket, "/dev/null"}; }

    const std::string fifo, directory, socket;

  private:
    bool ok_ = false;
    int sock_ = -1;
};

}  // namespace mdnio::platform::test
