// Paths of the settings files, which lie beside the running executable.
#pragma once

#include <cstdint>

namespace quarv {

inline constexpr std::uint32_t kPathBufferSize = 260;
// Bytes kept free beyond the file name when the directory part is formed.
inline constexpr std::uint32_t kSettingsPathReserve = 10;

// Cuts `text` just after its last path separator, walking it character by character so that a
// separator byte that is the second byte of a double-byte character never counts. A text
// without a separator becomes empty.
void CutAfterLastSeparator(char* text, char separator, bool (*isLeadByte)(unsigned char));

// Fills `buffer` (capacity `size`) with the executable's directory, ending in the separator.
// False, with `buffer` empty, when the executable's path is not known or does not fit.
bool ModuleDirectory(char* buffer, std::uint32_t size);

// The full path of `fileName` in the executable's directory. The directory part may use at most
// size - strlen(fileName) - kSettingsPathReserve bytes. False, with `buffer` empty, when the
// directory does not fit: the caller must then not read settings at all (a bare file name would
// be looked up in the current directory).
bool SettingsPath(char* buffer, std::uint32_t size, const char* fileName);

}  // namespace quarv
