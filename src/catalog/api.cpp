// Catalog exports.  Dictionaries are not read by this build yet: every listing answers its
// failure value and describes fail with code 5.
#include "frame/frame.h"

using namespace mdnio;

extern "C" {

MDNIO_API MdkCatalog* MDRequestHandle(MdkEnv*) { return nullptr; }

MDNIO_API int32_t MDFreeHandle(MdkCatalog*) { return 0; }

MDNIO_API int32_t MDGetTables(MdkCatalog*, const char*, const char*, const char*, int32_t,
                              int32_t*) {
    return 0;
}

MDNIO_API int32_t MDGetColumns(MdkCatalog*, const char*, const char*, const char*, const char*,
                               int32_t*) {
    return 0;
}

MDNIO_API int32_t MDFetchTable(MdkCatalog*, MdkTableRecord*) { return 0; }

MDNIO_API int32_t MDFetchColumn(MdkCatalog*, MdkColumnRecord*) { return 0; }

MDNIO_API int32_t MDDescribeFile(MdkFile* file, MdkFileInfo*) {
    if (!badHandle(file)) file->error = MDK_E_FILETYPE;
    return 0;
}

MDNIO_API int32_t MDDescribeIndex(MdkFile* file, int32_t, int32_t*, int32_t*, MdkKeyInfo*,
                                  MdkSegmentInfo*) {
    if (!badHandle(file)) file->error = MDK_E_FILETYPE;
    return 0;
}

}  // extern "C"
