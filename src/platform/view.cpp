// Views of files through a shared mapping: reads and writes copy from and to the page cache
// without a system call.  The page cache is the one every process reading or writing the file
// through the system sees, so the bytes and the order in which they change are the same as with
// pread and pwrite.
//
// A page of a mapping that lies past the end of its file raises SIGBUS when touched, and so does
// a page the file system cannot give room on disk when it is first written.  The library never
// shortens a data file, but another program may, and a reader must then see a short file, not
// die.  So every copy from or to a mapping runs under a guard: a SIGBUS handler, installed once
// per process, jumps back out of a guarded copy and hands any other SIGBUS to whatever handled
// it before.
#include <linux/magic.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>

#include "platform/platform.h"

namespace mdnio::platform {

namespace {

// Every classic address is 32 bits wide, so no segment of those files outgrows this: the mapping
// is made this large once and never has to move as the file grows.
constexpr uint64_t kMinimumSpan = uint64_t{1} << 32;

// volatile, and fenced below: the stores around the copy must stay where they are, although
// nothing in this thread reads them but the handler.
thread_local sigjmp_buf* volatile tGuard = nullptr;
struct sigaction gPrevious;

void onSigbus(int sig, siginfo_t* info, void* context) {
    if (sigjmp_buf* guard = tGuard) {
        tGuard = nullptr;
        siglongjmp(*guard, 1);
    }
    // Not a guarded copy: the fault belongs to someone else.
    if (gPrevious.sa_flags & SA_SIGINFO) {
        if (gPrevious.sa_sigaction) {
            gPrevious.sa_sigaction(sig, info, context);
            return;
        }
    } else if (gPrevious.sa_handler != SIG_DFL && gPrevious.sa_handler != SIG_IGN) {
        gPrevious.sa_handler(sig);
        return;
    }
    // Back to the default action: the faulting instruction runs again and ends the process as
    // it would have without this handler.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(SIGBUS, &fallback, nullptr);
}

bool installGuard() {
    static bool installed = [] {
        struct sigaction action {};
        action.sa_sigaction = onSigbus;
        sigemptyset(&action.sa_mask);
        // SA_NODEFER: the jump leaves the handler without restoring the signal mask (which
        // would cost a system call on every guarded copy), so SIGBUS must not stay blocked.
        action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
        return sigaction(SIGBUS, &action, &gPrevious) == 0;
    }();
    return installed;
}

// Runs reader over n bytes of a mapping; false when a page of it is gone.  Nothing with a
// destructor lives in this frame, so the jump out of the handler skips no cleanup.
bool guardedRun(FileView::GuardedReader reader, const uint8_t* bytes, size_t n, void* context) {
    sigjmp_buf guard;
    if (sigsetjmp(guard, 0) != 0) return false;
    tGuard = &guard;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    reader(bytes, n, context);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    tGuard = nullptr;
    return true;
}

// Copies n bytes from or to a mapping; false when a page of it is gone.
bool guardedCopy(void* dst, const void* src, size_t n) {
    return guardedRun(
        [](const uint8_t* from, size_t size, void* to) { std::memcpy(to, from, size); },
        static_cast<const uint8_t*>(src), n, dst);
}

// Network file systems keep their page cache in step with other machines at opens, locks and
// system-call reads and writes; pages reached through a mapping may stay stale or reach the
// server late.  Such files are read and written through the system only.
bool onNetworkFileSystem(int fd) {
    struct statfs fs {};
    if (::fstatfs(fd, &fs) != 0) return true;  // unknown: take the safe way
    switch (static_cast<unsigned long>(fs.f_type)) {
        case NFS_SUPER_MAGIC:
        case SMB_SUPER_MAGIC:
        case 0xFF534D42ul:  // CIFS
        case 0xFE534D42ul:  // SMB2
        case 0x65735546ul:  // FUSE (sshfs and its kind)
        case 0x6B414653ul:  // AFS
        case CODA_SUPER_MAGIC:
        case 0x00C36400ul:  // Ceph
        case 0x47504653ul:  // GPFS
        case 0x0BD00BD0ul:  // Lustre
            return true;
        default:
            return false;
    }
}

}  // namespace

bool FileView::open(int fd, bool writable) {
    close();
    int64_t length = fileLength(fd);
    if (length < 0 || !installGuard() || onNetworkFileSystem(fd)) return false;
    uint64_t span = std::max<uint64_t>(kMinimumSpan, static_cast<uint64_t>(length));
    void* base = MAP_FAILED;
    if (writable) base = sys().mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    writable_ = base != MAP_FAILED;
    if (base == MAP_FAILED) base = sys().mmap(nullptr, span, PROT_READ, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) return false;
    fd_ = fd;
    base_ = static_cast<unsigned char*>(base);
    span_ = span;
    known_ = length;
    return true;
}

void FileView::close() {
    if (base_) ::munmap(base_, span_);
    readied_.clear();
    base_ = nullptr;
    writable_ = false;
    span_ = 0;
    known_ = 0;
    fd_ = -1;
}

bool FileView::inside(int64_t offset, size_t n) {
    if (!base_ || offset < 0 || n > span_ || static_cast<uint64_t>(offset) > span_ - n)
        return false;
    int64_t end = offset + static_cast<int64_t>(n);
    if (end > known_) {
        // The file may have grown since it was measured.
        known_ = fileLength(fd_);
        if (end > known_) return false;
    }
    return true;
}

bool FileView::read(void* dst, size_t n, int64_t offset) {
    if (!inside(offset, n)) return false;
    if (guardedCopy(dst, base_ + offset, n)) return true;
    known_ = 0;  // cut short: measure again before trusting the mapping
    return false;
}

bool FileView::readWith(int64_t offset, size_t n, GuardedReader reader, void* context) {
    if (!inside(offset, n)) return false;
    if (guardedRun(reader, base_ + offset, n, context)) return true;
    known_ = 0;
    return false;
}

// The first write to a page of a shared file mapping traps into the kernel, which readies the
// page (and the file system) for writing before the write goes on.  On a virtual machine such a
// trap costs several system calls, and a run of updates spread over a file meets it on almost
// every page it writes.  So the view readies the pages it has not written before with one
// madvise call each run of them, and keeps a bit per page it readied.  A page the system has
// written back since is write-protected again and costs its trap as it would have: the bits
// only spare calls, nothing depends on them.  Systems older than the call skip it.
void FileView::readyForWrite(int64_t offset, size_t n) {
#ifdef MADV_POPULATE_WRITE
    if (!canReady_ || n == 0) return;
    static const size_t kPage = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    const size_t last = (static_cast<size_t>(offset) + n - 1) / kPage;
    if (last / 64 >= readied_.size()) {
        try {
            readied_.resize(last / 64 + 1 + readied_.size() / 2);
        } catch (const std::bad_alloc&) {
            return;  // the write traps as it would have
        }
    }
    auto ready = [&](size_t page) { return (readied_[page / 64] >> (page % 64)) & 1; };
    size_t page = static_cast<size_t>(offset) / kPage;
    while (page <= last) {
        if (ready(page)) {
            page++;
            continue;
        }
        size_t end = page + 1;
        while (end <= last && !ready(end))
            end++;
        if (::madvise(base_ + page * kPage, (end - page) * kPage, MADV_POPULATE_WRITE) == 0) {
            for (size_t p = page; p < end; p++)
                readied_[p / 64] |= uint64_t{1} << (p % 64);
        } else if (errno == EINVAL) {
            canReady_ = false;  // a system without the call
            return;
        }
        // Any other refusal (the file cut short under the pages) is left to the write's guard.
        page = end;
    }
#else
    (void)offset;
    (void)n;
#endif
}

bool FileView::write(const void* src, size_t n, int64_t offset) {
    if (!base_ || !writable_ || offset < 0 || n > span_ ||
        static_cast<uint64_t>(offset) > span_ - n || offset + static_cast<int64_t>(n) > known_)
        return false;
    readyForWrite(offset, n);
    if (!guardedCopy(base_ + offset, src, n)) {
        known_ = 0;  // cut short, or no room: measure again before trusting the mapping
        return false;
    }
    // The next write (a block after the header that announces it) must not be seen first.
    std::atomic_thread_fence(std::memory_order_release);
    return true;
}

}  // namespace mdnio::platform
