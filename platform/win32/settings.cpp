// The settings reader: GetPrivateProfileStringA itself.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/settings.h"

namespace quarv::platform {

// Windows reads a line that starts with ';' as a comment; Wine 8 instead takes it for a key named
// ";...", which ReadProfileString keeps from showing by never asking for such a key.
std::uint32_t ReadProfileValue(const char* section, const char* key, const char* fallback,
                               char* out, std::uint32_t size, const char* path) {
  return static_cast<std::uint32_t>(
      GetPrivateProfileStringA(section, key, fallback != nullptr ? fallback : "", out, size, path));
}

}  // namespace quarv::platform
