// The requests about one file of the session: open, then everything that names the file by
// the number the open gave it.
#include <vector>

#include "server/paths.h"
#include "server/session.h"

namespace mdnio::server {

namespace {

// The flag word the open reply gives the client (no bulk reads yet).
constexpr int32_t kOpenReplyFlags = 0;
// Room a reply needs beside a record: result, counts.
constexpr uint32_t kReplyOverhead = 64;

int32_t fileFact(MdkFile* file, int32_t mode) {
    return static_cast<int32_t>(MDGetEnvMode(file, mode));
}

}  // namespace

Session::OpenFile* Session::fileField() {
    int32_t number = 0;
    if (!link_->getLong(number)) return nullptr;
    auto it = files_.find(number);
    return it == files_.end() ? nullptr : &it->second;
}

Session::Outcome Session::fileResult(OpenFile& file, int32_t result) {
    file.error = result == -1 ? MDK_geterrno(file.handle) : -1;
    return reply(result);
}

Session::Outcome Session::open() {
    std::string name, password;
    int32_t passwordLength = 0, writeAllowed = 0;
    uint16_t flags = 0;
    if (!sessionMatches() || !link_->getText(name) || !link_->getLong(passwordLength))
        return Outcome::Refused;
    if (passwordLength >= 1 && passwordLength <= remote::kLongestPassword &&
        !link_->getText(password))
        return Outcome::Refused;
    if (!link_->getShort(flags) || !link_->getLong(writeAllowed)) return Outcome::Refused;

    int32_t error = 0;
    const std::string path = confinedPath(context_.root, name, &error);
    MdkFile* file = MDK_INVALID_FILE;
    if (!path.empty()) {
        const int32_t openFlags = writeAllowed ? flags : (flags | MDK_OPEN_READONLY);
        file = MDK_OpenExt(env_, path.c_str(), password.empty() ? nullptr : password.c_str(),
                           static_cast<int32_t>(password.size()), openFlags, &error);
    }
    if (file == MDK_INVALID_FILE) {
        link_->beginReply();
        return link_->putLong(-1) && link_->putLong(error ? error : MDK_E_OPEN) ? Outcome::Answered
                                                                                : Outcome::Refused;
    }
    const int32_t number = newNumber();
    files_[number] = OpenFile{file};
    link_->beginReply();
    bool ok = link_->putLong(number);
    for (int32_t mode : {MDK_FILE_KEY_BUFFER_SIZE, MDK_FILE_MAX_DATA_LENGTH,
                         MDK_FILE_KEY_AREA_WIDTH, MDK_FILE_RECORD_COUNT, MDK_FILE_SEPARATOR})
        ok = ok && link_->putLong(fileFact(file, mode));
    ok = ok && link_->putLong(kOpenReplyFlags);
    return ok ? Outcome::Answered : Outcome::Refused;
}

Session::Outcome Session::close() {
    int32_t number = 0;
    if (!link_->getLong(number)) return Outcome::Refused;
    auto it = files_.find(number);
    if (it == files_.end()) return Outcome::Refused;
    MdkFile* handle = it->second.handle;
    // The number goes whatever the close answers: the client frees its handle either way, and
    // a handle the close left open is closed with the environment.
    files_.erase(it);
    return reply(MDK_close(handle));
}

Session::Outcome Session::seek() {
    OpenFile* file = fileField();
    uint16_t keyNumber = 0, keyLength = 0;
    const uint8_t* key = nullptr;
    int32_t count = 0;
    if (!file || !link_->getShort(keyNumber) || !link_->getShort(keyLength) ||
        !link_->getCounted(key, count) || count < keyLength)
        return Outcome::Refused;
    return fileResult(*file,
                      MDK_seek(file->handle, key, keyLength, static_cast<int16_t>(keyNumber)));
}

Session::Outcome Session::read() {
    OpenFile* file = fileField();
    int32_t length = 0, extra1 = 0, extra2 = 0;
    uint16_t option = 0;
    if (!file || !link_->getLong(length) || !link_->getShort(option) || !link_->getLong(extra1) ||
        !link_->getLong(extra2))
        return Outcome::Refused;
    // The reply must fit in one message the client will take.
    if (length < 0 || static_cast<uint32_t>(length) > context_.options.maxFrame - kReplyOverhead)
        return Outcome::Refused;
    std::vector<uint8_t> buffer(static_cast<size_t>(length));
    const int32_t r = MDK_ExtReadDirect(file->handle, length ? buffer.data() : nullptr, length,
                                        option, extra1, extra2);
    if (fileResult(*file, r) != Outcome::Answered) return Outcome::Refused;
    bool ok = true;
    if (r > 0) ok = link_->putBytes(buffer.data(), length ? r : 0);
    if (r < -1 && length > 0) ok = link_->putBytes(buffer.data(), length);
    return ok ? Outcome::Answered : Outcome::Refused;
}

Session::Outcome Session::write() {
    OpenFile* file = fileField();
    int32_t recordLength = 0, recordCount = 0, keyCount = 0, mode = 0, extra = 0;
    const uint8_t *record = nullptr, *key = nullptr;
    uint16_t keyField = 0;
    if (!file || !link_->getLong(recordLength) || !link_->getCounted(record, recordCount) ||
        recordCount != recordLength || !link_->getShort(keyField))
        return Outcome::Refused;
    // Signed: -1 rewrites the current record, without a key.
    const int16_t keyLength = static_cast<int16_t>(keyField);
    if (keyLength > 0 && (!link_->getCounted(key, keyCount) || keyCount < keyLength))
        return Outcome::Refused;
    if (!link_->getLong(mode) || !link_->getLong(extra)) return Outcome::Refused;
    return fileResult(
        *file, MDK_ExtWrite(file->handle, record, recordLength, key, keyLength, mode, extra));
}

Session::Outcome Session::remove() {
    OpenFile* file = fileField();
    uint16_t keyLength = 0;
    const uint8_t* key = nullptr;
    int32_t count = 0;
    if (!file || !link_->getShort(keyLength)) return Outcome::Refused;
    if (keyLength > 0 && (!link_->getCounted(key, count) || count < keyLength))
        return Outcome::Refused;
    return fileResult(*file, MDK_remove(file->handle, key, keyLength));
}

Session::Outcome Session::getPosition() {
    OpenFile* file = fileField();
    if (!file) return Outcome::Refused;
    return fileResult(*file, MDK_getpos(file->handle));
}

Session::Outcome Session::setPosition() {
    OpenFile* file = fileField();
    int32_t position = 0;
    if (!file || !link_->getLong(position)) return Outcome::Refused;
    return fileResult(*file, MDK_setpos(file->handle, position));
}

Session::Outcome Session::errorNumber() {
    OpenFile* file = fileField();
    if (!file) return reply(MDK_E_HANDLE);  // a number this session never gave out
    return reply(file->error >= 0 ? file->error : MDK_geterrno(file->handle));
}

Session::Outcome Session::reportError() {
    OpenFile* file = fileField();
    int32_t code = 0;
    if (!file || !link_->getLong(code)) return Outcome::Refused;
    file->error = code;  // what the client raised itself is what request 10 answers next
    return reply(0);
}

}  // namespace mdnio::server
