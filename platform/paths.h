// Base directories: how a BASE setting becomes the prefix that file names are appended to.
#pragma once

#include <cstddef>

namespace quarv::platform {

// The BASE used when the settings name none: "c:\\" on Windows, "/" on POSIX.
const char* DefaultBase();

// Forms the base prefix of `base`: on Windows the long-path prefix "\\?\", the value and a
// closing backslash unless it already ends in one; on POSIX the value and a closing '/' unless it
// already ends in one. Returns false (and stores an empty text) when it does not fit in `size`.
bool FormBasePrefix(const char* base, char* out, std::size_t size);

}  // namespace quarv::platform
