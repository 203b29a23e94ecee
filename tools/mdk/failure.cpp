#include "mdk/failure.h"

#include <fmt/format.h>

#include "frame/errors.h"

namespace mdk {

std::string codeText(int code) {
    return fmt::format("{} (code {})", mdnio::errorMessage(code), code);
}

std::string libraryText(MdkFile* file) {
    return fmt::format("{} (code {})", MDK_strerr(file), MDK_geterrno(file));
}

void failOn(MdkFile* file, const std::string& what) {
    throw Failure(fmt::format("{}: {}", what, libraryText(file)), kExitFailure, MDK_geterrno(file));
}

}  // namespace mdk
