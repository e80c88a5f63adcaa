// The executable's own path on POSIX (/proc/self/exe).
#include "platform/module_path.h"

#include <unistd.h>

#include <cstring>

namespace quarv::platform {

std::uint32_t ExecutablePath(char* buffer, std::uint32_t size) {
  if (size == 0) return 0;
  char path[4096];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) {
    buffer[0] = '\0';
    return 0;
  }
  // Like GetModuleFileNameA: a path that does not fit is cut and still terminated.
  const std::uint32_t stored =
      static_cast<std::uint32_t>(length) < size ? static_cast<std::uint32_t>(length) : size - 1;
  std::memcpy(buffer, path, stored);
  buffer[stored] = '\0';
  return stored;
}

char PathSeparator() {
  return '/';
}

bool IsLeadByte(unsigned char /*byte*/) {
  return false;
}

}  // namespace quarv::platform
