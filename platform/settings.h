// The settings reader: the semantics of GetPrivateProfileStringA.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace quarv::platform {

// The blanks trimmed around names and values, and from the end of a default value.
inline constexpr std::string_view kProfileBlanks = " \t\r\v\f";

// Copies `value` into `out` (capacity `size`, at least 1), cut to size - 1 characters and
// NUL-terminated. Returns the number of characters stored.
inline std::uint32_t CopyProfileValue(std::string_view value, char* out, std::uint32_t size) {
  const auto stored = static_cast<std::uint32_t>(std::min<std::size_t>(value.size(), size - 1));
  std::memcpy(out, value.data(), stored);
  out[stored] = '\0';
  return stored;
}

// The default value as the reader gives it: without its trailing blanks (none: empty).
inline std::uint32_t CopyProfileFallback(const char* fallback, char* out, std::uint32_t size) {
  std::string_view value = fallback != nullptr ? fallback : "";
  value = value.substr(0, value.find_last_not_of(kProfileBlanks) + 1);
  return CopyProfileValue(value, out, size);
}

// Each system's reader of one value, for a lookup that names a file, a section and a key:
// GetPrivateProfileStringA on Windows, a reader of the same rules elsewhere.
std::uint32_t ReadProfileValue(const char* section, const char* key, const char* fallback,
                               char* out, std::uint32_t size, const char* path);

// Reads `key` of `section` from the INI file at `path` into `out` (capacity `size`, always
// NUL-terminated when size > 0). Section and key names are compared case-insensitively, blanks
// around names and values are trimmed, one pair of enclosing quotes is removed, lines that start
// with ';' are comments, the first matching key wins. A missing file, section or key copies
// `fallback`. A value longer than size - 1 is cut. Returns the number of characters stored.
inline std::uint32_t ReadProfileString(const char* section, const char* key, const char* fallback,
                                       char* out, std::uint32_t size, const char* path) {
  if (out == nullptr || size == 0) return 0;
  // A null file name would make Windows read win.ini, and a null section or key would list names
  // instead of reading one value: each counts as a value that is not there. A key that starts
  // with ';' would name a comment line, so it is never found.
  if (path == nullptr || section == nullptr || key == nullptr || key[0] == ';') {
    return CopyProfileFallback(fallback, out, size);
  }
  return ReadProfileValue(section, key, fallback, out, size, path);
}

}  // namespace quarv::platform
