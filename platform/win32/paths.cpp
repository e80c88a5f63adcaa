// Base directories on Windows: the long-path prefix, the BASE value, a closing backslash.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstring>

#include "platform/paths.h"

namespace quarv::platform {

namespace {

constexpr char kLongPathPrefix[] = "\\\\?\\";

// True when the text's last character is a backslash. The text is walked character by
// character in the ANSI code page, so that 0x5C as the second byte of a double-byte character
// (a valid trail byte in code page 932) does not count.
bool EndsInBackslash(const char* text, std::size_t length) {
  bool last = false;
  for (std::size_t i = 0; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (IsDBCSLeadByte(byte) && i + 1 < length) {
      ++i;
      last = false;
    } else {
      last = byte == '\\';
    }
  }
  return last;
}

}  // namespace

const char* DefaultBase() {
  return "c:\\";
}

bool FormBasePrefix(const char* base, char* out, std::size_t size) {
  if (out == nullptr || size == 0) return false;
  out[0] = '\0';
  if (base == nullptr) return false;
  const std::size_t prefixLength = sizeof(kLongPathPrefix) - 1;
  const std::size_t baseLength = std::strlen(base);
  // The result ends in a backslash already when the value does, or when it is empty (then the
  // long-path prefix is the last thing in it).
  const bool addSeparator = baseLength > 0 && !EndsInBackslash(base, baseLength);
  const std::size_t total = prefixLength + baseLength + (addSeparator ? 1 : 0);
  if (total + 1 > size) return false;
  std::memcpy(out, kLongPathPrefix, prefixLength);
  std::memcpy(out + prefixLength, base, baseLength);
  if (addSeparator) out[prefixLength + baseLength] = '\\';
  out[total] = '\0';
  return true;
}

}  // namespace quarv::platform
