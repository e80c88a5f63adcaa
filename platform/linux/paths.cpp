// Base directories on POSIX: the BASE value and one closing '/'.
#include "platform/paths.h"

#include <cstring>

namespace quarv::platform {

const char* DefaultBase() {
  return "/";
}

bool FormBasePrefix(const char* base, char* out, std::size_t size) {
  if (size == 0) return false;
  const std::size_t length = std::strlen(base);
  const bool closed = length > 0 && base[length - 1] == '/';
  const std::size_t needed = length + (closed ? 0 : 1) + 1;
  if (needed > size) {
    out[0] = '\0';
    return false;
  }
  std::memcpy(out, base, length);
  if (!closed) out[length] = '/';
  out[needed - 1] = '\0';
  return true;
}

}  // namespace quarv::platform
