// The kinds of file this build knows, and the one place that names their engines: the open
// path asks these entries in order, and everything else reaches a file through the operation
// table its engine put in the handle.  A new kind adds its engine's entry here.
#include "extended/engine.h"
#include "frame/env.h"
#include "indexed/indexed.h"
#include "keyed/open.h"
#include "open/dispatch.h"
#include "remote/handle.h"
#include "remote/session.h"

namespace mdnio {

namespace {

constexpr EngineEntry kRemote = {
    .kind = MDK_KIND_REMOTE,
    .form = NameForm::Remote,
    .open = remote::openRemote,
    .takesPassword = true,
};
constexpr ServerHooks kServerHooks = {
    .getMode = remote::serverMode,
    .settingChanged = remote::settingChanged,
    .endSession = remote::endSession,
};
// Views are recognised but not served by this build: their names are refused with 5 rather than
// taken for something else.
constexpr EngineEntry kView = {
    .kind = MDK_KIND_VIEW,
    .form = NameForm::View,
};

const EngineEntry* const kEngines[] = {
    &indexed::kIndexedEngine, &keyed::kClassicEngine, &extended::kExtendedEngine, &kRemote, &kView,
};

}  // namespace

std::span<const EngineEntry* const> builtinEngines() {
    return kEngines;
}

const ServerHooks* serverHooks() {
    return &kServerHooks;
}

}  // namespace mdnio
