// A minimal file kind for exercising the call frame without a real engine: its handles share
// a block, lock and unlock the file lock as a keyed engine's header lock would, and record the
// commits, rollbacks and closes they see.
#pragma once

#include <string>
#include <vector>

#include "frame/frame.h"

namespace mdnio::test {

struct FakeFile : MdkFile {
    std::vector<std::string>* log = nullptr;
    std::string name;
};

// The operation table of the fake kind; tests may copy it and replace slots.
const MdkOpTable& fakeOps();

// A new handle of the fake kind in `env`, sharing `shared` (made when null), linked at the head
// of the environment's chain.  Actions are appended to `log` as "<name>:<action>".
FakeFile* openFake(MdkEnv* env, const std::string& name, std::vector<std::string>* log,
                   MdkSharedFile* shared = nullptr, const MdkOpTable* ops = nullptr);

}  // namespace mdnio::test
