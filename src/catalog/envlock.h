// Holds the environment lock for a scope.
#pragma once

#include "frame/frame.h"

namespace mdnio::catalog {

class EnvLock {
  public:
    explicit EnvLock(MdkEnv* env) : env_(env) { lockEnv(env_); }
    ~EnvLock() { unlockEnv(env_); }
    EnvLock(const EnvLock&) = delete;
    EnvLock& operator=(const EnvLock&) = delete;

  private:
    MdkEnv* env_;
};

}  // namespace mdnio::catalog
