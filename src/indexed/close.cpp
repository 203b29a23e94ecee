#include "indexed/file.h"
#include "indexed/ops.h"
#include "platform/platform.h"

namespace mdnio::indexed {

int32_t close(MdkFile* f) {
    IndexedFile* x = asIndexed(f);
    MdkEnv* env = f->env;
    lockEnv(env);
    lockFile(f);
    // Closing the descriptor also gives back every record lock taken through it.
    platform::closeFile(x->fd());
    x->sharedBlock.fd = -1;
    unlinkFile(f);
    unlockFile(f);
    unlockEnv(env);
    freeRestrictProgram(f);
    destroyIndexedFile(x);
    return 0;
}

int32_t unlockRecord(MdkFile* f, int32_t which) {
    IndexedFile* x = asIndexed(f);
    FileLockHold hold(f);
    if (which == -1) {
        releaseHeld(f, x->locks, kReleaseAll);
    } else if (which == 0) {
        // 0 names the current record; a negative current record was never locked.
        if (x->current >= 0) releaseHeld(f, x->locks, recordLockOffset(x, x->current));
    } else if (which > 0) {
        releaseHeld(f, x->locks, lockOffsetAt(which));
    }
    return 0;
}

}  // namespace mdnio::indexed
