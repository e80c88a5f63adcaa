// Base directories on Windows: the long-path prefix, the BASE value, a closing backslash.
#include "platform/paths.h"

#include <windows.h>

#include <string>

namespace quarv::platform {

const char* DefaultBase() {
  return "c:\\";
}

const char* LongPathPrefix() {
  return "\\\\?\\";
}

std::string EntryKey(const char* name) {
  // The name in UTF-16, upper-cased as the file system compares names; its code units are the
  // key. A name that does not convert is its own key; the first byte keeps the two kinds apart.
  const int length = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name, -1, nullptr, 0);
  std::wstring wide(length > 0 ? static_cast<std::size_t>(length) : 0, L'\0');
  if (length <= 0 ||
      MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name, -1, wide.data(), length) != length) {
    return std::string("A") + name;
  }
  // Upper-cased with the invariant locale (kernel32), as the file system folds case.
  std::wstring upper(wide.size(), L'\0');
  if (LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, wide.data(), length, upper.data(), length) !=
      length) {
    return std::string("A") + name;
  }
  return "W" +
         std::string(reinterpret_cast<const char*>(upper.data()), upper.size() * sizeof(wchar_t));
}

bool IsAbsolutePath(const char* path) {
  const auto letter = static_cast<unsigned char>(path[0]);
  const bool drive =
      ((letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z')) && path[1] == ':';
  return drive || path[0] == '\\' || path[0] == '/';
}

}  // namespace quarv::platform
