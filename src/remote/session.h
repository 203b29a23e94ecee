// An environment's session with a remote file server: the server part of a remote name, the
// connect with its session and version checks, the settings the server follows, the
// server-facing environment modes and the end of the session.
#pragma once

#include <cstdint>
#include <string>

#include "frame/handle.h"

namespace mdnio::remote {

// The longest host and port texts of a server part.
constexpr size_t kLongestHost = 255;
constexpr size_t kLongestPort = 5;
// Records at most this many make a remote file one held whole in memory, unless
// MDK_CACHE_ALL_FILE_RECS says otherwise when a session opens.
constexpr int32_t kDefaultCacheThreshold = 100;
constexpr char kCacheThresholdVariable[] = "MDK_CACHE_ALL_FILE_RECS";

struct ServerPart {
    std::string host;
    int port = 0;
    const char* fileName = nullptr;  // what follows the "]"
};

// Splits "HOST;PORT]file" (the text after the remote prefix); false when the ";" or "]" is
// missing or the host or port text is too long.  The port is read as its leading digits.
bool parseServerPart(const char* text, ServerPart* out);

// The version key of a library or server version: servers whose key differs are refused.
int32_t versionKey(int32_t version);

// The process-wide record-cache threshold (set at each session open).
int32_t cacheThreshold();

// Makes sure `env` has a session with the server of `part`: connects, opens the session,
// checks the server and pushes the settings when it has none.  0, or the code of the failure:
// 43 when the server cannot be reached, the session cannot be opened or the link broke; 44 when
// the server is refused; 1 when the environment's session is with another server (a session
// reaches one server only; its remote names must all name that one).
int32_t connectForName(MdkEnv* env, const ServerPart& part);

// The environment's live link, or null when it has none or it broke.  Called under the
// environment lock.
MdkConnection* liveLink(MdkEnv* env);

// Hooks of the environment modes and teardown (frame/env.h).
intptr_t serverMode(MdkEnv* env, int32_t mode);
void settingChanged(MdkEnv* env, int32_t mode, intptr_t value);
void endSession(MdkEnv* env);

}  // namespace mdnio::remote
