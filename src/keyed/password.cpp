// Data-file passwords.  Not supported by this build yet: code 5.
#include "frame/frame.h"

using namespace mdnio;

extern "C" {

MDNIO_API int32_t MDK_SetPswd(MdkFile* file, const char*, int32_t, int32_t) {
    return callFrame(file, CallKind::Plain,
                     [&]() -> int32_t { raiseError(file, MDK_E_FILETYPE); });
}

}  // extern "C"
