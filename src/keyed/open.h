// The classic keyed engine as the open path sees it: the files it recognises and its open.
#pragma once

#include "open/dispatch.h"

namespace mdnio::keyed {

MdkFile* openClassic(const OpenRequest& request);

extern const EngineEntry kClassicEngine;

}  // namespace mdnio::keyed
