#include "common/wire_number.h"

#include <cstdio>
#include <cstring>

namespace quarv {
namespace {

bool IsSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// The decimal reading rule, stopping at `end` (or the NUL) whichever comes first.
std::uint32_t ParseUntil(const char* text, const char* end) {
  const char* p = text;
  while (p != end && *p != '\0' && IsSpace(*p)) ++p;
  bool negative = false;
  if (p != end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  std::uint32_t value = 0;
  while (p != end && *p >= '0' && *p <= '9') {
    value = value * 10u + static_cast<std::uint32_t>(*p - '0');
    ++p;
  }
  return negative ? 0u - value : value;
}

}  // namespace

std::uint32_t ParseWord(const char* text) {
  return ParseUntil(text, nullptr);
}

std::int32_t ParseInt(const char* text) {
  return static_cast<std::int32_t>(ParseWord(text));
}

std::string FormatWords(std::uint64_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "%u %u", static_cast<unsigned>(value & 0xFFFFFFFFu),
                static_cast<unsigned>(value >> 32));
  return text;
}

bool ParseWords(const char* text, std::uint32_t* low, std::uint32_t* high) {
  const char* blank = std::strchr(text, ' ');
  if (blank == nullptr) return false;
  *low = ParseUntil(text, blank);
  *high = ParseWord(blank + 1);
  return true;
}

}  // namespace quarv
