// Transactions cover every file of an environment; the per-file commit and rollback are the
// engines' (slots 7 and 8).
#include "frame/env.h"
#include "frame/frame.h"

using namespace mdnio;

namespace {

// Runs slot 7 or 8 on every open file.  Kinds that cannot take part in a transaction (their
// slot refuses) are passed over: they have nothing to commit.  Once a file's commit failed,
// the files after it are rolled back instead, so that none of them keeps its header lock or
// its uncommitted changes.  The next handle is read before the call, because a handle closed
// inside the transaction is freed by its commit or rollback.
int32_t finishTransaction(MdkEnv* env, bool commit) {
    lockEnv(env);
    env->inTransaction = 0;
    int32_t result = 0;
    MdkFile* next = nullptr;
    for (MdkFile* f = env->openFiles; f; f = next) {
        next = f->next;
        auto slot = commit && result == 0 ? f->ops->commit : f->ops->rollback;
        if (slot == ops::refuseCommit || slot == ops::refuseRollback) continue;
        int32_t saved = f->error;
        int32_t rc = localTrap(f, [&] { return slot(f); });
        if (rc == -1 && result == 0) {
            result = -1;
        } else if (result == -1 && rc != -1) {
            f->error = saved;  // a rollback after the failure is not this file's failure
        }
    }
    // The background thread stops when it finds a transaction open; with the background flush
    // still on and a file it serves still open, it comes back now.
    if (env->backgroundFlush.load() && !env->backgroundRunning.load() && env->backgroundPass &&
        env->openFiles)
        startBackground(env, env->backgroundPass);
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
