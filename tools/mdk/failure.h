// How a command fails: a sentence for the user and, when the library refused something, the
// library's error code, so that every failure can be printed as "<what>: <message> (code N)".
#pragma once

#include <stdexcept>
#include <string>

#include "mdnio.h"

namespace mdk {

// Exit statuses of the program.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;   // the library or the file said no, or a check failed
inline constexpr int kExitUsage = 2;     // the command line or an input file is malformed
inline constexpr int kExitNotFound = 3;  // get, del: no record has the key given
// check: the file could not be opened or locked (missing, held by another process, not
// readable), so nothing is known about its soundness.
inline constexpr int kExitCannotOpen = 4;
// A lock another process holds stayed busy (sysexits' "temporary failure: try again later").
inline constexpr int kExitBusy = 75;

class Failure : public std::runtime_error {
  public:
    explicit Failure(const std::string& what, int exitStatus = kExitFailure, int code = -1)
        : std::runtime_error(what), exitStatus_(exitStatus), code_(code) {}
    int exitStatus() const { return exitStatus_; }
    int code() const { return code_; }  // the library's error code, -1 when it gave none

  private:
    int exitStatus_;
    int code_;
};

// The library's message for `code` with the code: "File does not exist (code 33)".  Codes that
// come without a handle (an open that failed) have no handle to ask MDK_strerr: the library's
// own table gives their messages.
std::string codeText(int code);

// codeText(code) for an open of `path` (read-only or read-write) that failed; when the code is
// the library's "cannot open" (1), followed by what keeps this process from opening it: the
// system's reason ("Permission denied", "Read-only file system") or "another process holds it
// exclusively".  The library's codes do not carry the system's reason, so the path is tried
// again here, in the same mode.
std::string openFailureText(const std::string& path, int code, bool readOnly);

// Throws "<path>: no record with key "<key>"" (with "#n" for a key other than the first) with
// kExitNotFound and code 3.
[[noreturn]] void failNotFound(const std::string& path, const std::string& key, int keyNumber);

// The message and code the last failed call left in `file`.
std::string libraryText(MdkFile* file);

// Throws "<what>: <message> (code N)" for the last failed call on `file`, with the code.
[[noreturn]] void failOn(MdkFile* file, const std::string& what);

}  // namespace mdk
