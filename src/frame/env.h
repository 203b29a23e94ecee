// The registry of live environments, their teardown, the default environment of MDK_open, and
// the background flush thread an engine may start for an environment.
#pragma once

#include "frame/handle.h"

namespace mdnio {

// Releases everything the environment holds (background thread, transaction, open files,
// catalog, remote session) without unlinking or freeing it.
void tearDownEnv(MdkEnv* env);

// The process-wide environment MDK_open uses, made on first use; null when memory is exhausted.
MdkEnv* defaultEnv();

// Whether `env` is a live environment of the registry.
bool isLiveEnv(MdkEnv* env);

// Starts the environment's background thread (unless it runs) with `pass` as its periodic
// work, and waits until it reports running.  The thread stops by itself when background flush
// is switched off or a transaction is open; teardown joins it.
void startBackground(MdkEnv* env, void (*pass)(MdkEnv* env));

// What the environment modes and the teardown ask of the remote engine, which the frame does not
// know: defined by the place that registers the engines; null when the build has no remote
// engine.
struct ServerHooks {
    // Modes 11 (server information) and 14 (connect to the default server).
    intptr_t (*getMode)(MdkEnv* env, int32_t mode);
    // A setting changed: the server's side of the environment follows.
    void (*settingChanged)(MdkEnv* env, int32_t mode, intptr_t value);
    // Ends the session with the server (called with the environment lock held, its files
    // closed).
    void (*endSession)(MdkEnv* env);
};
const ServerHooks* serverHooks();

}  // namespace mdnio
