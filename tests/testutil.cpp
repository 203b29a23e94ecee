#include "testutil.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "mdnio.h"
#include "platform/platform.h"

namespace mdnio::test {

namespace {
std::string defaultRoot() {
    const char* base = std::getenv("MDNIO_TEST_TMP");
    return base ? base : std::filesystem::temp_directory_path().string();
}
}  // namespace

TempDir::TempDir() : TempDir(defaultRoot()) {}

TempDir::TempDir(const std::string& root) {
    std::filesystem::create_directories(root);
    std::string pattern = root + "/mdnio-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

void writeFile(const std::string& path, const std::string& text) {
    writeFile(path, std::vector<uint8_t>(text.begin(), text.end()));
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
}

namespace {
std::string gNoWriteAccess;

int openWithoutWriteAccess(const char* name, int flags, mode_t mode) {
    if ((flags & O_ACCMODE) != O_RDONLY && gNoWriteAccess == name) {
        errno = EACCES;
        return -1;
    }
    return platform::defaultSysCalls().open(name, flags, mode);
}
}  // namespace

int32_t readOnlyOpenErrorWithoutWriteAccess(const std::string& path) {
    gNoWriteAccess = path;
    platform::sys().open = openWithoutWriteAccess;
    MdkEnv* env = MDK_AllocEnv();
    int32_t err = 0;
    MdkFile* f = MDK_OpenExt(env, path.c_str(), nullptr, 0, MDK_OPEN_READONLY, &err);
    MDK_DeAllocEnv(env);
    platform::resetSysCalls();
    return f == MDK_INVALID_FILE ? err : 0;
}

int runInChild(int (*child)(void*), void* arg) {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        int rc = 1;
        try {
            rc = child(arg);
        } catch (...) {
            rc = 99;
        }
        _exit(rc);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

Baton::Baton() {
    if (pipe(toChild) != 0 || pipe(toParent) != 0) std::abort();
}

Baton::~Baton() {
    for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]})
        close(fd);
}

void Baton::give(int fd) {
    char c = 1;
    if (write(fd, &c, 1) != 1) std::abort();
}

bool Baton::take(int fd) {
    char c;
    return read(fd, &c, 1) == 1;
}

}  // namespace mdnio::test
