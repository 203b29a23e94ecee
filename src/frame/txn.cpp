// Transactions cover every file of an environment; the per-file commit and rollback are the
// engines' (slots 7 and 8).
#include "frame/frame.h"
#include "frame/hooks.h"

using namespace mdnio;

namespace {

// Runs slot 7 or 8 on every open file until one fails.  Kinds that cannot take part in a
// transaction (their slot refuses) are passed over: they have nothing to commit.  The next
// handle is read before the call, because a handle closed inside the transaction is freed by
// its commit or rollback.
int32_t finishTransaction(MdkEnv* env, bool commit) {
    lockEnv(env);
    env->inTransaction = 0;
    int32_t result = 0;
    MdkFile* next = nullptr;
    for (MdkFile* f = env->openFiles; f && result == 0; f = next) {
        next = f->next;
        auto slot = commit ? f->ops->commit : f->ops->rollback;
        if (slot == ops::refuseCommit || slot == ops::refuseRollback) continue;
        if (localTrap(f, [&] { return slot(f); }) == -1) result = -1;
    }
    unlockEnv(env);
    return result;
}

}  // namespace

extern "C" {

MDNIO_API int32_t MDK_BeginTX(MdkEnv* env) {
    if (!env) return -1;
    lockEnv(env);
    if (env->inTransaction) {
        unlockEnv(env);
        return -MDK_E_TXBEGIN;
    }
    env->inTransaction = 1;
    unlockEnv(env);
    return 0;
}

MDNIO_API int32_t MDK_CommitTX(MdkEnv* env) {
    if (!env) return -1;
    if (!env->inTransaction) return -MDK_E_TXNONE;
    return finishTransaction(env, true);
}

MDNIO_API int32_t MDK_RollbackTX(MdkEnv* env) {
    if (!env) return -1;
    if (!env->inTransaction) return -MDK_E_TXNONE;
    return finishTransaction(env, false);
}

}  // extern "C"
