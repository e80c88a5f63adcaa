// The running executable's own path, and the character rules for cutting it.
#pragma once

#include <cstdint>

namespace quarv::platform {

// GetModuleFileNameA semantics: writes the executable's full path into `buffer` (at most `size`
// bytes, cut and NUL-terminated when longer). Returns the number of characters stored, 0 on
// failure.
std::uint32_t ExecutablePath(char* buffer, std::uint32_t size);

// The byte that separates directories in a path ('\\' on Windows, '/' on POSIX).
char PathSeparator();

// True when `byte` starts a two-byte character in the system's ANSI code page (code page 932
// lead bytes on a Japanese Windows); always false on POSIX, whose paths are UTF-8.
bool IsLeadByte(unsigned char byte);

}  // namespace quarv::platform
