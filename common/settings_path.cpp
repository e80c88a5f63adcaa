#include "common/settings_path.h"

#include <cstring>

#include "platform/module_path.h"

namespace quarv {

void CutAfterLastSeparator(char* text, char separator, bool (*isLeadByte)(unsigned char)) {
  char* cut = text;  // a text without a separator becomes empty
  for (char* p = text; *p != '\0'; p += platform::NextCharacter(p, isLeadByte) - p) {
    if (*p == separator) cut = p + 1;
  }
  *cut = '\0';
}

bool ModuleDirectory(char* buffer, std::uint32_t size) {
  if (size == 0) return false;
  const std::uint32_t length = platform::ExecutablePath(buffer, size);
  if (length == 0 || length >= size - 1) {
    // No path, or one cut to fit: its directory part cannot be trusted.
    buffer[0] = '\0';
    return false;
  }
  CutAfterLastSeparator(buffer, platform::PathSeparator(), platform::IsLeadByte);
  return buffer[0] != '\0';
}

bool SettingsPath(char* buffer, std::uint32_t size, const char* fileName) {
  const std::size_t nameLength = std::strlen(fileName);
  if (size == 0) return false;
  // Without the executable's directory the bare file name would name a file in the current
  // directory, which is not the program's settings file: no path at all then.
  if (nameLength + kSettingsPathReserve >= size ||
      !ModuleDirectory(buffer,
                       static_cast<std::uint32_t>(size - nameLength - kSettingsPathReserve))) {
    buffer[0] = '\0';
    return false;
  }
  std::strncat(buffer, fileName, size - std::strlen(buffer) - 1);
  return true;
}

}  // namespace quarv
