#include "common/net_library.h"

namespace quarv {

bool NetLibrary::Startup(std::uint8_t major, std::uint8_t minor) {
  if (started_ != 0) {
    platform::NetCleanup();
    started_ = 0;
  }
  requestedVersion_ = static_cast<std::uint16_t>(major | (minor << 8));
  if (!platform::NetStartup(requestedVersion_, &startupData_)) return false;
  if (startupData_.version != requestedVersion_) {
    // The library did start, with a version we cannot use: undo that start-up, so that the
    // process-wide start-up count stays paired.
    platform::NetCleanup();
    return false;
  }
  started_ = 1;
  return true;
}

void NetLibrary::Cleanup() {
  if (started_ != 0) {
    platform::NetCleanup();
    started_ = 0;
  }
}

}  // namespace quarv
