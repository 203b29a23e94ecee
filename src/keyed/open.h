// The classic keyed engine's entry point for the open path.
#pragma once

#include "open/dispatch.h"

namespace mdnio::keyed {

MdkFile* openClassic(const OpenRequest& request);

}  // namespace mdnio::keyed
