// Base directories on Linux: the BASE value and one closing '/'.
#include "platform/paths.h"

namespace quarv::platform {

const char* DefaultBase() {
  return "/";
}

const char* LongPathPrefix() {
  return "";
}

std::string EntryKey(const char* name) {
  return name;
}

bool IsAbsolutePath(const char* path) {
  return path[0] == '/';
}

}  // namespace quarv::platform
