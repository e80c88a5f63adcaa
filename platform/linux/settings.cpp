// The settings reader on Linux, with the semantics of GetPrivateProfileStringA.
#include "platform/settings.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>

namespace quarv::platform {
namespace {

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(kProfileBlanks);
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(kProfileBlanks);
  return text.substr(first, last - first + 1);
}

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

std::string_view Unquote(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

// Finds the value of key in section; false when the file, section or key is missing.
bool FindValue(const char* path, std::string_view section, std::string_view key,
               std::string* value) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string line;
  bool inSection = false;
  while (std::getline(in, line)) {
    const std::string_view text = Trim(line);
    if (text.empty() || text.front() == ';') continue;
    if (text.front() == '[') {
      const auto close = text.find(']');
      const std::string_view name =
          Trim(text.substr(1, close == std::string_view::npos ? text.size() - 1 : close - 1));
      inSection = SameName(name, section);
      continue;
    }
    if (!inSection) continue;
    const auto equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    if (!SameName(Trim(text.substr(0, equals)), key)) continue;
    value->assign(Unquote(Trim(text.substr(equals + 1))));
    return true;
  }
  return false;
}

}  // namespace

std::uint32_t ReadProfileValue(const char* section, const char* key, const char* fallback,
                               char* out, std::uint32_t size, const char* path) {
  std::string value;
  if (!FindValue(path, section, key, &value)) return CopyProfileFallback(fallback, out, size);
  return CopyProfileValue(value, out, size);
}

}  // namespace quarv::platform
