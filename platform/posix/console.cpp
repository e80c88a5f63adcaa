// Console output on POSIX: the messages are UTF-8 already, and every piece of output is written
// straight to standard output, so that it reaches a terminal at once and keeps its order with
// respect to anything else the process writes there.
#include "platform/console.h"

#include <unistd.h>

#include <cerrno>

namespace quarv::platform {

std::string ToConsoleBytes(const char* utf8) {
  return utf8 == nullptr ? std::string() : utf8;
}

void ConsoleWrite(const char* bytes, std::size_t length) {
  while (length > 0) {
    const ssize_t written = ::write(STDOUT_FILENO, bytes, length);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere to report it: the console is gone
    }
    if (written == 0) return;
    bytes += written;
    length -= static_cast<std::size_t>(written);
  }
}

// Nothing is held back, so there is nothing to flush.
void ConsoleFlush() {}

}  // namespace quarv::platform
