// Base directories on Windows: the long-path prefix, the BASE value, a closing backslash.
#include "platform/paths.h"

namespace quarv::platform {

const char* DefaultBase() {
  return "c:\\";
}

const char* LongPathPrefix() {
  return "\\\\?\\";
}

}  // namespace quarv::platform
