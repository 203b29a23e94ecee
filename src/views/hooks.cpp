// Views are not served in this build yet: no view handle exists, so no views lock is ever held.
#include "frame/hooks.h"

namespace mdnio::hooks {

void viewReleaseLock(MdkFile*) {}
void viewDestroyGlobalLock() {}

}  // namespace mdnio::hooks
