// The settings reader: GetPrivateProfileStringA itself.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstring>

#include "platform/settings.h"

namespace quarv::platform {

namespace {

std::uint32_t CopyFallback(const char* fallback, char* out, std::uint32_t size) {
  const char* text = fallback != nullptr ? fallback : "";
  std::size_t length = std::strlen(text);
  if (length > size - 1) length = size - 1;
  std::memcpy(out, text, length);
  out[length] = '\0';
  return static_cast<std::uint32_t>(length);
}

}  // namespace

std::uint32_t ReadProfileString(const char* section, const char* key, const char* fallback,
                                char* out, std::uint32_t size, const char* path) {
  if (out == nullptr || size == 0) return 0;
  // A null file name would make the system read win.ini, and a null section or key would list
  // names instead of reading one value: treat each as a value that is not there.
  if (path == nullptr || section == nullptr || key == nullptr) {
    return CopyFallback(fallback, out, size);
  }
  // A line that starts with ';' is a comment, so no key whose name starts with it is ever found.
  // Windows reads the file that way; Wine 8 instead takes such a line for a key named ";...",
  // which this check keeps from showing.
  if (key[0] == ';') return CopyFallback(fallback, out, size);
  return static_cast<std::uint32_t>(
      GetPrivateProfileStringA(section, key, fallback != nullptr ? fallback : "", out, size, path));
}

}  // namespace quarv::platform
