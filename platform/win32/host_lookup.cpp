// The name lookup on Windows (gethostbyname), in a file of its own: see LookupHost.
#define WIN32_LEAN_AND_MEAN
#include <winsock.h>

#include <cstring>

#include "platform/net.h"

namespace quarv::platform {

bool LookupHost(const char* name, std::uint32_t* addressNetworkOrder) {
  if (name == nullptr) return false;
  // The result lives in storage of the calling thread until its next lookup.
  const hostent* host = ::gethostbyname(name);
  if (host == nullptr || host->h_addrtype != AF_INET ||
      host->h_length != static_cast<short>(sizeof(std::uint32_t)) || host->h_addr_list == nullptr ||
      host->h_addr_list[0] == nullptr) {
    return false;
  }
  std::uint32_t address = 0;
  std::memcpy(&address, host->h_addr_list[0], sizeof(address));
  if (addressNetworkOrder != nullptr) *addressNetworkOrder = address;
  return true;
}

}  // namespace quarv::platform
