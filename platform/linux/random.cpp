// The operating system's random generator on Linux: getrandom.
#include "platform/random.h"

#include <sys/random.h>

#include <cerrno>

namespace quarv::platform {

bool SecureRandom(void* buffer, std::size_t length) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  std::size_t done = 0;
  while (done < length) {
    const ssize_t got = ::getrandom(bytes + done, length - done, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace quarv::platform
