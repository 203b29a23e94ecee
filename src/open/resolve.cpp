#include "open/resolve.h"

#include <strings.h>
#include <cstring>

#include "frame/env.h"
#include "frame/frame.h"
#include "open/dispatch.h"

namespace mdnio {

namespace {

constexpr char kRemotePrefix[] = "[rmt:";
constexpr size_t kRemotePrefixLength = sizeof kRemotePrefix - 1;

void setError(int32_t* errorOut, int32_t code) {
    if (errorOut) *errorOut = code;
}

int32_t openFailureCode(platform::OpenResult r) {
    return r == platform::OpenResult::NotFound ? MDK_E_NOFILE : MDK_E_OPEN;
}

}  // namespace

bool isRemoteName(const char* name) {
    return strncasecmp(name, kRemotePrefix, kRemotePrefixLength) == 0;
}

bool isViewName(const char* name) {
    const char* slash = std::strrchr(name, '/');
    return std::strchr(slash ? slash + 1 : name, '@') != nullptr;
}

bool localPath(const char* name, char* out, size_t size) {
    size_t nameLength = std::strlen(name);
    if (name[0] == '/') {
        if (nameLength >= size) return false;
        std::memcpy(out, name, nameLength + 1);
        return true;
    }
    char cwd[kNameSize];
    size_t cwdLength = platform::currentDirectory(cwd, sizeof cwd);
    if (cwdLength == 0) {
        // Without a current directory the name is used as given.
        if (nameLength >= size) return false;
        std::memcpy(out, name, nameLength + 1);
        return true;
    }
    bool slash = cwd[cwdLength - 1] != '/';
    if (cwdLength + slash + nameLength >= size) return false;
    std::memcpy(out, cwd, cwdLength);
    if (slash) out[cwdLength] = '/';
    std::memcpy(out + cwdLength + slash, name, nameLength + 1);
    return true;
}

int resolveName(MdkEnv* env, const char* name, int32_t flags, char* resolved, int32_t* kindOut,
                int32_t* readWriteOut, int32_t* errorOut, const EngineEntry** engineOut) {
    auto found = [&](const EngineEntry* engine) {
        *kindOut = engine->kind;
        if (engineOut) *engineOut = engine;
    };
    bool readWrite = !(flags & MDK_OPEN_READONLY);
    if (isRemoteName(name)) {
        // "[rmt:server;port]file": the text after the prefix names the server and the file on
        // it.  The connection is made by the remote engine; this build cannot make one.
        const char* rest = name + kRemotePrefixLength;
        if (std::strlen(rest) >= kNameSize) {
            setError(errorOut, MDK_E_OPEN);
            return -1;
        }
        const EngineEntry* engine = engineForForm(NameForm::Remote);
        if (!engine) {
            setError(errorOut, MDK_E_FILETYPE);
            return -1;
        }
        std::strcpy(resolved, rest);
        *readWriteOut = readWrite ? 1 : 0;
        found(engine);
        return 0;
    }
    if (!localPath(name, resolved, kNameSize)) {
        setError(errorOut, MDK_E_OPEN);  // longer than any name this library can keep
        return -1;
    }
    if (isViewName(name)) {
        const EngineEntry* engine = engineForForm(NameForm::View);
        if (!engine) {
            setError(errorOut, MDK_E_FILETYPE);
            return -1;
        }
        found(engine);
        return 0;
    }

    using platform::Access;
    using platform::OpenResult;
    bool exclusive = flags & MDK_OPEN_EXCLUSIVE;
    OpenResult result = OpenResult::Ok;
    int fd = platform::openFile(resolved, readWrite ? Access::ReadWrite : Access::ReadOnly,
                                exclusive, &result);
    bool opened = fd >= 0;
    if (!opened && result == OpenResult::AccessDenied && readWrite && env->readOnlyFallback) {
        fd = platform::openFile(resolved, Access::ReadOnly, exclusive, &result);
        if (fd < 0) result = OpenResult::Failed;  // a failed retry is "can't open"
    }
    if (fd < 0) {
        setError(errorOut, openFailureCode(result));
        return -1;
    }
    if (opened) *readWriteOut = readWrite ? 1 : 0;

    char magic[kMagicLength];
    platform::IoResult io = platform::readAt(fd, magic, sizeof magic, 0);
    if (io.status == platform::IoStatus::Ok && io.count == sizeof magic) {
        if (const EngineEntry* engine = engineForMagic(magic)) {
            found(engine);
            return fd;
        }
    }
    platform::closeFile(fd);
    setError(errorOut, MDK_E_FILETYPE);
    return -1;
}

}  // namespace mdnio

using namespace mdnio;

extern "C" {

MDNIO_API MdkFile* MDK_OpenExt(MdkEnv* env, const char* name, const char* password,
                               int32_t passwordLength, int32_t flags, int32_t* errorOut) {
    if (errorOut) *errorOut = 0;
    if (!env || !name || !*name) {
        if (errorOut) *errorOut = MDK_E_OPEN;
        return MDK_INVALID_FILE;
    }
    try {
        char resolved[kNameSize] = {};
        int32_t kind = 0;
        int32_t readWrite = 0;
        const EngineEntry* engine = nullptr;
        int fd = resolveName(env, name, flags, resolved, &kind, &readWrite, errorOut, &engine);
        if (fd < 0) return MDK_INVALID_FILE;
        if (!engine->open) {
            if (engine->form == NameForm::Local) platform::closeFile(fd);
            if (errorOut) *errorOut = MDK_E_FILETYPE;
            return MDK_INVALID_FILE;
        }
        OpenRequest request{env,
                            resolved,
                            fd,
                            engine->takesPassword ? password : nullptr,
                            engine->takesPassword ? passwordLength : 0,
                            flags,
                            readWrite,
                            (flags & MDK_OPEN_NO_KEYS) == MDK_OPEN_NO_KEYS ? 1 : 0,
                            errorOut};
        MdkFile* file = engine->open(request);
        if (badHandle(file)) return MDK_INVALID_FILE;
        file->shared->self = file->shared;
        return file;
    } catch (...) {
        // Engines report their failures through errorOut; anything escaping is memory.
        if (errorOut) *errorOut = MDK_E_MEMORY;
        return MDK_INVALID_FILE;
    }
}

MDNIO_API MdkFile* MDK_open(const char* name) {
    MdkEnv* env = defaultEnv();
    if (!env) return MDK_INVALID_FILE;
    return MDK_OpenExt(env, name, nullptr, 0, 0, nullptr);
}

}  // extern "C"
