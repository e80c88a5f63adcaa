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

// Steps over the character that begins at `text` (not at its NUL): two bytes for a lead byte
// that a second byte follows, else one. Every text that is looked at for path separators is
// walked with it, so that a separator byte that is the second byte of a double-byte character
// (0x5C is a valid trail byte in code page 932) never counts. `isLeadByte` is the code page's
// rule; tests pass one of their own.
inline const char* NextCharacter(const char* text, bool (*isLeadByte)(unsigned char) = IsLeadByte) {
  return isLeadByte(static_cast<unsigned char>(*text)) && text[1] != '\0' ? text + 2 : text + 1;
}

}  // namespace quarv::platform
