// A named single-instance lock that the system releases when the process ends
// (CreateMutexA on Windows; a per-user lock on Linux).
#pragma once

#include <cstdint>
#include <string>

namespace quarv::platform {

class NamedLock {
 public:
  enum class Result { Acquired, AlreadyHeld, Failed };

  NamedLock() = default;
  ~NamedLock();  // releases the lock
  NamedLock(const NamedLock&) = delete;
  NamedLock& operator=(const NamedLock&) = delete;

  Result Acquire(const char* name);
  void Release();

 private:
  std::intptr_t handle_ = -1;
};

// What sets one directory apart for a lock taken for it: on Linux its resolved path (the path as
// given when it cannot be resolved), so that programs working in different directories may run
// side by side; on Windows nothing (empty): one lock there covers every directory.
std::string LockScopeOf(const char* directory);

}  // namespace quarv::platform
