// The name lookup on Linux (getaddrinfo), in a file of its own: see LookupHost.
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "platform/net.h"

namespace quarv::platform {

bool LookupHost(const char* name, std::uint32_t* addressNetworkOrder) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) return false;
  const auto* in = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  *addressNetworkOrder = in->sin_addr.s_addr;
  ::freeaddrinfo(found);
  return true;
}

}  // namespace quarv::platform
