// The name lookup on Windows (getaddrinfo of ws2_32), in a file of its own: see LookupHost.
#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstring>

#include "platform/net.h"

namespace quarv::platform {

bool LookupHost(const char* name, std::vector<SocketAddress>* addresses) {
  addresses->clear();
  addrinfo hints;
  std::memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (name == nullptr || ::getaddrinfo(name, nullptr, &hints, &found) != 0) return false;
  for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET && entry->ai_family != AF_INET6) continue;
    SocketAddress address;
    address.length = static_cast<std::uint32_t>(
        std::min<std::size_t>(entry->ai_addrlen, kSocketAddressCapacity));
    std::memcpy(address.bytes.data(), entry->ai_addr, address.length);
    addresses->push_back(address);
  }
  ::freeaddrinfo(found);
  return !addresses->empty();
}

}  // namespace quarv::platform
