// Stopping a long command cleanly on SIGINT or SIGTERM.  The signal only records the request;
// the command stops where that is safe (load: after the row it is writing) and says how far it
// came.  A read of standard input that waits for more is ended: standard input then reads as
// /dev/null, at its end.
#pragma once

#include <string>

namespace mdk {

class StopRequest {
  public:
    // Catches SIGTERM, and SIGINT unless it is ignored (as in a background job of a script).
    StopRequest();
    ~StopRequest();  // the handlers that were there before
    StopRequest(const StopRequest&) = delete;
    StopRequest& operator=(const StopRequest&) = delete;

    // The signal that asked to stop, or 0.
    int signal() const;
};

// "SIGINT", "SIGTERM", or "signal N".
std::string signalName(int signal);

}  // namespace mdk
