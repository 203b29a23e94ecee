// Giving memory back to the system.
#include <malloc.h>

#include "platform/platform.h"

namespace mdnio::platform {

void releaseFreedMemory() {
    // glibc keeps freed blocks below its mapping threshold in its heap; trimming returns the
    // free pages of every arena.
    malloc_trim(0);
}

}  // namespace mdnio::platform
