// Catalog exports.  No exception leaves them: a listing that runs out of memory answers 0 like
// any other failed listing.
#include "catalog/catalog.h"
#include "catalog/describe.h"
#include "catalog/facts.h"
#include "catalog/listing.h"
#include "frame/frame.h"

using namespace mdnio;
using namespace mdnio::catalog;

namespace {

template <class Op>
int32_t guarded(Op&& op) noexcept {
    try {
        return op();
    } catch (...) {
        return 0;
    }
}

}  // namespace

extern "C" {

MDNIO_API MdkCatalog* MDRequestHandle(MdkEnv* env) {
    if (!env) return nullptr;
    return requestHandle(env);
}

MDNIO_API int32_t MDFreeHandle(MdkCatalog* handle) {
    if (!badHandle(handle)) freeHandle(handle);
    return 0;
}

MDNIO_API int32_t MDGetTables(MdkCatalog* handle, const char* dictionaryName, const char* qualifier,
                              const char* tableName, int32_t /*extra*/, int32_t* countOut) {
    if (badHandle(handle)) return 0;
    return guarded(
        [&] { return getTables(handle, dictionaryName, qualifier, tableName, countOut); });
}

MDNIO_API int32_t MDGetColumns(MdkCatalog* handle, const char* dictionaryName,
                               const char* qualifier, const char* tableName, const char* fileSpec,
                               int32_t* countOut) {
    if (badHandle(handle)) return 0;
    return guarded([&] {
        return getColumns(handle, dictionaryName, qualifier, tableName, fileSpec, countOut);
    });
}

MDNIO_API int32_t MDFetchTable(MdkCatalog* handle, MdkTableRecord* record) {
    if (badHandle(handle)) return 0;
    // A remote session's lists are the server's, fetched by the remote client this build has
    // not; the local lists are empty then.
    return fetchTable(handle, record);
}

MDNIO_API int32_t MDFetchColumn(MdkCatalog* handle, MdkColumnRecord* record) {
    if (badHandle(handle)) return 0;
    return fetchColumn(handle, record);
}

MDNIO_API int32_t MDDescribeFile(MdkFile* file, MdkFileInfo* info) {
    int32_t rc = callFrame(file, CallKind::Plain, [&]() -> int32_t {
        if (!info || !describeOpenFile(file, *info)) raiseError(file, MDK_E_FILETYPE);
        return 1;
    });
    return rc == 1 ? 1 : 0;
}

MDNIO_API int32_t MDDescribeIndex(MdkFile* file, int32_t firstKey, int32_t* keyCountInOut,
                                  int32_t* segmentCountOut, MdkKeyInfo* keyRecords,
                                  MdkSegmentInfo* segmentRecords) {
    int32_t rc = callFrame(file, CallKind::Plain, [&]() -> int32_t {
        if (!keyCountInOut || !segmentCountOut) raiseError(file, MDK_E_FILETYPE);
        common::KeyLayout layout;
        switch (keyLayoutOf(file, layout)) {
            case KeyShape::RecordNumber:
                describeRecordNumberKey(keyRecords, segmentRecords);
                return 1;
            case KeyShape::Layout:
                if (describeKeys(layout, firstKey, keyCountInOut, segmentCountOut, keyRecords,
                                 segmentRecords))
                    return 1;
                break;
            case KeyShape::None:
                break;
        }
        raiseError(file, MDK_E_FILETYPE);
    });
    return rc == 1 ? 1 : 0;
}

}  // extern "C"
