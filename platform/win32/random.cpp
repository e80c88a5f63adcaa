// The system's secure random generator: RtlGenRandom (exported by advapi32 as SystemFunction036).
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// After <windows.h>, which it builds on.
#include <ntsecapi.h>

#include <algorithm>

#include "platform/random.h"

namespace quarv::platform {

bool SecureRandom(void* buffer, std::size_t length) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  while (length > 0) {
    const auto chunk = static_cast<ULONG>(std::min<std::size_t>(length, 0x10000));
    if (!RtlGenRandom(bytes, chunk)) return false;
    bytes += chunk;
    length -= chunk;
  }
  return true;
}

}  // namespace quarv::platform
