#include "mdk/interrupt.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <csignal>

namespace mdk {

namespace {

volatile std::sig_atomic_t stopSignal = 0;
int nullInput = -1;  // /dev/null, put in place of standard input when a signal comes
struct sigaction previousInt {
}, previousTerm{};
bool catchesInt = false;

extern "C" void onStopSignal(int signal) {
    stopSignal = signal;
    // dup2 may be called from a handler.  A read of standard input in progress is restarted
    // (SA_RESTART) on /dev/null, and ends.
    if (nullInput >= 0) dup2(nullInput, STDIN_FILENO);
}

}  // namespace

StopRequest::StopRequest() {
    stopSignal = 0;
    nullInput = open("/dev/null", O_RDONLY | O_CLOEXEC);
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;  // the library's own calls go on as if nothing happened
    sigaction(SIGTERM, &action, &previousTerm);
    sigaction(SIGINT, nullptr, &previousInt);
    catchesInt = previousInt.sa_handler != SIG_IGN;
    if (catchesInt) sigaction(SIGINT, &action, nullptr);
}

StopRequest::~StopRequest() {
    sigaction(SIGTERM, &previousTerm, nullptr);
    if (catchesInt) sigaction(SIGINT, &previousInt, nullptr);
    if (nullInput >= 0) close(nullInput);
    nullInput = -1;
}

int StopRequest::signal() const {
    return stopSignal;
}

std::string signalName(int signal) {
    if (signal == SIGINT) return "SIGINT";
    if (signal == SIGTERM) return "SIGTERM";
    return fmt::format("signal {}", signal);
}

}  // namespace mdk
