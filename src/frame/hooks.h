// The points where the frame and the open path call into subsystems that sit beside them
// (remote files, views, catalog).  Each subsystem implements its hooks in its own folder.
#pragma once

#include <cstdint>

#include "frame/handle.h"

namespace mdnio::hooks {

// Remote files.
void remoteReportError(MdkFile* file, int32_t code);  // tell the server about a raised error
void remoteEndSession(MdkEnv* env);                   // end and free env->remoteSession
void remotePushSetting(MdkEnv* env, int32_t mode, intptr_t value);
bool remoteAvailable();  // whether remote names can be opened in this build

// Views.
void viewReleaseLock(MdkFile* file);  // give back the views lock a failing call holds
void viewDestroyGlobalLock();

}  // namespace mdnio::hooks
