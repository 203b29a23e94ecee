// Data-file passwords.  Not supported by this build yet: code 5.
#include "frame/frame.h"
#include "keyed/keyed.h"
#include "keyed/password.h"

namespace mdnio::keyed {

// Files are opened without looking for a password record yet.
int32_t checkPassword(KeyedFile*, const char*, int32_t) { return 0; }

}  // namespace mdnio::keyed

using namespace mdnio;

extern "C" {

MDNIO_API int32_t MDK_SetPswd(MdkFile* file, const char*, int32_t, int32_t) {
    return callFrame(file, CallKind::Plain,
                     [&]() -> int32_t { raiseError(file, MDK_E_FILETYPE); });
}

}  // extern "C"
