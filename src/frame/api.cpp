// The exported keyed-file calls: each runs the call frame and one slot of the handle's
// operation table.  What the operation does is the engine's business.
#include "frame/frame.h"

using namespace mdnio;

extern "C" {

MDNIO_API int32_t MDK_close(MdkFile* file) {
    return callFrame(file, CallKind::Plain, [&] { return file->ops->close(file); });
}

MDNIO_API int32_t MDK_read(MdkFile* file, void* buffer, int32_t length, int32_t option) {
    return MDK_ExtReadDirect(file, buffer, length, option, 0, 0);
}

MDNIO_API int32_t MDK_ExtReadDirect(MdkFile* file, void* buffer, int32_t length, int32_t option,
                                    int32_t offset, int32_t address) {
    return callFrame(file, CallKind::Plain, [&] {
        return file->ops->read(file, buffer, length, option, offset, address);
    });
}

MDNIO_API int32_t MDK_seek(MdkFile* file, const void* key, int32_t keyLength, int32_t keyNumber) {
    return callFrame(file, CallKind::Plain,
                     [&] { return file->ops->seek(file, key, keyLength, keyNumber); });
}

MDNIO_API int32_t MDK_GetKey(MdkFile* file, void* buffer, int32_t length, int32_t keyNumber) {
    return callFrame(file, CallKind::Plain,
                     [&] { return file->ops->getKey(file, buffer, length, keyNumber); });
}

MDNIO_API int32_t MDK_setpos(MdkFile* file, int32_t position) {
    return callFrame(file, CallKind::Plain, [&] { return file->ops->setpos(file, position); });
}

MDNIO_API int32_t MDK_getpos(MdkFile* file) {
    return callFrame(file, CallKind::Plain, [&] { return file->ops->getpos(file); });
}

MDNIO_API int32_t MDK_RawReadMode(MdkFile* file, int32_t mode) {
    // No handle check and no frame of its own beyond catching the raise: the caller must give a
    // valid handle.
    return localTrap(file, [&] { return file->ops->rawReadMode(file, mode); });
}

MDNIO_API int32_t MDK_keyadjust(MdkFile* file, void* key, int32_t keyLength, int32_t keyNumber) {
    return callFrame(file, CallKind::Plain,
                     [&] { return file->ops->keyAdjust(file, key, keyLength, keyNumber); });
}

MDNIO_API int32_t MDK_ExtWrite(MdkFile* file, const void* record, int32_t recordLength,
                               const void* key, int32_t keyLength, int32_t writeMode,
                               int32_t offset) {
    return callFrame(file, CallKind::Write, [&] {
        return file->ops->write(file, record, recordLength, key, keyLength, writeMode, offset);
    });
}

MDNIO_API int32_t MDK_write(MdkFile* file, const void* record, int32_t recordLength,
                            const void* key, int32_t keyLength) {
    return MDK_ExtWrite(file, record, recordLength, key, keyLength, MDK_WRITE_EITHER, 0);
}

MDNIO_API int32_t MDK_insert(MdkFile* file, const void* record, int32_t recordLength,
                             const void* key, int32_t keyLength) {
    return MDK_ExtWrite(file, record, recordLength, key, keyLength, MDK_WRITE_INSERT, 0);
}

MDNIO_API int32_t MDK_update(MdkFile* file, const void* record, int32_t recordLength,
                             const void* key, int32_t keyLength) {
    return MDK_ExtWrite(file, record, recordLength, key, keyLength, MDK_WRITE_UPDATE, 0);
}

MDNIO_API int32_t MDK_remove(MdkFile* file, const void* key, int32_t keyLength) {
    return callFrame(file, CallKind::Write,
                     [&] { return file->ops->remove(file, key, keyLength, 0); });
}

MDNIO_API int32_t MDK_UnlockRecord(MdkFile* file, int32_t which) {
    return callFrame(file, CallKind::Plain, [&] { return file->ops->unlockRecord(file, which); });
}

MDNIO_API int32_t MDK_dict(MdkFile* file, int32_t recordNumber, void* buffer, int32_t length) {
    return callFrame(file, CallKind::Plain,
                     [&] { return file->ops->dict(file, recordNumber, buffer, length); });
}

MDNIO_API int32_t MDK_dict_add(MdkFile* file, int32_t recordNumber, const void* payload,
                               int32_t length) {
    return callFrame(file, CallKind::Plain,
                     [&] { return file->ops->dictAdd(file, recordNumber, payload, length); });
}

MDNIO_API int32_t MDK_RestrictedRead(MdkFile* file, void* buffer, int32_t bufferLength,
                                     int32_t option, void* keyOut, uint8_t* keyLengthOut,
                                     const void* endKey, int32_t endKeyLength, int32_t mode) {
    return callFrame(file, CallKind::Plain, [&] {
        return file->ops->restrictedRead(file, buffer, bufferLength, option, keyOut, keyLengthOut,
                                         endKey, endKeyLength, mode);
    });
}

}  // extern "C"
