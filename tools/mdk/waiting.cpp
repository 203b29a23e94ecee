#include "mdk/waiting.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <thread>

#include "mdk/failure.h"

namespace mdk {

namespace {

// Lock options: a busy record lock fails at once with 23, a busy header lock with 38.  The low
// three bits must not be 0: MDK_LOCK_NOWAIT_RECORD is one of them.
constexpr intptr_t kFailBusyAtOnce = MDK_LOCK_NOWAIT_HEADER | MDK_LOCK_NOWAIT_RECORD;
constexpr int kFirstPauseMs = 10;
constexpr int kLongestPauseMs = 50;

WaitPolicy policy;
bool told = false;  // the waiting message is printed once per process

std::string holder(int code) {
    return code == MDK_E_HEADERBUSY
               ? "another process holds its header lock (an open transaction?)"
               : "another process holds a lock this call needs (its header or a record)";
}

std::string seconds(double s) {
    return fmt::format("{:g} s", s);
}

}  // namespace

void setWaitPolicy(const WaitPolicy& p) {
    policy = p;
}

const WaitPolicy& waitPolicy() {
    return policy;
}

void failBusyLocksAtOnce(MdkEnv* env) {
    MDSetEnvMode(env, MDK_MODE_LOCK_OPTIONS, kFailBusyAtOnce);
}

bool isBusyCode(int code) {
    return code == MDK_E_HEADERBUSY || code == MDK_E_BUSY;
}

Patience::Patience(std::string path)
    : path_(std::move(path)), start_(std::chrono::steady_clock::now()), pauseMs_(kFirstPauseMs) {}

void Patience::wait(int code) {
    const double allowed = policy.timeoutSeconds;
    if (allowed <= 0) {
        throw Failure(fmt::format("{}: busy, not waiting (--nowait): {}: {}", path_, holder(code),
                                  codeText(code)),
                      kExitBusy, code);
    }
    const std::chrono::duration<double> waited = std::chrono::steady_clock::now() - start_;
    if (waited.count() >= allowed) {
        throw Failure(fmt::format("{}: still busy after {} (--timeout): {}: {}", path_,
                                  seconds(allowed), holder(code), codeText(code)),
                      kExitBusy, code);
    }
    if (!told) {
        told = true;
        std::fflush(stdout);
        fmt::print(stderr,
                   "mdk: waiting for {}: {}; giving up after {} (--timeout S to change, "
                   "--nowait not to wait)\n",
                   path_, holder(code), seconds(allowed));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs_));
    pauseMs_ = std::min(pauseMs_ * 2, kLongestPauseMs);
}

}  // namespace mdk
