// The system-call table: the defaults are thin wrappers so that every entry has a plain
// function-pointer type a test can replace.
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"

namespace mdnio::platform {
namespace {

int sysOpen(const char* path, int flags, mode_t mode) {
    return ::open(path, flags, mode);
}
int sysClose(int fd) {
    return ::close(fd);
}
ssize_t sysPread(int fd, void* buf, size_t n, off_t off) {
    return ::pread(fd, buf, n, off);
}
ssize_t sysPwrite(int fd, const void* buf, size_t n, off_t off) {
    return ::pwrite(fd, buf, n, off);
}
int sysFcntlLock(int fd, int cmd, struct flock* lock) {
    return ::fcntl(fd, cmd, lock);
}
int sysFcntlFlags(int fd, int cmd, int flags) {
    return ::fcntl(fd, cmd, flags);
}
int sysFstat(int fd, struct stat* st) {
    return ::fstat(fd, st);
}
int sysStat(const char* path, struct stat* st) {
    return ::stat(path, st);
}
int sysFtruncate(int fd, off_t length) {
    return ::ftruncate(fd, length);
}
int sysFsync(int fd) {
    return ::fsync(fd);
}
int sysUnlink(const char* path) {
    return ::unlink(path);
}
void* sysMmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) {
    return ::mmap(address, length, protection, flags, fd, offset);
}

int sysSocket(int domain, int type, int protocol) {
    return ::socket(domain, type, protocol);
}
int sysConnect(int sock, const sockaddr* address, socklen_t length) {
    return ::connect(sock, address, length);
}
int sysSetsockopt(int sock, int level, int name, const void* value, socklen_t length) {
    return ::setsockopt(sock, level, name, value, length);
}
ssize_t sysSend(int sock, const void* buf, size_t n, int flags) {
    return ::send(sock, buf, n, flags);
}
ssize_t sysRecv(int sock, void* buf, size_t n, int flags) {
    return ::recv(sock, buf, n, flags);
}
int sysBind(int sock, const sockaddr* address, socklen_t length) {
    return ::bind(sock, address, length);
}
int sysListen(int sock, int backlog) {
    return ::listen(sock, backlog);
}
int sysAccept(int sock, sockaddr* address, socklen_t* length, int flags) {
    return ::accept4(sock, address, length, flags);
}
int sysPoll(pollfd* fds, nfds_t count, int timeoutMs) {
    return ::poll(fds, count, timeoutMs);
}

constexpr SysCalls kDefaults = {
    sysOpen,       sysClose,     sysPread, sysPwrite, sysFcntlLock, sysFcntlFlags, sysFstat,
    sysStat,       sysFtruncate, sysFsync, sysUnlink, sysMmap,      sysSocket,     sysConnect,
    sysSetsockopt, sysSend,      sysRecv,  sysBind,   sysListen,    sysAccept,     sysPoll};

// Only tests write the table, and they do so while no other thread of the library runs.
SysCalls gTable = kDefaults;

}  // namespace

SysCalls& sys() {
    return gTable;
}
const SysCalls& defaultSysCalls() {
    return kDefaults;
}
void resetSysCalls() {
    gTable = kDefaults;
}

}  // namespace mdnio::platform
