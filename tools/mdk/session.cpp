#include "mdk/session.h"

#include <fmt/format.h>

#include <algorithm>

#include "mdk/failure.h"

namespace mdk {

namespace {

// Room for most records in one read; longer ones (continuation pieces) are read again whole.
constexpr size_t kFirstBufferSize = 65536;
// A key value is at most 255 bytes (its length is one byte).
constexpr size_t kKeyBufferSize = 256;

void dropTrailingZeros(std::string& bytes) {
    const size_t end = bytes.find_last_not_of('\0');
    bytes.resize(end == std::string::npos ? 0 : end + 1);
}

}  // namespace

Environment::Environment() : env_(MDK_AllocEnv()) {
    if (!env_) throw Failure("no memory for an environment: " + codeText(MDK_E_MEMORY));
    // Calls that do not go through an OpenFile (the catalog's) cannot be tried again here: they
    // wait as the library does, unless the command line asked not to wait at all.
    if (waitPolicy().timeoutSeconds <= 0) failBusyLocksAtOnce(env_);
}

Environment::~Environment() {
    MDK_DeAllocEnv(env_);
}

OpenFile::OpenFile(Environment& env, const std::string& path, Access access) : path_(path) {
    failBusyLocksAtOnce(env.get());
    const int32_t flags = access == Access::ReadOnly ? MDK_OPEN_READONLY : 0;
    // A failed open has taken nothing and changed nothing: trying again is safe.
    Patience patience(path);
    MdkFile* file = nullptr;
    for (;;) {
        int32_t error = 0;
        file = MDK_OpenExt(env.get(), path.c_str(), nullptr, 0, flags, &error);
        if (file != MDK_INVALID_FILE && file) break;
        if (!isBusyCode(error)) {
            throw Failure(fmt::format("{}: {}", path,
                                      openFailureText(path, error, access == Access::ReadOnly)),
                          kExitFailure, error);
        }
        patience.wait(error);
    }
    file_ = file;
    MdkFileInfo info{};
    if (MDDescribeFile(file_, &info) == 1) {
        if (info.formatCode == MDK_FORMAT_KEYED) kind_ = FileKind::Classic;
        if (info.formatCode == MDK_FORMAT_INDEXED) kind_ = FileKind::Indexed;
        if (info.formatCode == MDK_FORMAT_KEYED2) kind_ = FileKind::Extended;
    }
    keyAreaWidth_ = static_cast<int>(MDGetEnvMode(file_, MDK_FILE_KEY_AREA_WIDTH));
    maxDataLength_ = static_cast<int>(MDGetEnvMode(file_, MDK_FILE_MAX_DATA_LENGTH));
    separator_ = static_cast<int>(MDGetEnvMode(file_, MDK_FILE_SEPARATOR));
    buffer_.resize(kFirstBufferSize + static_cast<size_t>(std::max(keyAreaWidth_, 0)));
}

OpenFile::~OpenFile() {
    if (file_) MDK_close(file_);
}

long OpenFile::recordCount() const {
    return static_cast<long>(MDGetEnvMode(file_, MDK_FILE_RECORD_COUNT));
}

void OpenFile::fail(const std::string& what) const {
    failOn(file_, what);
}

bool OpenFile::read(int option, Record& out) {
    const auto readInto = [this](int32_t op) {
        return MDK_read(file_, buffer_.data(), static_cast<int32_t>(buffer_.size()), op);
    };
    int32_t n = stepPatiently(file_, path_, option, readInto);
    if (n == -2) {
        // Longer than the buffer: ask for the whole length and read the same record again.
        const int32_t whole =
            patiently([&] { return MDK_ExtReadDirect(file_, nullptr, 0, MDK_READ_CURRENT, 0, 0); });
        if (whole < 0) fail(path_ + ": reading a long record");
        buffer_.resize(static_cast<size_t>(whole));
        n = patiently([&] { return readInto(MDK_READ_CURRENT); });
    }
    if (n < 0) {
        if (MDK_geterrno(file_) == MDK_E_EOF) return false;
        fail(path_ + ": reading");
    }
    out = split(buffer_.data(), static_cast<size_t>(n));
    return true;
}

Record OpenFile::record(const std::string& bytes, int32_t length) {
    if (length != -2) return split(bytes.data(), static_cast<size_t>(length));
    Record whole;
    if (!read(MDK_READ_CURRENT, whole)) fail(path_ + ": reading a long record again");
    return whole;
}

Record OpenFile::split(const char* bytes, size_t length) const {
    const size_t width = std::min(length, static_cast<size_t>(std::max(keyAreaWidth_, 0)));
    Record r{std::string(bytes, width), std::string(bytes + width, length - width)};
    if (kind_ == FileKind::Indexed) {
        // Records are fixed-length and zero-filled after what was written: the zeros are not
        // part of the record, and a write of the shorter data fills them in again.
        dropTrailingZeros(r.data);
    } else {
        // The key area is delivered zero-padded to its full width; its own length is not.
        dropTrailingZeros(r.key);
    }
    return r;
}

std::string OpenFile::storedKey(const std::string& key, int keyNumber) {
    if (kind_ == FileKind::Indexed) return recordNumberKey(key);
    std::string stored = key;
    if (MDK_keyadjust(file_, stored.data(), static_cast<int32_t>(stored.size()), keyNumber) != 0) {
        fail(fmt::format("{}: key #{}", path_, keyNumber));
    }
    return stored;
}

std::string OpenFile::currentKey() {
    char value[kKeyBufferSize];
    const int32_t n = patiently([&] { return MDK_GetKey(file_, value, sizeof value, -1); });
    if (n < 0) fail(path_ + ": the current key");
    if (kind_ == FileKind::Indexed) return std::string(value, std::min<int32_t>(n, 8));
    return std::string(value, static_cast<size_t>(n));
}

bool OpenFile::seek(const std::string& key, int keyNumber) {
    // An indexed file's empty key is record 0.
    const std::string given =
        kind_ == FileKind::Indexed && !key.empty() ? recordNumberKey(key) : key;
    const auto seek = [&] {
        return MDK_seek(file_, given.data(), static_cast<int32_t>(given.size()), keyNumber);
    };
    if (patiently(seek) == 0) {
        return true;
    }
    if (MDK_geterrno(file_) != MDK_E_KEY) fail(fmt::format("{}: key #{}", path_, keyNumber));
    return false;
}

void waitForFile(const std::string& path) {
    Environment env;
    try {
        OpenFile file(env, path, Access::ReadOnly);
    } catch (const Failure& e) {
        if (e.exitStatus() == kExitBusy) throw;
    }
}

std::string recordNumberKey(const std::string& text) {
    if (text.empty() || text.size() > 8 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        throw Failure(fmt::format(
            "\"{}\" is not a record number: an indexed file's key is 1 to 8 digits", text));
    }
    return std::string(8 - text.size(), '0') + text;
}

}  // namespace mdk
