// The header lock that opens and closes a period.
#include "store/store.h"

namespace mdnio::store {

namespace {}  // namespace

platform::LockResult waitForHeaderLock(MdkFile* f, int fd, uint64_t at, bool exclusive) {
    platform::LockResult r = platform::lockRange(fd, at, 1, exclusive);
    if (r == platform::LockResult::Busy && !(f->env->lockOptions & MDK_LOCK_NOWAIT_HEADER)) {
        for (int i = 0; i < 3000 && r == platform::LockResult::Busy; i++) {
            platform::sleepMs(10);
            r = platform::lockRange(fd, at, 1, exclusive);
        }
    }
    return r;
}

}  // namespace mdnio::store
