// Whether an open handle lies beneath the base directory (internal to the Windows side).
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <utility>

namespace quarv::platform::win32 {

// True when the final path of `file` (links, junctions and mount points resolved by the system)
// lies beneath the final path of the directory `base`. False as well when either cannot be told.
bool LiesBeneath(HANDLE file, HANDLE base);

// Closes a handle when it goes out of scope.
class UniqueHandle {
 public:
  explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
  ~UniqueHandle() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  // Gives the handle up without closing it.
  HANDLE release() { return std::exchange(handle_, INVALID_HANDLE_VALUE); }

 private:
  HANDLE handle_;
};

}  // namespace quarv::platform::win32
