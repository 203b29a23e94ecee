#include "open/dispatch.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

namespace mdnio {

namespace {

// Engines registered at run time; only tests add any, so the list is short and looked through
// under its lock at each open.
std::mutex& addedLock() {
    static std::mutex m;
    return m;
}
std::vector<const EngineEntry*>& added() {
    static std::vector<const EngineEntry*> engines;
    return engines;
}

template <class Match>
const EngineEntry* find(Match&& match) {
    {
        std::lock_guard<std::mutex> hold(addedLock());
        for (const EngineEntry* e : added())
            if (match(*e)) return e;
    }
    for (const EngineEntry* e : builtinEngines())
        if (match(*e)) return e;
    return nullptr;
}

}  // namespace

void registerEngine(const EngineEntry* engine) {
    std::lock_guard<std::mutex> hold(addedLock());
    added().insert(added().begin(), engine);
}

void unregisterEngine(const EngineEntry* engine) {
    std::lock_guard<std::mutex> hold(addedLock());
    std::erase(added(), engine);
}

const EngineEntry* engineForMagic(const char* magic) {
    return find([&](const EngineEntry& e) {
        return e.form == NameForm::Local &&
               std::any_of(e.magics.begin(), e.magics.end(), [&](const char* m) {
                   return m && std::memcmp(m, magic, kMagicLength) == 0;
               });
    });
}

const EngineEntry* engineForKind(int32_t kind) {
    return find([&](const EngineEntry& e) { return e.kind == kind; });
}

const EngineEntry* engineForForm(NameForm form) {
    return find([&](const EngineEntry& e) { return e.form == form; });
}

}  // namespace mdnio
