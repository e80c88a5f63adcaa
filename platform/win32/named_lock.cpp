// The single-instance lock: a named mutex, released by the system when the process ends.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/named_lock.h"

namespace quarv::platform {

NamedLock::~NamedLock() {
  Release();
}

NamedLock::Result NamedLock::Acquire(const char* name) {
  Release();
  if (name == nullptr) return Result::Failed;
  const HANDLE mutex = CreateMutexA(nullptr, TRUE, name);
  if (mutex == nullptr) return Result::Failed;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    // The handle names the other holder's mutex, which this process does not own.
    CloseHandle(mutex);
    return Result::AlreadyHeld;
  }
  handle_ = reinterpret_cast<std::intptr_t>(mutex);
  return Result::Acquired;
}

void NamedLock::Release() {
  if (handle_ == -1) return;
  const HANDLE mutex = reinterpret_cast<HANDLE>(handle_);
  ReleaseMutex(mutex);
  CloseHandle(mutex);
  handle_ = -1;
}

// One agent at a time on a machine's session, whatever its directory: the mutex's name is as it
// always was.
std::string LockScopeOf(const char* /*directory*/) {
  return std::string();
}

}  // namespace quarv::platform
