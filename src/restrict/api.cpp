// Exports of the filter subsystem.  Restrict programs are not stored by this build yet: the
// calls that install one answer "not supported" (code 5); the restricted reads route to the
// kind's slot.
#include "frame/frame.h"

using namespace mdnio;

extern "C" {

MDNIO_API int32_t MDK_PutRestrictInfo(MdkFile* file, int32_t, const MdkRestrictEntry*) {
    return callFrame(file, CallKind::Plain,
                     [&]() -> int32_t { raiseError(file, MDK_E_FILETYPE); });
}

MDNIO_API int32_t MDK_read_ODBC(MdkFile* file, void* buffer, int32_t bufferLength,
                                int32_t option, void* keyOut, uint8_t* keyLengthOut,
                                const void* endKey, int32_t endKeyLength) {
    return MDK_RestrictedRead(file, buffer, bufferLength, option, keyOut, keyLengthOut, endKey,
                              endKeyLength, 2);
}

MDNIO_API int32_t MDK_read_FIRST(MdkFile* file, void*, int32_t, int32_t, void*, uint8_t*,
                                 const void*, int32_t, const void*, int32_t) {
    return callFrame(file, CallKind::Plain,
                     [&]() -> int32_t { raiseError(file, MDK_E_FILETYPE); });
}

}  // extern "C"
