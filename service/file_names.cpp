#include "service/file_names.h"

#include <cstring>

#include "platform/module_path.h"
#include "service/file_server.h"

namespace quarv {

namespace {

// '/' separates directories everywhere the service runs; the platform may have its own too.
bool IsSeparator(char byte) {
  return byte == '/' || byte == platform::PathSeparator();
}

}  // namespace

bool NameFits(std::size_t prefixLength, const char* name) {
  return prefixLength + std::strlen(name) < kNameLimit;
}

bool NameLeavesBase(const char* name) {
  if (IsSeparator(name[0])) return true;
  const char* component = name;
  for (const char* cursor = name;; ++cursor) {
    if (*cursor == '\0' || IsSeparator(*cursor)) {
      if (cursor - component == 2 && component[0] == '.' && component[1] == '.') return true;
      if (*cursor == '\0') return false;
      component = cursor + 1;
    }
  }
}

}  // namespace quarv
