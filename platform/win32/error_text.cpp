#include "platform/win32/error_text.h"

namespace quarv::platform::win32 {

std::string ErrorText(DWORD code) {
  char buffer[256];
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, code, 0, buffer, sizeof(buffer), nullptr);
  std::string text;
  for (DWORD i = 0; i < length && buffer[i] != '\0'; ++i) {
    const char c = buffer[i];
    if (c == '\r' || c == '\n') {
      if (!text.empty() && text.back() != ' ') text.push_back(' ');
    } else {
      text.push_back(c);
    }
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

}  // namespace quarv::platform::win32
