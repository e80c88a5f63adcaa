// The executable's own path (GetModuleFileNameA) and the ANSI code page's lead bytes.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/module_path.h"

namespace quarv::platform {

std::uint32_t ExecutablePath(char* buffer, std::uint32_t size) {
  if (buffer == nullptr || size == 0) return 0;
  const DWORD length = GetModuleFileNameA(nullptr, buffer, size);
  if (length == 0) {
    buffer[0] = '\0';
    return 0;
  }
  if (length >= size) {
    // Cut: older systems leave the buffer without a terminator in this case.
    buffer[size - 1] = '\0';
    return size - 1;
  }
  return length;
}

char PathSeparator() {
  return '\\';
}

bool IsLeadByte(unsigned char byte) {
  return IsDBCSLeadByte(byte) != FALSE;
}

}  // namespace quarv::platform
