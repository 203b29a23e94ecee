// Read-only views of files through a shared mapping.
//
// A page of a mapping that lies past the end of its file raises SIGBUS when touched.  The library
// never shortens a data file, but another program may, and a reader must then see a short file,
// not die.  So every copy out of a mapping runs under a guard: a SIGBUS handler, installed once
// per process, jumps back out of a guarded copy and hands any other SIGBUS to whatever handled
// it before.
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstring>

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

// Copies n bytes from a mapping; false when a page of it is gone.  Nothing with a destructor
// lives in this frame, so the jump out of the handler skips no cleanup.
bool guardedCopy(void* dst, const void* src, size_t n) {
    sigjmp_buf guard;
    if (sigsetjmp(guard, 0) != 0) return false;
    tGuard = &guard;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    std::memcpy(dst, src, n);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    tGuard = nullptr;
    return true;
}

}  // namespace

bool FileView::open(int fd) {
    close();
    int64_t length = fileLength(fd);
    if (length < 0 || !installGuard()) return false;
    uint64_t span = std::max<uint64_t>(kMinimumSpan, static_cast<uint64_t>(length));
    void* base = ::mmap(nullptr, span, PROT_READ, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) return false;
    fd_ = fd;
    base_ = static_cast<const unsigned char*>(base);
    span_ = span;
    known_ = length;
    return true;
}

void FileView::close() {
    if (base_) ::munmap(const_cast<unsigned char*>(base_), span_);
    base_ = nullptr;
    span_ = 0;
    known_ = 0;
    fd_ = -1;
}

bool FileView::read(void* dst, size_t n, int64_t offset) {
    if (!base_ || offset < 0 || n > span_ || static_cast<uint64_t>(offset) > span_ - n)
        return false;
    int64_t end = offset + static_cast<int64_t>(n);
    if (end > known_) {
        // The file may have grown since it was measured.
        known_ = fileLength(fd_);
        if (end > known_) return false;
    }
    if (guardedCopy(dst, base_ + offset, n)) return true;
    known_ = 0;  // cut short: measure again before trusting the mapping
    return false;
}

}  // namespace mdnio::platform
