#include "remote/session.h"

#include <strings.h>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frame/frame.h"
#include "platform/platform.h"
#include "remote/wire.h"

namespace mdnio::remote {

namespace {

std::atomic<int32_t> gCacheThreshold{kDefaultCacheThreshold};
// Every connection made in this process has a number of its own (see MdkConnection).
std::atomic<uint64_t> gGenerations{0};

constexpr intptr_t kRefusedMode = -5;

// Settings the server hears when a session opens, in this order.
constexpr int32_t kPushedModes[] = {1, 2, 3, 4, 5, 6, 7, 8};

bool textMode(int32_t mode) {
    return (mode >= 6 && mode <= 8) || mode == MDK_MODE_SERVER_HOST;
}

// Request 65: the server's value of `mode`.
bool askMode(MdkConnection& c, int32_t mode, int32_t* value) {
    return c.beginRequest(request::kGetMode) && c.putLong(c.session) && c.putLong(mode) &&
           c.exchange() && c.getLong(*value);
}

// Request 37; the answer does not matter to the caller, only whether the link held.
bool sendSetting(MdkConnection& c, int32_t mode, intptr_t value) {
    bool built = c.beginRequest(request::kSetMode) && c.putLong(c.session) && c.putLong(mode);
    if (textMode(mode)) {
        const char* text = reinterpret_cast<const char*>(value);
        built = built && c.putText(text ? text : "");
    } else {
        built = built && c.putLong(static_cast<int32_t>(value));
    }
    return built && c.exchange();
}

void updateCacheThreshold() {
    const char* text = platform::getEnv(kCacheThresholdVariable);
    if (!text) return;
    const long n = std::strtol(text, nullptr, 10);
    if (n >= 0 && n <= INT32_MAX) gCacheThreshold.store(static_cast<int32_t>(n));
}

// Opens the session on a new connection and checks the server; 0 or the code of the failure.
int32_t openSession(MdkEnv* env, MdkConnection& c) {
    int32_t number = 0;
    if (!c.beginRequest(request::kOpenSession) || !c.exchange() || !c.getLong(number) ||
        number == 0 || number == -1)
        return MDK_E_NETWORK;
    // Stored before the first request that carries it.
    c.session = number;
    updateCacheThreshold();
    int32_t serverKind = 0, version = 0;
    if (!askMode(c, kServerKindMode, &serverKind)) return MDK_E_NETWORK;
    if ((static_cast<uint32_t>(serverKind) >> 16) == kRefusedServerKind) return MDK_E_VERSION;
    if (!askMode(c, MDK_MODE_VERSION, &version)) return MDK_E_NETWORK;
    if (versionKey(version) != versionKey(MDK_VERSION)) return MDK_E_VERSION;
    env->serverInfo = version;
    for (int32_t mode : kPushedModes)
        sendSetting(c, mode, MDGetEnvMode(env, mode));
    return c.broken ? MDK_E_NETWORK : 0;
}

// Ends the environment's session, telling the server when the link still holds.
void dropSession(MdkEnv* env) {
    MdkConnection* c = env->remoteSession;
    if (!c) return;
    if (c->session != 0 && !c->broken && c->beginRequest(request::kCloseSession) &&
        c->putLong(c->session))
        c->exchange();
    env->remoteSession = nullptr;
    disconnect(c);
}

bool sameServer(const MdkConnection& c, const ServerPart& part) {
    return c.port == part.port && strcasecmp(c.host.c_str(), part.host.c_str()) == 0;
}

}  // namespace

bool parseServerPart(const char* text, ServerPart* out) {
    const char* semicolon = std::strchr(text, ';');
    if (!semicolon || static_cast<size_t>(semicolon - text) > kLongestHost) return false;
    const char* bracket = std::strchr(semicolon + 1, ']');
    if (!bracket || static_cast<size_t>(bracket - semicolon - 1) > kLongestPort) return false;
    out->host.assign(text, semicolon);
    // Read as the standard text-to-integer conversion reads it: leading digits, 0 for none.
    out->port = std::atoi(std::string(semicolon + 1, bracket).c_str());
    out->fileName = bracket + 1;
    return true;
}

int32_t versionKey(int32_t version) {
    return version / 1000000 + version / 10000 - version / 100000;
}

int32_t cacheThreshold() {
    return gCacheThreshold.load();
}

MdkConnection* liveLink(MdkEnv* env) {
    MdkConnection* c = env->remoteSession;
    return c && !c->broken ? c : nullptr;
}

int32_t connectForName(MdkEnv* env, const ServerPart& part) {
    EnvLockHold hold(env);
    if (MdkConnection* c = env->remoteSession) {
        if (c->broken) return MDK_E_NETWORK;  // until a reconnect (mode 14)
        return sameServer(*c, part) ? 0 : MDK_E_OPEN;
    }
    MdkConnection* c = connectTo(part.host.c_str(), part.port);
    if (!c) return MDK_E_NETWORK;
    c->generation = ++gGenerations;
    env->defaultServerPort = part.port & 0xFFFF;
    std::snprintf(env->defaultServerHost, sizeof env->defaultServerHost, "%s", part.host.c_str());
    env->remoteSession = c;
    if (int32_t code = openSession(env, *c)) {
        dropSession(env);
        return code;
    }
    return 0;
}

intptr_t serverMode(MdkEnv* env, int32_t mode) {
    if (mode == MDK_MODE_SERVER_INFO) {
        if (serverMode(env, MDK_MODE_SERVER_CONNECT) != 0) return kRefusedMode;
        EnvLockHold hold(env);
        MdkConnection* c = liveLink(env);
        int32_t version = 0;
        if (env->serverInfo == 0 && c && askMode(*c, MDK_MODE_VERSION, &version))
            env->serverInfo = version;
        return env->serverInfo != 0 ? env->serverInfo : kRefusedMode;
    }
    if (env->defaultServerHost[0] == '\0' || env->defaultServerPort < 1) return kRefusedMode;
    EnvLockHold hold(env);
    if (liveLink(env)) return 0;
    // A link that broke is replaced: the reconnect the environment's remote names wait for.
    dropSession(env);
    char text[sizeof env->defaultServerHost + 16];
    std::snprintf(text, sizeof text, "%s;%d]", env->defaultServerHost, env->defaultServerPort);
    ServerPart part;
    if (!parseServerPart(text, &part)) return kRefusedMode;
    int32_t code = connectForName(env, part);
    return code ? -code : 0;
}

void settingChanged(MdkEnv* env, int32_t mode, intptr_t value) {
    EnvLockHold hold(env);
    if (MdkConnection* c = liveLink(env); c && c->session != 0) sendSetting(*c, mode, value);
}

void endSession(MdkEnv* env) {
    EnvLockHold hold(env);
    dropSession(env);
}

}  // namespace mdnio::remote
