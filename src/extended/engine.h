// The extended keyed engine as the open path sees it.
#pragma once

#include "open/dispatch.h"

namespace mdnio::extended {

extern const EngineEntry kExtendedEngine;

}  // namespace mdnio::extended
