// The indexed-file engine: record-number files with fixed-length records (file kind 3).
#pragma once

#include "open/dispatch.h"

namespace mdnio::indexed {

// Opens the indexed file whose descriptor the open path hands over (positioned at 0).  Answers
// the handle linked into the environment, or MDK_INVALID_FILE with the code in
// request.errorOut: 5 when the header is short or its record length is not above 0, 8 when
// memory is exhausted.  The descriptor is closed on failure.
MdkFile* openIndexed(const OpenRequest& request);

// The files the engine recognises, and its open.
extern const EngineEntry kIndexedEngine;

}  // namespace mdnio::indexed
