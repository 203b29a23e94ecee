// Remote files are not reachable in this build yet: no session is ever made, so there is
// nothing to report, end or forward.
#include "frame/hooks.h"

namespace mdnio::hooks {

void remoteReportError(MdkFile*, int32_t) {}
void remoteEndSession(MdkEnv* env) {
    env->remoteSession = nullptr;
}
void remotePushSetting(MdkEnv*, int32_t, intptr_t) {}
bool remoteAvailable() {
    return false;
}

}  // namespace mdnio::hooks
