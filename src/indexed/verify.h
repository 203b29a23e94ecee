// Checking that an indexed file is consistent with its header.
#pragma once

#include <string>

#include "mdnio_devtools.h"

namespace mdnio::indexed {

// The check is the developer tools' (mdnio_devtools.h): a file of 512 + count x record length
// bytes is the only length that fits its header (a longer file holds bytes that no record count
// covers, a shorter one lacks records the count promises).
using devtools::IndexedVerifyReport;
using devtools::verifyIndexedFile;

}  // namespace mdnio::indexed
