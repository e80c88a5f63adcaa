// A named single-instance lock that the system releases when the process ends
// (CreateMutexA on Windows; a per-user lock on Linux).
#pragma once

#include <cstdint>

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

}  // namespace quarv::platform
