// The platform layer: the only code of the library that calls the operating system.
//
// Everything above this layer (call frame, open path, engines, catalog) reaches files, locks,
// threads, directories, the environment, dynamic libraries and sockets through these functions.
// System calls go through one replaceable table (`sys()`), so that tests can make a read come
// back short, a write fail or a lock refuse, and reach the error paths above.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

struct flock;

namespace mdnio::platform {

// ---- the replaceable system-call table ----------------------------------------------------

struct SysCalls {
    int (*open)(const char* path, int flags, mode_t mode);
    int (*close)(int fd);
    ssize_t (*pread)(int fd, void* buf, size_t n, off_t off);
    ssize_t (*pwrite)(int fd, const void* buf, size_t n, off_t off);
    int (*fcntlLock)(int fd, int cmd, struct flock* lock);  // F_OFD_SETLK / F_OFD_GETLK
    int (*fcntlFlags)(int fd, int cmd, int flags);          // F_GETFL / F_SETFL
    int (*fstat)(int fd, struct stat* st);
    int (*stat)(const char* path, struct stat* st);
    int (*ftruncate)(int fd, off_t length);
    int (*fsync)(int fd);
    int (*unlink)(const char* path);
    // Shared mappings of files (FileView); a test that refuses them sends every read and write
    // of a file through pread and pwrite, where the entries above can make them fail.
    void* (*mmap)(void* address, size_t length, int protection, int flags, int fd, off_t offset);
    // Sockets (the remote transport and the file server).
    int (*socket)(int domain, int type, int protocol);
    int (*connect)(int sock, const sockaddr* address, socklen_t length);
    int (*setsockopt)(int sock, int level, int name, const void* value, socklen_t length);
    ssize_t (*send)(int sock, const void* buf, size_t n, int flags);
    ssize_t (*recv)(int sock, void* buf, size_t n, int flags);
    int (*bind)(int sock, const sockaddr* address, socklen_t length);
    int (*listen)(int sock, int backlog);
    int (*accept)(int sock, sockaddr* address, socklen_t* length, int flags);  // accept4
    int (*poll)(pollfd* fds, nfds_t count, int timeoutMs);
};

// The table in use. Tests may overwrite entries and must put the defaults back
// (`resetSysCalls()`).
SysCalls& sys();
const SysCalls& defaultSysCalls();
void resetSysCalls();

// ---- files --------------------------------------------------------------------------------

// NotRegular: the name is a directory, FIFO, device or socket, which never holds a data file.
enum class OpenResult { Ok, NotFound, AccessDenied, Busy, NotRegular, Failed };

enum class Access { ReadOnly, ReadWrite };

// Opens an existing regular file. Every open takes a shared lock on the deny byte of the lock
// region; `exclusive` takes it exclusively instead, so that an exclusive opener and any other
// opener (in this process or another) exclude each other: the loser gets Busy.  Any other kind
// of name is refused with NotRegular, at once: the open never waits (a FIFO without a writer
// would block an ordinary open for ever).
// Returns the descriptor, or -1 with the reason in *result.
int openFile(const char* path, Access access, bool exclusive, OpenResult* result);

// Creates a new file (it must not exist) for reading and writing; -1 on failure.
int createFile(const char* path);

// Opens `path` for reading and writing, creating it when it does not exist with the permission
// bits of the file open on `like` (a file that belongs beside it).  No deny lock.  -1 on failure.
int openOrCreateLike(const char* path, int like);

// Opens `path` read-only without a deny lock (a file the library reads beside a data file); -1
// when it does not exist or cannot be opened.
int openPlain(const char* path);

// Removes the name `path`; false on failure.
bool removeFile(const char* path);

// Makes the directory entry of `path` (its creation) durable: syncs the directory holding it.
bool syncDirectoryOf(const char* path);

// Closes a descriptor opened by openFile or createFile; every lock taken through it goes.
void closeFile(int fd);

enum class IoStatus { Ok, SeekFailed, Failed };

struct IoResult {
    int64_t count = 0;  // bytes transferred (may be short at end of file)
    IoStatus status = IoStatus::Ok;
};

// Positioned read and write of up to n bytes; retried on EINTR and continued after a partial
// transfer until n bytes, end of file or an error.
IoResult readAt(int fd, void* buf, size_t n, int64_t offset);
IoResult writeAt(int fd, const void* buf, size_t n, int64_t offset);

// Length of the open file, or -1.
int64_t fileLength(int fd);

// Which file a descriptor has open: two descriptors with equal identities reach one file
// whatever names they were opened by (links, another case, another path).
struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};
// False when the system cannot tell.
bool fileIdentity(int fd, FileIdentity& out);
bool truncateFile(int fd, int64_t length);
bool syncFile(int fd);

// True when the descriptor was opened for writing.
bool isWritable(int fd);

// 64 unpredictable bits from the system (for identifiers that must not repeat across
// processes); falls back to the time and the process id.
uint64_t randomBits();

// ---- read-only views ------------------------------------------------------------------------
//
// A view reads a file through a shared read-only mapping: a copy out of the page cache, without
// a system call.  The mapping and positioned I/O share one page cache, so what any process
// writes with writeAt shows in every view at once.  A view never trusts the mapping past the
// file's length as last measured, and a file cut short behind its back (by another program)
// makes the copy fail instead of killing the process: the caller then reads with readAt, which
// reports what is really there.
class FileView {
  public:
    FileView() = default;
    ~FileView() { close(); }
    FileView(const FileView&) = delete;
    FileView& operator=(const FileView&) = delete;

    // Maps the file open on `fd` (which must stay open while the view is); `writable` asks for
    // a mapping that takes writes too (the descriptor must be open for writing).  False when
    // the system refuses, or when the file lies on a network file system, whose page cache is
    // only kept in step with other machines for reads and writes made through the system: the
    // view then answers every read and write with false.
    bool open(int fd, bool writable);
    void close();
    bool isOpen() const { return base_ != nullptr; }

    // Copies n bytes at `offset` into dst; false when they are not all inside the file (or the
    // view is closed): nothing is to be made of dst then.
    bool read(void* dst, size_t n, int64_t offset);

    // Hands `reader` the n bytes at `offset` where they lie in the mapping, to copy what it
    // needs in one go: the guard against a file cut short is set up once for all its reads
    // instead of once per copy.  False when the bytes are not all inside the file, or when the
    // file was cut short while the reader ran (what it copied is then not to be trusted).  The
    // reader must not throw and must own nothing with a destructor: a cut-short file leaves it
    // by a jump.
    using GuardedReader = void (*)(const uint8_t* bytes, size_t n, void* context);
    bool readWith(int64_t offset, size_t n, GuardedReader reader, void* context);

    // Copies n bytes from src into the file at `offset`, through the mapping: what a write to
    // the descriptor would do, without the system call.  Only inside the file as far as the
    // view knows it (it never grows the file); false, with the file perhaps written in part,
    // when the view cannot take the write: the caller then writes through the descriptor.
    bool write(const void* src, size_t n, int64_t offset);

    // The file is known to reach `end`: a write through the descriptor made it that long.
    void grew(int64_t end) {
        if (end > known_) known_ = end;
    }

    // The file may have been cut back to `end` (by this process or another): nothing past it is
    // trusted again before the file is measured.  A write into the last page of a mapping past
    // the file's end would not fault; it would be lost.
    void shrank(int64_t end) {
        if (end < known_) known_ = end < 0 ? 0 : end;
    }

    // Asks the processor to start loading the cache line at `offset`, for a read that follows
    // soon.  A hint only: it never faults, not even past the end of the file.
    void prefetch(int64_t offset) const {
        if (base_ && offset >= 0 && static_cast<uint64_t>(offset) < span_)
            __builtin_prefetch(base_ + offset);
    }

  private:
    // Whether the n bytes at `offset` lie inside the file as far as it is known, measuring it
    // again when they reach past what was known.
    bool inside(int64_t offset, size_t n);
    // Makes the pages under the n bytes at `offset` writable in the mapping, with one system
    // call for those the view has not written before (see view.cpp).
    void readyForWrite(int64_t offset, size_t n);

    int fd_ = -1;
    unsigned char* base_ = nullptr;
    size_t span_ = 0;    // bytes of address space the mapping covers
    int64_t known_ = 0;  // bytes known to exist in the file
    bool writable_ = false;
    // Pages the view has made writable (one bit each), and whether the system can do that.
    std::vector<uint64_t> readied_;
    bool canReady_ = true;
};

// ---- byte-range locks -----------------------------------------------------------------------
//
// Locks are open-file-description locks: two descriptors of one process conflict as two
// processes would, and closing one descriptor never drops the locks of another. A lock on a
// descriptor opened read-only is shared (read); on a writable one exclusive. Offsets at or
// beyond 2^63 are moved into one fixed region below the largest off_t.

// The first byte of the lock region used by the 32-bit formats.
constexpr uint64_t kLockBase = 0x80000000u;
// The byte every open locks (shared; exclusive for an exclusive open).
constexpr uint64_t kDenyByte = 0x100000000ull;

enum class LockResult { Ok, Busy, Failed };

LockResult lockRange(int fd, uint64_t offset, uint64_t length);
// The same with the kind of lock given (exclusive for a writable descriptor, shared for a
// read-only one), which spares the call that asks the descriptor.
LockResult lockRange(int fd, uint64_t offset, uint64_t length, bool exclusive);
// Whether that lock could be taken now, without taking it: Ok when no other description holds a
// conflicting lock, Busy when one does.  A lock taken and given back at once within one call
// tells others nothing more than this one query does.
LockResult probeRange(int fd, uint64_t offset, uint64_t length, bool exclusive);
void unlockRange(int fd, uint64_t offset, uint64_t length);
// Tests only: whether another open file description holds a lock conflicting with an exclusive
// lock of the range.
bool rangeLockedByOther(int fd, uint64_t offset, uint64_t length);

// ---- threads and time ------------------------------------------------------------------------

using ThreadId = uint64_t;  // never 0

namespace detail {
// This thread's id, 0 until first asked for.  Constant-initialised, so reading it is one load.
inline thread_local ThreadId tThreadId = 0;
ThreadId assignThreadId();
}  // namespace detail

inline ThreadId currentThreadId() {
    ThreadId id = detail::tThreadId;
    return id ? id : detail::assignThreadId();
}
void sleepMs(int ms);
int64_t monotonicSeconds();

// A recursive mutex.  The call frame takes it once per exported call, so the uncontended path
// is a compare-and-swap and two plain stores; a thread that finds it held sleeps in the kernel
// (the classic three-state lock: 0 free, 1 held, 2 held with sleepers).
class RecursiveMutex {
  public:
    void lock() {
        const ThreadId self = currentThreadId();
        if (reentered(self)) return;
        uint32_t expected = 0;
        if (!state_.compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                            std::memory_order_relaxed))
            waitForLock(expected);
        own(self);
    }
    bool tryLock() {
        const ThreadId self = currentThreadId();
        if (reentered(self)) return true;
        uint32_t expected = 0;
        if (!state_.compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                            std::memory_order_relaxed))
            return false;
        own(self);
        return true;
    }
    // Only by the owner.
    void unlock() {
        if (--depth_ > 0) return;
        owner_.store(0, std::memory_order_relaxed);
        if (state_.exchange(0, std::memory_order_release) == 2) wakeOne();
    }

  private:
    bool reentered(ThreadId self) {
        if (owner_.load(std::memory_order_relaxed) != self) return false;
        depth_++;
        return true;
    }
    void own(ThreadId self) {
        owner_.store(self, std::memory_order_relaxed);
        depth_ = 1;
    }
    void waitForLock(uint32_t seen);
    void wakeOne();

    std::atomic<uint32_t> state_{0};
    // Read by other threads only to learn that they are not the owner: no thread but the owner
    // ever stores its own id here, so relaxed loads answer that question exactly.
    std::atomic<ThreadId> owner_{0};
    int32_t depth_ = 0;
};

// ---- memory ----------------------------------------------------------------------------------

// Hands memory the allocator keeps after frees back to the system.  For the end of work that
// held much memory for a while (a large transaction's changed blocks): without it the process
// would keep that memory for the rest of its life.
void releaseFreedMemory();

// A block of memory taken straight from the system, in huge pages where the system offers them
// (one page fault for 2 MiB instead of 512): for memory that grows fast and goes back all at
// once, such as the buffers a large transaction adds to a block cache.  Zero-filled; freed when
// the object goes.
class LargeMemory {
  public:
    LargeMemory() = default;
    explicit LargeMemory(size_t bytes);  // data() is null when the system refuses
    ~LargeMemory();
    LargeMemory(LargeMemory&& other) noexcept;
    LargeMemory& operator=(LargeMemory&& other) noexcept;
    LargeMemory(const LargeMemory&) = delete;
    LargeMemory& operator=(const LargeMemory&) = delete;
    uint8_t* data() const { return data_; }

  private:
    uint8_t* data_ = nullptr;
    size_t bytes_ = 0;
};

// ---- names and directories -------------------------------------------------------------------

// The current directory into buf (at most size-1 bytes and a terminator); its length, or 0.
size_t currentDirectory(char* buf, size_t size);

// A directory search over the names matching a pattern whose last part may hold '*' and '?'.
class DirSearch;
// First matching name (the entry's name, not its path); null when nothing matches.
DirSearch* findFirst(const char* pattern, std::string* name);
bool findNext(DirSearch* search, std::string* name);
void findClose(DirSearch* search);
// Whether `name` matches `pattern` ('*' any run, '?' one character).
bool matchPattern(const char* pattern, const char* name);

// The file's mode word (st_mode, low 16 bits), or -1.
int32_t fileMode(const char* path);

// Value of an environment variable, or null.
const char* getEnv(const char* name);

// ---- dynamic loading -------------------------------------------------------------------------

void* loadLibrary(const char* path);
void* findSymbol(void* library, const char* name);
void freeLibrary(void* library);

// ---- sockets ---------------------------------------------------------------------------------

// The environment variable that gives client sockets a receive time-out, in milliseconds: a
// server that stops answering then fails the request instead of holding its caller for ever.
constexpr char kRecvTimeoutVariable[] = "MDN_RECV_TIMEOUT";
// How long a send may wait for the peer to take the bytes before it fails.
constexpr int kSendTimeoutMs = 60000;

// A connected TCP socket to host:port (name or dotted address), or -1.  The socket sends at once
// (no delay), gives up a send after kSendTimeoutMs, and a receive after the time given in
// MDN_RECV_TIMEOUT when that variable holds a positive number.
int tcpConnect(const char* host, int port, int timeoutMs);
// Sends all n bytes, looping over partial sends and interruptions; false on failure.  A peer
// that went away is a failure, never a SIGPIPE.
bool tcpSendAll(int sock, const void* buf, size_t n);
// Receives exactly n bytes; false on failure, time-out or end of stream.
bool tcpRecvAll(int sock, void* buf, size_t n);
void tcpClose(int sock);

// A socket listening on address:port (dotted IPv4 address; port 0 takes any free port), or -1.
// The port it listens on goes to *boundPort when given.
int tcpListen(const char* address, int port, int* boundPort);

enum class WaitResult { Ready, TimedOut, Failed };

// Waits up to timeoutMs (below 0: for ever) for a connection on a listening socket, or for
// bytes (or the end of the stream) on a connected one.
WaitResult tcpWaitReadable(int sock, int timeoutMs);

// Takes the next connection of a listening socket, waiting at most timeoutMs (below 0: for
// ever); -1 when none came or on failure (*timedOut tells which, when given).  The connection
// sends at once and gives up a send after kSendTimeoutMs.
int tcpAccept(int listening, int timeoutMs, bool* timedOut);

// Gives up a receive on `sock` that waits longer than ms milliseconds (0: never).
bool tcpSetRecvTimeout(int sock, int ms);

// ---- private-profile (.ini) files -------------------------------------------------------------
//
// Read as the classic Windows call answers: sections and keys compare without case; a value is
// trimmed of blanks and of one pair of enclosing quotes.
//   section and key given: the key's value, else `defaultValue`; cut to size-1 bytes.
//   key null: the names of the section's keys, each zero-terminated, the list ending with a
//     second zero; when cut, size-2 is answered.
//   section null: the names of the sections, the same way.
// Answers the number of bytes stored, not counting the final terminator(s).
size_t profileString(const char* section, const char* key, const char* defaultValue, char* buf,
                     size_t size, const char* path);

}  // namespace mdnio::platform
