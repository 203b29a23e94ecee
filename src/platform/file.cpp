// Opening, creating and closing files, and the deny lock every open takes.
//
// The deny lock is one byte (kDenyByte) locked as long as the file is open: shared by an
// ordinary open, exclusive by an exclusive one, so that an exclusive opener and any other
// opener exclude each other whichever comes first. A shared deny lock does not stop another
// ordinary open, even one for writing.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/ofd_lock.h"
#include "platform/platform.h"

namespace mdnio::platform {
namespace {

// An exclusive lock needs a descriptor open for writing. An exclusive read-only open gets a
// second, read-write descriptor of the same file that exists only to hold the deny lock; it
// is found here by the caller's descriptor and closed with it.
class AuxDescriptors {
  public:
    void add(int fd, int aux) {
        std::lock_guard<std::mutex> hold(mutex_);
        map_[fd] = aux;
    }
    // The aux descriptor of fd, removed from the table, or -1.
    int take(int fd) {
        std::lock_guard<std::mutex> hold(mutex_);
        auto it = map_.find(fd);
        if (it == map_.end()) return -1;
        int aux = it->second;
        map_.erase(it);
        return aux;
    }

  private:
    std::mutex mutex_;
    std::unordered_map<int, int> map_;
};

AuxDescriptors& auxDescriptors() {
    static AuxDescriptors* table = new AuxDescriptors;  // never destroyed: closeFile may run
    return *table;                                      // from static destructors
}

int openRetrying(const char* path, int flags, mode_t mode) {
    for (;;) {
        int fd = sys().open(path, flags, mode);
        if (fd >= 0 || errno != EINTR) return fd;
    }
}

OpenResult openError(int err) {
    switch (err) {
        case ENOENT:
        case ENOTDIR:
            return OpenResult::NotFound;
        case EACCES:
        case EPERM:
        case EROFS:
            return OpenResult::AccessDenied;
        case EISDIR:  // a directory asked for writing
        case ENXIO:   // a socket, or a device without its driver
            return OpenResult::NotRegular;
        default:
            return OpenResult::Failed;
    }
}

void closeRetaining(int fd) {
    int saved = errno;
    sys().close(fd);
    errno = saved;
}

// Opens `path` without waiting: a FIFO would otherwise block the open until a writer comes.
// Anything but a regular file is refused (NotRegular); a regular file's descriptor then blocks
// again like any other, so that reads and writes wait for the disk as usual.
int openRegular(const char* path, int flags, OpenResult* result) {
    int fd = openRetrying(path, flags | O_NONBLOCK, 0);
    if (fd < 0) {
        *result = openError(errno);
        return -1;
    }
    auto refuse = [&](OpenResult why) {
        closeRetaining(fd);
        *result = why;
        return -1;
    };
    struct stat st;
    if (sys().fstat(fd, &st) != 0) return refuse(OpenResult::Failed);
    if (!S_ISREG(st.st_mode)) return refuse(OpenResult::NotRegular);
    int status = sys().fcntlFlags(fd, F_GETFL, 0);
    if (status < 0 || sys().fcntlFlags(fd, F_SETFL, status & ~O_NONBLOCK) != 0)
        return refuse(OpenResult::Failed);
    return fd;
}

}  // namespace

int openFile(const char* path, Access access, bool exclusive, OpenResult* result) {
    OpenResult ignored;
    if (!result) result = &ignored;
    const int mode = access == Access::ReadWrite ? O_RDWR : O_RDONLY;
    int fd = openRegular(path, mode | O_CLOEXEC, result);
    if (fd < 0) return -1;

    int lockFd = fd;
    int aux = -1;
    if (exclusive && access == Access::ReadOnly) {
        aux = openRetrying(path, O_RDWR | O_CLOEXEC, 0);
        if (aux < 0) {
            // Without write access the file cannot be held exclusively.
            closeRetaining(fd);
            *result = OpenResult::Failed;
            return -1;
        }
        lockFd = aux;
    }

    auto span = detail::mapLockRange(kDenyByte, 1);
    LockResult lock = detail::setLock(lockFd, exclusive ? F_WRLCK : F_RDLCK, *span);
    if (lock != LockResult::Ok) {
        if (aux >= 0) closeRetaining(aux);
        closeRetaining(fd);
        *result = lock == LockResult::Busy ? OpenResult::Busy : OpenResult::Failed;
        return -1;
    }

    if (aux >= 0) auxDescriptors().add(fd, aux);
    *result = OpenResult::Ok;
    return fd;
}

int createFile(const char* path) {
    // No deny lock is taken here: only openFile takes one.
    return openRetrying(path, O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666);
}

int openOrCreateLike(const char* path, int like) {
    struct stat st {};
    mode_t mode = 0666;
    if (sys().fstat(like, &st) == 0) mode = st.st_mode & 0777;
    return openRetrying(path, O_CREAT | O_RDWR | O_CLOEXEC, mode);
}

int openPlain(const char* path) {
    return openRetrying(path, O_RDONLY | O_CLOEXEC, 0);
}

bool removeFile(const char* path) {
    return sys().unlink(path) == 0;
}

bool syncDirectoryOf(const char* path) {
    std::string dir(path);
    size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
    int fd = openRetrying(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0) return false;
    bool ok = sys().fsync(fd) == 0;
    closeRetaining(fd);
    return ok;
}

void closeFile(int fd) {
    if (fd < 0) return;
    // Out of the table before fd is closed: once closed, its number may be handed to another
    // thread's open, which must not find our entry.
    int aux = auxDescriptors().take(fd);
    if (aux >= 0) sys().close(aux);
    sys().close(fd);
}

}  // namespace mdnio::platform
