// Exports of the filter subsystem: storing restrict entries one by one, and the two restricted
// reads a database-connectivity client drives a filtered scan with.  MDK_RestrictedRead itself
// is routed by the frame to slot 18 of the handle's operation table.
#include <cstring>
#include <span>

#include "frame/frame.h"
#include "restrict/packed.h"
#include "restrict/program.h"
#include "restrict/restricted_read.h"

using namespace mdnio;
using namespace mdnio::filter;

namespace {

constexpr int32_t kClearIndex = -1;

// Views hand their programs to the language runtime and remote files to their server; neither
// keeps one in the handle.  Until those kinds carry their own program calls, storing a program
// for a kind whose reads are not filtered here is refused rather than kept where its reads
// would never apply it.
void refuseKindsWithoutLocalProgram(MdkFile* file) {
    if (!readsRecordsItself(file)) raiseError(file, MDK_E_FILETYPE);
}

}  // namespace

extern "C" {

MDNIO_API int32_t MDK_PutRestrictInfo(MdkFile* file, int32_t index, const MdkRestrictEntry* entry) {
    return callFrame(file, CallKind::Plain, [&]() -> int32_t {
        refuseKindsWithoutLocalProgram(file);
        if (index == kClearIndex) return 0;  // only a view's program can be cleared
        if (index < 0 || index >= kRestrictSlots) raiseError(file, MDK_E_RESTRICTINDEX);
        if (!entry) raiseError(file, MDK_E_MISSING);
        storeEntry(file, index, *entry);
        return 0;
    });
}

MDNIO_API int32_t MDK_read_ODBC(MdkFile* file, void* buffer, int32_t bufferLength, int32_t option,
                                void* keyOut, uint8_t* keyLengthOut, const void* endKey,
                                int32_t endKeyLength) {
    // The rows after the first of a filtered scan obey the same program and key range as the
    // first one; a handle without a program reads on unfiltered, as MDK_read_FIRST began.
    const bool hasProgram = !badHandle(file) && file->restrictOwner == file &&
                            file->restrict[0].value && file->restrict[0].length > 0;
    return MDK_RestrictedRead(file, buffer, bufferLength, option, keyOut, keyLengthOut, endKey,
                              endKeyLength, hasProgram ? MDK_RESTRICT_FILTER : 0);
}

MDNIO_API int32_t MDK_read_FIRST(MdkFile* file, void* buffer, int32_t bufferLength, int32_t option,
                                 void* keyOut, uint8_t* keyLengthOut, const void* endKey,
                                 int32_t endKeyLength, const void* program, int32_t programLength) {
    return callFrame(file, CallKind::Plain, [&]() -> int32_t {
        refuseKindsWithoutLocalProgram(file);
        if (!program || programLength < 0) raiseError(file, MDK_E_LENGTH);
        // Checked whole before anything is stored, so that a refused program leaves the
        // handle's program as it was.
        PackedProgram packed;
        if (!decodePackedProgram(
                {static_cast<const uint8_t*>(program), static_cast<size_t>(programLength)}, packed))
            raiseError(file, MDK_E_LENGTH);
        for (int i = 0; i < packed.count; ++i)
            storeEntry(file, i, packed.entries[i]);
        // This program replaces the last one: slots beyond it left from an earlier, longer
        // program must not filter this scan.
        endProgramAt(file, packed.count);

        // The key goes to the engine zero-terminated, as a key given by a client would.
        char key[256] = {};
        std::memcpy(key, packed.key, static_cast<size_t>(packed.keyLength));
        // Not finding the key is normal: the seek stands before the next higher one.  Any
        // other failure leaves the position where it was, and reading from there would scan
        // the wrong records.
        if (MDK_seek(file, key, packed.keyLength, packed.keyNumber) == -1 &&
            file->error != MDK_E_KEY)
            return -1;
        return file->ops->restrictedRead(file, buffer, bufferLength, option, keyOut, keyLengthOut,
                                         endKey, endKeyLength,
                                         packed.count > 0 ? MDK_RESTRICT_FILTER : 0);
    });
}

}  // extern "C"
