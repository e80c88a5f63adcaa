// Paths of the settings files, which lie beside the running executable.
#pragma once

#include <cstdint>

namespace quarv {

inline constexpr std::uint32_t kPathBufferSize = 260;

// Cuts `text` just after its last path separator, walking it character by character so that a
// separator byte that is the second byte of a double-byte character never counts. A text
// without a separator becomes empty.
void CutAfterLastSeparator(char* text, char separator, bool (*isLeadByte)(unsigned char));

// Fills `buffer` (capacity `size`) with the executable's directory, ending in the separator.
void ModuleDirectory(char* buffer, std::uint32_t size);

// The full path of `fileName` in the executable's directory. The directory part may use at most
// size - strlen(fileName) - 10 bytes.
void SettingsPath(char* buffer, std::uint32_t size, const char* fileName);

}  // namespace quarv
