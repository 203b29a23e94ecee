// Memory taken straight from the system, and memory given back to it.
#include <malloc.h>
#include <sys/mman.h>

#include <utility>

#include "platform/platform.h"

namespace mdnio::platform {

void releaseFreedMemory() {
    // glibc keeps freed blocks below its mapping threshold in its heap; trimming returns the
    // free pages of every arena.
    malloc_trim(0);
}

namespace {
constexpr size_t kHugePage = size_t{2} << 20;
}

LargeMemory::LargeMemory(size_t bytes) {
    if (bytes == 0) return;
    // Room for a start on a huge-page boundary; what lies before and after it goes back.
    const size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* raw = ::mmap(nullptr, rounded + kHugePage, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return;
    const auto start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
    if (aligned > start) ::munmap(raw, aligned - start);
    const uintptr_t end = start + rounded + kHugePage;
    if (end > aligned + rounded)
        ::munmap(reinterpret_cast<void*>(aligned + rounded), end - aligned - rounded);
    data_ = reinterpret_cast<uint8_t*>(aligned);
    bytes_ = rounded;
    ::madvise(data_, bytes_, MADV_HUGEPAGE);  // a hint: without it, ordinary pages
}

LargeMemory::~LargeMemory() {
    if (data_) ::munmap(data_, bytes_);
}

LargeMemory::LargeMemory(LargeMemory&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}

LargeMemory& LargeMemory::operator=(LargeMemory&& other) noexcept {
    if (this != &other) {
        if (data_) ::munmap(data_, bytes_);
        data_ = std::exchange(other.data_, nullptr);
        bytes_ = std::exchange(other.bytes_, 0);
    }
    return *this;
}

}  // namespace mdnio::platform
