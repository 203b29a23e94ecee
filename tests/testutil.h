// Helpers shared by the tests: scratch directories and small file utilities.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mdnio::test {

// A fresh empty directory for one test, removed with its contents at destruction.
class TempDir {
  public:
    TempDir();
    // A directory under `root` instead of the test tree, for a test whose paths must stay short
    // (a link file holds at most 60 bytes of path).
    explicit TempDir(const std::string& root);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes);
void writeFile(const std::string& path, const std::string& text);
std::vector<uint8_t> readFile(const std::string& path);

// Opens `path` read-only, in an environment of its own, while this process may not open the file
// for writing (such opens fail with EACCES): answers the code the open fails with, 0 when it
// succeeds.
int32_t readOnlyOpenErrorWithoutWriteAccess(const std::string& path);

// A pair of pipes to hand control back and forth between a parent and its forked child.
struct Baton {
    int toChild[2];
    int toParent[2];
    Baton();
    ~Baton();
    Baton(const Baton&) = delete;
    Baton& operator=(const Baton&) = delete;
    static void give(int fd);  // lets the other side go on
    static bool take(int fd);  // waits until the other side gives; false when it is gone
};

// Runs `child` in a forked process and answers its exit status (0 = success).  The child exits
// with what `child` returns; an exception or a crash in it gives a non-zero status.
int runInChild(int (*child)(void*), void* arg);

}  // namespace mdnio::test
