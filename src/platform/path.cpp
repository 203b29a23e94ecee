// The current directory, file modes and the environment.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace mdnio::platform {

size_t currentDirectory(char* buf, size_t size) {
    if (!buf || size == 0) return 0;
    if (!getcwd(buf, size)) {  // ERANGE when it does not fit
        buf[0] = '\0';
        return 0;
    }
    return std::strlen(buf);
}

int32_t fileMode(const char* path) {
    struct stat st;
    if (!path || sys().stat(path, &st) != 0) return -1;
    return static_cast<int32_t>(st.st_mode & 0xFFFF);
}

const char* getEnv(const char* name) {
    return name ? std::getenv(name) : nullptr;
}

}  // namespace mdnio::platform
