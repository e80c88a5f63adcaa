#include "common/control_bytes.h"

#include <array>

namespace quarv {

void AppendEscaped(std::string& out, const char* text, bool quoted) {
  constexpr std::array<char, 16> kHexDigits{'0', '1', '2', '3', '4', '5', '6', '7',
                                            '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};
  constexpr unsigned char kFirstPrintable = 0x20;
  constexpr unsigned char kDelete = 0x7F;
  for (const char* p = text; *p != '\0'; ++p) {
    const auto byte = static_cast<unsigned char>(*p);
    if (byte < kFirstPrintable || byte == kDelete) {
      out += "\\x";
      out += kHexDigits[byte >> 4];
      out += kHexDigits[byte & 0x0F];
      continue;
    }
    if (quoted && (byte == '"' || byte == '\\')) out += '\\';
    out += *p;
  }
}

}  // namespace quarv
