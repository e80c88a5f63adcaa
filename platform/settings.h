// The settings reader: the semantics of GetPrivateProfileStringA.
#pragma once

#include <cstdint>

namespace quarv::platform {

// Reads `key` of `section` from the INI file at `path` into `out` (capacity `size`, always
// NUL-terminated when size > 0). Section and key names are compared case-insensitively, blanks
// around names and values are trimmed, one pair of enclosing quotes is removed, lines that start
// with ';' are comments, the first matching key wins. A missing file, section or key copies
// `fallback`. A value longer than size - 1 is cut. Returns the number of characters stored.
std::uint32_t ReadProfileString(const char* section, const char* key, const char* fallback,
                                char* out, std::uint32_t size, const char* path);

}  // namespace quarv::platform
