// The operations of a plain remote file: each is one request and one reply on the environment's
// link, built, exchanged and decoded under the environment lock, since the reply lives in the
// buffer the next request of any thread overwrites.
#include <functional>

#include "frame/frame.h"
#include "remote/handle.h"
#include "remote/session.h"
#include "remote/wire.h"

namespace mdnio::remote {

namespace {

// Key and record lengths travel as shorts or are checked against what the caller gave: a
// length the wire cannot carry is refused before anything is sent.
constexpr int32_t kLongestShort = 0x7FFF;

int32_t networkError(MdkFile* f) {
    f->error = MDK_E_NETWORK;
    return -1;
}

// The link `f` was opened through, when it still holds.
MdkConnection* linkOf(MdkFile* f) {
    MdkConnection* c = liveLink(f->env);
    return c && c->generation == asRemote(f)->generation ? c : nullptr;
}

using Put = std::function<bool(MdkConnection&)>;
using Decode = std::function<int32_t(MdkConnection&, int32_t result)>;

// One request on `f`: the code, the file number, what `put` adds; then the reply's result,
// and what `decode` makes of the rest.  A transport failure, or a reply that does not hold what
// it must, is error 43 on the handle.
int32_t fileRequest(MdkFile* f, uint8_t code, const Put& put, const Decode& decode = {}) {
    EnvLockHold hold(f->env);
    MdkConnection* c = linkOf(f);
    if (!c) return networkError(f);
    if (!c->beginRequest(code) || !c->putLong(asRemote(f)->number) || (put && !put(*c))) {
        f->error = MDK_E_MEMORY;  // the message could not grow
        return -1;
    }
    int32_t result = 0;
    if (!c->exchange() || !c->getLong(result)) return networkError(f);
    // The link held: a 43 left by an earlier failure is no longer the news.
    if (f->error == MDK_E_NETWORK) f->error = 0;
    return decode ? decode(*c, result) : result;
}

void requireLength(MdkFile* f, int32_t length, const void* bytes) {
    if (length < 0 || (length > 0 && !bytes)) raiseError(f, MDK_E_LENGTH);
}

// ---- the slots ----

int32_t close(MdkFile* f) {
    if (f->env->inTransaction) {
        // Closed for real when the transaction ends (commit and rollback below).
        f->flags |= kFileClosedInTx;
        return 0;
    }
    // Without its link the file is no longer open on the server, which closes the files of a
    // session whose connection went: the handle simply goes.
    const bool linked = [&] {
        EnvLockHold hold(f->env);
        return linkOf(f) != nullptr;
    }();
    const int32_t result = linked ? fileRequest(f, request::kClose, {}) : 0;
    // A link that broke during this close: the handle stays, for its error to be read.
    if (result == -1 && f->error == MDK_E_NETWORK) return -1;
    unlinkFile(f);
    delete asRemote(f);
    return result == -1 ? -1 : 0;
}

// A handle closed inside the transaction is closed now; there is nothing else to commit or
// roll back here (the server's side of a remote transaction is its own).
int32_t finishClosed(MdkFile* f) {
    if (!(f->flags & kFileClosedInTx)) return 0;
    f->flags &= ~kFileClosedInTx;
    return close(f);
}

int32_t seek(MdkFile* f, const void* key, int32_t length, int32_t keyNumber) {
    requireLength(f, length, key);
    if (length > kLongestShort) raiseError(f, MDK_E_LENGTH);
    return fileRequest(f, request::kSeek, [&](MdkConnection& c) {
        return c.putShort(keyNumber) && c.putShort(length) && c.putBytes(key, length);
    });
}

int32_t read(MdkFile* f, void* buf, int32_t length, int32_t option, int32_t offset,
             int32_t address) {
    if (length < 0) raiseError(f, MDK_E_LENGTH);
    const int32_t sent = buf ? length : 0;
    int32_t status = fileRequest(
        f, request::kRead,
        [&](MdkConnection& c) {
            return c.putLong(sent) && c.putShort(option) && c.putLong(offset) && c.putLong(address);
        },
        [&](MdkConnection& c, int32_t r) -> int32_t {
            if (r == -1 || r == 0 || (r < -1 && sent < 1)) return r;
            int32_t count = 0;
            if (!c.getBytes(buf, static_cast<size_t>(sent), count)) return networkError(f);
            return r > 0 && buf ? count : r;
        });
    return status;
}

int32_t write(MdkFile* f, const void* rec, int32_t recLen, const void* key, int32_t keyLen,
              int32_t mode, int32_t offset) {
    requireLength(f, recLen, rec);
    if (keyLen > kLongestShort || (keyLen > 0 && !key)) raiseError(f, MDK_E_KEYSIZE);
    f->shared->flags |= kWrittenThrough;  // no more bulk reads of this file
    return fileRequest(f, request::kWrite, [&](MdkConnection& c) {
        return c.putLong(recLen) && c.putBytes(rec, recLen) && c.putShort(keyLen) &&
               (keyLen <= 0 || c.putBytes(key, keyLen)) && c.putLong(mode) && c.putLong(offset);
    });
}

int32_t remove(MdkFile* f, const void* key, int32_t keyLen, int32_t) {
    const int32_t sent = key ? keyLen : 0;
    if (sent < 0 || sent > kLongestShort) raiseError(f, MDK_E_KEYSIZE);
    f->shared->flags |= kWrittenThrough;
    return fileRequest(f, request::kRemove, [&](MdkConnection& c) {
        return c.putShort(sent) && (sent == 0 || c.putBytes(key, sent));
    });
}

int32_t setpos(MdkFile* f, int32_t position) {
    return fileRequest(f, request::kSetPosition,
                       [&](MdkConnection& c) { return c.putLong(position); });
}

int32_t getpos(MdkFile* f) {
    return fileRequest(f, request::kGetPosition, {});
}

// MDK_geterrno: a 43 is the link's own news; anything else the server keeps (request 10).
int32_t errorNumber(MdkFile* f) {
    if (f->error == MDK_E_NETWORK) return MDK_E_NETWORK;
    const int32_t code = fileRequest(f, request::kErrorNumber, {});
    if (code == -1 && f->error == MDK_E_NETWORK) return MDK_E_NETWORK;
    f->error = code;
    return code;
}

// An error the library raised itself on the file: the server hears of it (request 61), so
// that request 10 answers it next.
void noteRaise(MdkFile* f, int32_t code) {
    fileRequest(f, request::kReportError, [&](MdkConnection& c) { return c.putLong(code); });
}

MdkOpTable makeTable() {
    MdkOpTable t = kRefusingTable;
    t.close = close;
    t.seek = seek;
    t.write = write;
    t.remove = remove;
    t.setpos = setpos;
    t.getpos = getpos;
    t.commit = finishClosed;
    t.rollback = finishClosed;
    t.read = read;
    t.lockHeader = ops::nothingLockHeader;
    t.unlockHeader = ops::nothingUnlockHeader;
    t.noteRaise = noteRaise;
    t.errorNumber = errorNumber;
    return t;
}

}  // namespace

const MdkOpTable& remoteOperations() {
    static const MdkOpTable table = makeTable();
    return table;
}

}  // namespace mdnio::remote
