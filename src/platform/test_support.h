// Support for the platform tests: putting the system-call table back, and counting the
// descriptors a process holds, to see that nothing leaks.
#pragma once

#include <dirent.h>

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

}  // namespace mdnio::platform::test
