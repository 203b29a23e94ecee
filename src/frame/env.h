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

}  // namespace mdnio
