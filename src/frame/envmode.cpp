// Environment modes: the settings of an environment, and facts about one open file.
#include <cstring>

#include "frame/env.h"
#include "frame/frame.h"

using namespace mdnio;

namespace {

constexpr intptr_t kRefused = -5;

// Copies a caller's text into a fixed field, cut to fit with its terminator.
void copyText(char* dst, size_t size, const char* src) {
    size_t n = src ? strnlen(src, size - 1) : 0;
    if (n) std::memcpy(dst, src, n);
    dst[n] = '\0';
}

bool zeroOrOne(intptr_t v) {
    return v == 0 || v == 1;
}

intptr_t setMode(MdkEnv* env, int32_t mode, intptr_t value) {
    auto swapInt = [&](int32_t& field) {
        intptr_t old = field;
        field = static_cast<int32_t>(value);
        return old;
    };
    switch (mode) {
        case -1:
            env->segmentMegabytes = static_cast<int32_t>(value);
            return 0;
        case 1:
            if (!zeroOrOne(value)) return kRefused;
            return env->backgroundFlush.exchange(static_cast<int32_t>(value));
        case 2:
            if (!zeroOrOne(value)) return kRefused;
            return swapInt(env->option2);
        case 3: {
            intptr_t low = value & 7;
            if (low < 1 || low > 4) return kRefused;
            return swapInt(env->lockOptions);
        }
        case 4:
            if (!zeroOrOne(value)) return kRefused;
            return swapInt(env->readOnlyFallback);
        case 5:
            if (value < 0 || value > 2000) return kRefused;
            return swapInt(env->segmentMegabytes);
        case 6:
        case 7:
        case 8: {
            const char* text = reinterpret_cast<const char*>(value);
            if (!text) return kRefused;
            if (mode == 6) copyText(env->runtimeStartDir, sizeof env->runtimeStartDir, text);
            if (mode == 7) copyText(env->runtimeArgs, sizeof env->runtimeArgs, text);
            if (mode == 8) copyText(env->runtimeLibDir, sizeof env->runtimeLibDir, text);
            return 0;
        }
        case 9: {
            intptr_t old = reinterpret_cast<intptr_t>(env->catalog);
            env->catalog = reinterpret_cast<MdkCatalog*>(value);
            return old;
        }
        case 12:
            copyText(env->defaultServerHost, sizeof env->defaultServerHost,
                     reinterpret_cast<const char*>(value));
            return 0;
        case 13:
            return swapInt(env->defaultServerPort);
        case 20:
            if (!zeroOrOne(value)) return kRefused;
            return swapInt(env->syncWrites);
        default:
            return kRefused;
    }
}

intptr_t fileMode(MdkFile* file, int32_t mode) {
    MdkSharedFile* sh = file->shared;
    switch (mode) {
        case -11:
            return static_cast<intptr_t>(sh->flags.load());
        case -10:
            return sh->separator;
        case -9:
            return sh->headerReadOnly;  // set by the keyed kinds only
        case -8:
            return sh->keyAreaWidth;
        case -7:
            return reinterpret_cast<intptr_t>(file->keyBuffer ? file->keyBuffer + 1 : nullptr);
        case -6:
            return sh->longestKey;
        case -5:
            return sh->maxDataLength;
        case -4:
            return sh->recordCount;
        case -3:
            return sh->keyBufferSize;
        case -2:
            return sh->keyBufferSize + sh->recordBufferLength;
        case -1:
            return reinterpret_cast<intptr_t>(sh->header);
        default:
            return kRefused;
    }
}

intptr_t envMode(MdkEnv* env, int32_t mode) {
    switch (mode) {
        case 1:
            return env->backgroundFlush.load();
        case 2:
            return env->option2;
        case 3:
            return env->lockOptions;
        case 4:
            return env->readOnlyFallback;
        case 5:
            return env->segmentMegabytes;
        case 6:
            return reinterpret_cast<intptr_t>(env->runtimeStartDir);
        case 7:
            return reinterpret_cast<intptr_t>(env->runtimeArgs);
        case 8:
            return reinterpret_cast<intptr_t>(env->runtimeLibDir);
        case 9:
            return reinterpret_cast<intptr_t>(env->catalog);
        case 10:
            return MDK_VERSION;
        case 11:
        case 14:
            // Both connect to the default server first: the remote engine's part.
            return serverHooks() ? serverHooks()->getMode(env, mode) : kRefused;
        case 12:
            return reinterpret_cast<intptr_t>(env->defaultServerHost);
        case 13:
            return env->defaultServerPort;
        case 20:
            return env->syncWrites;
        default:
            return kRefused;
    }
}

}  // namespace

extern "C" {

MDNIO_API intptr_t MDSetEnvMode(MdkEnv* env, int32_t mode, intptr_t value) {
    if (!env) return kRefused;
    intptr_t result = setMode(env, mode, value);
    // A session with a server follows every accepted change but the segment size of mode -1.
    if (result != kRefused && mode != -1 && env->remoteSession && serverHooks())
        serverHooks()->settingChanged(env, mode, value);
    return result;
}

MDNIO_API intptr_t MDGetEnvMode(void* object, int32_t mode) {
    if (mode == 10) return MDK_VERSION;
    if (badHandle(object)) return kRefused;
    if (mode < 0) return fileMode(static_cast<MdkFile*>(object), mode);
    return envMode(static_cast<MdkEnv*>(object), mode);
}

}  // extern "C"
