#include "frame/env.h"

#include <mutex>
#include <new>

#include "frame/frame.h"

namespace mdnio {

namespace {

// The registry lock lives as long as the library: it is never destroyed, so no thread can race
// its creation or destruction against another allocating or freeing an environment.
std::recursive_mutex& registryLock() {
    static auto* m = new std::recursive_mutex;
    return *m;
}

MdkEnv* registryHead = nullptr;
MdkEnv* theDefaultEnv = nullptr;

void stopBackground(MdkEnv* env) {
    env->backgroundFlush.store(0);
    if (env->backgroundThread.joinable()) env->backgroundThread.join();
    env->backgroundRunning.store(0);
}

void backgroundLoop(MdkEnv* env) {
    env->backgroundRunning.store(1);
    env->backgroundStarted.store(1);
    for (;;) {
        // Three short sleeps rather than one long one, so that a teardown does not wait long.
        for (int i = 0; i < 3; i++) {
            platform::sleepMs(100);
            if (!env->backgroundFlush.load()) break;
        }
        if (!env->backgroundFlush.load()) break;
        lockEnv(env);
        bool stop = env->inTransaction != 0;
        if (!stop) {
            env->backgroundTicks++;
            if (env->backgroundPass) env->backgroundPass(env);
        } else {
            // Said under the environment lock, so that the end of the transaction, which
            // looks under the same lock, knows to start the thread again.
            env->backgroundRunning.store(0);
        }
        unlockEnv(env);
        if (stop) break;
    }
    env->backgroundRunning.store(0);
}

}  // namespace

bool isLiveEnv(MdkEnv* env) {
    std::lock_guard<std::recursive_mutex> g(registryLock());
    for (MdkEnv* e = registryHead; e; e = e->next)
        if (e == env) return true;
    return false;
}

void startBackground(MdkEnv* env, void (*pass)(MdkEnv* env)) {
    if (env->backgroundRunning.load()) return;
    // A thread that stopped by itself (a transaction was open) is joined before a new one.
    if (env->backgroundThread.joinable()) env->backgroundThread.join();
    env->backgroundPass = pass;
    env->backgroundStarted.store(0);
    try {
        env->backgroundThread = std::thread(backgroundLoop, env);
    } catch (...) {
        return;  // without the thread, header locks are released at every call instead
    }
    for (int i = 0; i < 20 && !env->backgroundStarted.load(); i++)
        platform::sleepMs(50);
}

void tearDownEnv(MdkEnv* env) {
    stopBackground(env);
    lockEnv(env);
    if (env->inTransaction) MDK_RollbackTX(env);
    while (MdkFile* head = env->openFiles) {
        MDK_close(head);
        // A close that failed leaves the handle linked.  It is asked once more (a remote file
        // whose link broke during the first close is let go by the second), then unlinked by
        // hand so that teardown ends.
        if (env->openFiles == head) MDK_close(head);
        if (env->openFiles == head) env->openFiles = head->next;
    }
    if (env->catalog) {
        MDFreeHandle(env->catalog);
        env->catalog = nullptr;
    }
    // The server hears that the session ends while the environment lock is still held.
    if (env->remoteSession && serverHooks()) serverHooks()->endSession(env);
    // Give the environment lock back completely; the environment stays usable when it is torn
    // down in place (library unload) and is simply freed otherwise.
    env->lockDepth = 1;
    unlockEnv(env);
}

MdkEnv* defaultEnv() {
    std::lock_guard<std::recursive_mutex> g(registryLock());
    if (!theDefaultEnv) theDefaultEnv = MDK_AllocEnv();
    return theDefaultEnv;
}

namespace {
// When the library leaves the process, every environment still allocated is torn down in
// place (files closed, transactions rolled back); environments are neither unlinked nor freed.
__attribute__((destructor)) void tearDownAllAtUnload() {
    std::lock_guard<std::recursive_mutex> g(registryLock());
    for (MdkEnv* e = registryHead; e; e = e->next)
        tearDownEnv(e);
}
}  // namespace

}  // namespace mdnio

using namespace mdnio;

extern "C" {

MDNIO_API MdkEnv* MDK_AllocEnv(void) {
    std::lock_guard<std::recursive_mutex> g(registryLock());
    MdkEnv* env = new (std::nothrow) MdkEnv();
    if (!env) return nullptr;
    env->next = registryHead;
    registryHead = env;
    return env;
}

MDNIO_API void MDK_DeAllocEnv(MdkEnv* env) {
    if (!env) return;
    std::lock_guard<std::recursive_mutex> g(registryLock());
    for (MdkEnv** p = &registryHead; *p; p = &(*p)->next) {
        if (*p == env) {
            *p = env->next;
            if (env == theDefaultEnv) theDefaultEnv = nullptr;
            tearDownEnv(env);
            delete env;
            return;
        }
    }
}

}  // extern "C"
