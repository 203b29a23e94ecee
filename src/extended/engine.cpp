// The extended engine as the library sees it: the files it recognises, its open, and its
// operation table.  Slots this engine does not serve answer with the frame's refusal (5).
#include "extended/engine.h"

#include "extended/extended.h"

namespace mdnio::extended {

namespace {

int32_t opUnlockRecord(MdkFile* mf, int32_t which) {
    ExtFile* f = X(mf);
    lockFile(f);
    releaseHeld(f, f->sh()->locks, which == -1 ? kReleaseAll : static_cast<uint32_t>(which));
    unlockFile(f);
    return 0;
}

const MdkOpTable kExtendedOps = {
    .close = opClose,
    .dict = opDict,
    .seek = ops::refuseSeek,
    .write = ops::refuseWrite,
    .remove = ops::refuseRemove,
    .setpos = ops::refuseSetpos,
    .getpos = ops::refuseGetpos,
    .commit = opCommit,
    .rollback = opRollback,
    .read = ops::refuseRead,
    .rawReadMode = ops::refuseRawReadMode,
    .unlockRecord = opUnlockRecord,
    .getKey = ops::refuseGetKey,
    .keyAdjust = ops::refuseKeyAdjust,
    .dictAdd = ops::refuseDictAdd,
    .lockHeader = opLockHeader,
    .unlockHeader = opUnlockHeader,
    .dropKey = ops::refuseDropKey,
    .restrictedRead = ops::refuseRestrictedRead,
    .currentKey = currentKeyOf,
    .describeFile = describeFile,
    .keyLayout = keyLayoutOf,
};

}  // namespace

MdkFile* openExtended(const OpenRequest& request) {
    return openHandle(request, &kExtendedOps);
}

const EngineEntry kExtendedEngine = {
    .kind = MDK_KIND_KEYED2,
    .form = NameForm::Local,
    .magics = {kMagic, nullptr},
    .open = openExtended,
    .takesPassword = true,
};

}  // namespace mdnio::extended
