// Opening a remote file: connect for the name, request 40, and the handle from its reply.
#include "remote/handle.h"

#include <cstring>
#include <new>

#include "frame/frame.h"
#include "remote/session.h"
#include "remote/wire.h"

namespace mdnio::remote {

namespace {

MdkFile* refuse(const OpenRequest& request, int32_t code) {
    if (request.errorOut) *request.errorOut = code;
    return MDK_INVALID_FILE;
}

// Limits on what an open reply may say about a file, so that sizes and their sums stay sane.
constexpr int32_t kLargestSize = 1 << 24;

bool sensibleSize(int32_t n, int32_t least) {
    return n >= least && n <= kLargestSize;
}

// Request 40, with the reply decoded under the same lock; the file number or -1 with the code
// in *error, and the six facts of the file in `facts`.
int32_t askOpen(MdkConnection& c, const OpenRequest& request, const char* name, int32_t facts[6],
                int32_t* error) {
    const int32_t passwordLength = request.password ? request.passwordLength : 0;
    bool built = c.beginRequest(request::kOpen) && c.putLong(c.session) && c.putText(name) &&
                 c.putLong(passwordLength);
    if (passwordLength >= 1 && passwordLength <= kLongestPassword) {
        char password[kLongestPassword + 1] = {};
        std::memcpy(password, request.password, static_cast<size_t>(passwordLength));
        built = built && c.putText(password);
    }
    built = built && c.putShort(request.flags) && c.putLong(request.readWrite ? 1 : 0);
    int32_t number = -1;
    *error = MDK_E_OPEN;  // a transport failure or a reply that makes no sense
    if (!built || !c.exchange() || !c.getLong(number)) return -1;
    if (number == -1) {
        int32_t code = MDK_E_OPEN;
        if (c.getLong(code) && code > 0) *error = code;
        return -1;
    }
    for (int i = 0; i < 6; ++i)
        if (!c.getLong(facts[i])) return -1;
    return number;
}

void describe(RemoteFile* x, const OpenRequest& request, const char* name, const int32_t facts[6]) {
    MdkSharedFile& sh = x->sharedBlock;
    std::strncpy(sh.fileName, name, sizeof sh.fileName - 1);
    sh.fd = x->number;
    sh.keyBufferSize = facts[0];
    sh.maxDataLength = facts[1];
    sh.keyAreaWidth = facts[2];
    sh.recordCount = facts[3];
    sh.separator = facts[4];
    sh.flags = static_cast<uint32_t>(facts[5]) & ~(kSharedOneCall | kSharedExclusive);
    sh.recordBufferLength = facts[0] + facts[1];
    x->env = request.env;
    x->shared = &sh;
    x->writeAllowed = request.readWrite ? 1 : 0;
    x->kind = MDK_KIND_REMOTE;
    x->ops = &remoteOperations();
}

}  // namespace

MdkFile* openRemote(const OpenRequest& request) {
    ServerPart part;
    if (!parseServerPart(request.name, &part)) return refuse(request, MDK_E_OPEN);
    if (std::strlen(part.fileName) >= sizeof(MdkSharedFile::fileName))
        return refuse(request, MDK_E_OPEN);
    if (request.passwordLength < 0) return refuse(request, MDK_E_OPEN);
    if (int32_t code = connectForName(request.env, part)) return refuse(request, code);

    EnvLockHold hold(request.env);
    MdkConnection* c = liveLink(request.env);
    if (!c) return refuse(request, MDK_E_NETWORK);
    int32_t facts[6] = {};
    int32_t error = 0;
    const int32_t number = askOpen(*c, request, part.fileName, facts, &error);
    if (number == -1) return refuse(request, error);
    // What the reply says the file is must make sense before anything is sized from it.
    const bool sensible = number != 0 && sensibleSize(facts[0], 0) && sensibleSize(facts[1], 0) &&
                          sensibleSize(facts[2], 0) && facts[3] >= -1;
    auto* x = sensible ? new (std::nothrow) RemoteFile : nullptr;
    if (!x) {
        // The server opened the file: it is closed again there.
        if (c->beginRequest(request::kClose) && c->putLong(number)) c->exchange();
        return refuse(request, sensible ? MDK_E_MEMORY : MDK_E_NETWORK);
    }
    x->number = number;
    x->generation = c->generation;
    describe(x, request, part.fileName, facts);
    linkFile(x);
    return x;
}

}  // namespace mdnio::remote
