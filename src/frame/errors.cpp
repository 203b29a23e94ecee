#include "frame/errors.h"

#include "frame/frame.h"

namespace mdnio {

namespace {
// Indexed by code.  Codes 16, 18, 27, 39 and 42 are never raised here but a remote server may
// report them, so they print correctly too.
constexpr const char* kMessages[] = {
    "Okay",                                                                            // 0
    "Can't open data file",                                                            // 1
    "Bad file handle number",                                                          // 2
    "Invalid key specified",                                                           // 3
    "End of file reached",                                                             // 4
    "Bad file type -- Not a KEYED file",                                               // 5
    "Key number invalid",                                                              // 6
    "Length invalid",                                                                  // 7
    "No system memory available",                                                      // 8
    "File error : Offset error",                                                       // 9
    "File error : Read of key buffer failed",                                          // 10
    "File error : Key header address invalid",                                         // 11
    "File error : Key size invalid",                                                   // 12
    "File error : Record size invalid",                                                // 13
    "File error : Seek failed",                                                        // 14
    "File error : Read failed",                                                        // 15
    "File error : Truncated read",                                                     // 16
    "Bad internal function code",                                                      // 17
    "File type is indexed",                                                            // 18
    "Write command failed",                                                            // 19
    "Keyed Io returned bad address",                                                   // 20
    "Deleted record chain corrupted",                                                  // 21
    "No EOF marker found in keyed file",                                               // 22
    "File header or record busy -- retry later",                                       // 23
    "File full",                                                                       // 24
    nullptr,                                                                           // 25
    "Duplicate key not allowed",                                                       // 26
    "File error : Record length invalid",                                              // 27
    "File error : Invalid Segment number",                                             // 28
    "Unable to access Indexed file header",                                            // 29
    "File error : Decompression failed",                                               // 30
    "File error : Password Incorrect",                                                 // 31
    "Bad record offset",                                                               // 32
    "File does not exist",                                                             // 33
    "Unknown operator in restrict routine",                                            // 34
    "Access Violation: File is in Read Only mode",                                     // 35
    "Begin transaction without ending previous transaction",                           // 36
    "Rollback/Commit without Begin transaction",                                       // 37
    "File header is busy -- retry later",                                              // 38
    "Required information missing",                                                    // 39
    "Views object version wrong",                                                      // 40
    "File error : Incorrect buffer contents",                                          // 41
    "No more file handles available (too many open files)",                            // 42
    "Network error",                                                                   // 43
    "Version wrong",                                                                   // 44
    nullptr,                                                                           // 45
    nullptr,                                                                           // 46
    "Restrict entry index invalid",                                                    // 47
    "Record field not found",                                                          // 48
    "File left half-written by a stopped writer -- open it for writing to repair it",  // 49
};
constexpr int32_t kMessageCount = sizeof(kMessages) / sizeof(kMessages[0]);
}  // namespace

const char* errorMessage(int32_t code) {
    if (code < 0 || code >= kMessageCount || !kMessages[code]) return "Unknown error";
    return kMessages[code];
}

}  // namespace mdnio

using namespace mdnio;

extern "C" {

MDNIO_API int32_t MDK_geterrno(MdkFile* file) {
    if (badHandle(file)) return MDK_E_HANDLE;
    if (file->ops && file->ops->errorNumber) return file->ops->errorNumber(file);
    return file->error.load();
}

MDNIO_API const char* MDK_strerr(MdkFile* file) {
    return errorMessage(MDK_geterrno(file));
}

MDNIO_API const char* MDK_ErrorMessage(int32_t code) {
    return errorMessage(code);
}

}  // extern "C"
