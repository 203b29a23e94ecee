// The library's error codes and their fixed messages.
#pragma once

#include <cstdint>

namespace mdnio {

// The message of `code`; "Unknown error" for a code without one.
const char* errorMessage(int32_t code);

}  // namespace mdnio
