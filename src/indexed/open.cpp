#include <cstring>

#include "indexed/file.h"
#include "indexed/format.h"
#include "indexed/indexed.h"
#include "indexed/ops.h"
#include "indexed/torn.h"
#include "platform/platform.h"

namespace mdnio::indexed {

namespace {

MdkFile* refuse(const OpenRequest& request, int32_t code) {
    platform::closeFile(request.fd);
    if (request.errorOut) *request.errorOut = code;
    return MDK_INVALID_FILE;
}

void describe(IndexedFile* x, const OpenRequest& request, const uint8_t* fields) {
    Header header = decodeHeader(fields);
    MdkSharedFile& sh = x->sharedBlock;
    std::strncpy(sh.fileName, request.name, sizeof sh.fileName - 1);
    sh.fd = request.fd;
    sh.separator = header.separator();
    sh.keyAreaWidth = kKeyDigits;
    sh.maxDataLength = x->recordLength;
    sh.keyBufferSize = kKeyDigits;
    sh.recordBufferLength = x->recordLength + kRecordAt;
    sh.longestKey = kKeyDigits;
    noteHeader(x, fields);

    x->env = request.env;
    x->shared = &sh;
    x->writeAllowed = request.readWrite ? 1 : 0;
    x->kind = MDK_KIND_INDEXED;
    x->ops = &operationTable();
    x->keyBuffer = x->recordBuffer;
    x->recordBuffer[kKeyLengthAt] = kKeyDigits;
    setCurrent(x, 0);
}

}  // namespace

MdkFile* openIndexed(const OpenRequest& request) {
    uint8_t fields[kHeaderFields];
    platform::IoResult io = platform::readAt(request.fd, fields, sizeof fields, 0);
    if (io.status != platform::IoStatus::Ok || io.count != static_cast<int64_t>(sizeof fields))
        return refuse(request, MDK_E_FILETYPE);
    // Records are addressed by number times record length: a length of 0 or less would put
    // every record at the same place or before the header.
    int32_t recordLength = decodeHeader(fields).recordLength;
    if (recordLength <= 0) return refuse(request, MDK_E_FILETYPE);

    IndexedFilePtr x = makeIndexedFile(recordLength);
    if (!x) return refuse(request, MDK_E_MEMORY);
    describe(x.get(), request, fields);
    if (int32_t code = repairAtOpen(x.get(), request.readWrite != 0)) return refuse(request, code);
    linkFile(x.get());
    return x.release();
}

}  // namespace mdnio::indexed

namespace mdnio::indexed {

const EngineEntry kIndexedEngine = {
    .kind = MDK_KIND_INDEXED,
    .form = NameForm::Local,
    .magics = {kMagic, kOldMagic},
    .open = openIndexed,
};

}  // namespace mdnio::indexed
