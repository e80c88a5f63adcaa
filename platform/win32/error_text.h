// The system's text for an error code (internal to the Win32 side).
#pragma once

#include <windows.h>

#include <string>

namespace quarv::platform::win32 {

// The system's text for `code`, on one line: line ends become blanks, and trailing blanks are
// dropped. Empty when the system has no text for it.
std::string ErrorText(DWORD code);

}  // namespace quarv::platform::win32
