// Directory searches with '*' and '?' in the last part of the pattern.
#include <dirent.h>
#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace mdnio::platform {

class DirSearch {
  public:
    DirSearch(DIR* dir, std::string pattern) : dir_(dir), pattern_(std::move(pattern)) {}
    ~DirSearch() { closedir(dir_); }
    DirSearch(const DirSearch&) = delete;
    DirSearch& operator=(const DirSearch&) = delete;

    bool next(std::string* name) {
        while (const dirent* entry = readdir(dir_)) {
            const char* n = entry->d_name;
            if (std::strcmp(n, ".") == 0 || std::strcmp(n, "..") == 0) continue;
            if (!matchPattern(pattern_.c_str(), n)) continue;
            if (name) *name = n;
            return true;
        }
        return false;
    }

  private:
    DIR* dir_;
    std::string pattern_;
};

bool matchPattern(const char* pattern, const char* name) {
    if (!pattern || !name) return false;
    // Greedy scan that backtracks only to the last '*': on a mismatch that '*' takes one more
    // character. Linear in practice, and no recursion however many stars.
    const char* p = pattern;
    const char* s = name;
    const char* star = nullptr;
    const char* resume = nullptr;
    while (*s) {
        if (*p == '*') {
            star = p++;
            resume = s;
        } else if (*p && (*p == '?' || *p == *s)) {
            ++p;
            ++s;
        } else if (star) {
            p = star + 1;
            s = ++resume;
        } else {
            return false;
        }
    }
    while (*p == '*')
        ++p;
    return *p == '\0';
}

namespace {

// Opens a directory for reading its entries.  Only a directory is opened, and without waiting:
// a FIFO in its place would otherwise block the open until a writer comes.
DIR* openDirectory(const char* path) {
    int fd = -1;
    do {
        fd = sys().open(path, O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC, 0);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return nullptr;
    DIR* d = fdopendir(fd);
    if (!d) sys().close(fd);
    return d;
}

}  // namespace

DirSearch* findFirst(const char* pattern, std::string* name) {
    if (!pattern) return nullptr;
    std::string dir = ".";
    const char* last = pattern;
    if (const char* slash = std::strrchr(pattern, '/')) {
        dir.assign(pattern, slash);
        if (dir.empty()) dir = "/";
        last = slash + 1;
    }
    DIR* d = openDirectory(dir.c_str());
    if (!d) return nullptr;
    auto* search = new DirSearch(d, last);
    if (!search->next(name)) {
        delete search;
        return nullptr;
    }
    return search;
}

bool findNext(DirSearch* search, std::string* name) {
    return search && search->next(name);
}

void findClose(DirSearch* search) {
    delete search;
}

}  // namespace mdnio::platform
