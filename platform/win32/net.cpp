// Sockets over Windows sockets 1.1 (wsock32).
#define WIN32_LEAN_AND_MEAN
// Winsock 1.1 before <windows.h>, so that nothing else declares the socket types first.
#include <winsock.h>

#include <windows.h>

#include <atomic>
#include <cstring>

#include "platform/net.h"

namespace quarv::platform {

namespace {

// shutdown() in both directions; Winsock 1.1's header does not name it (SD_BOTH).
constexpr int kShutdownBoth = 2;

std::atomic<std::uint64_t> hostLookups{0};

SOCKET ToSocket(SocketHandle socket) {
  return static_cast<SOCKET>(socket);
}

SocketHandle FromSocket(SOCKET socket) {
  return socket == INVALID_SOCKET ? kInvalidSocket : static_cast<SocketHandle>(socket);
}

sockaddr_in ToSockaddr(const Ipv4Address& address) {
  sockaddr_in out;
  std::memset(&out, 0, sizeof(out));
  out.sin_family = static_cast<short>(address.family);
  out.sin_port = address.portNetworkOrder;
  out.sin_addr.s_addr = address.addressNetworkOrder;
  std::memcpy(out.sin_zero, address.zero, sizeof(out.sin_zero));
  return out;
}

void FromSockaddr(const sockaddr_in& in, Ipv4Address* address) {
  address->family = static_cast<std::uint16_t>(in.sin_family);
  address->portNetworkOrder = in.sin_port;
  address->addressNetworkOrder = in.sin_addr.s_addr;
  std::memcpy(address->zero, in.sin_zero, sizeof(address->zero));
}

}  // namespace

bool NetStartup(std::uint16_t version, NetStartupData* data) {
  WSADATA wsa;
  std::memset(&wsa, 0, sizeof(wsa));
  if (WSAStartup(version, &wsa) != 0) return false;
  if (data != nullptr) data->version = wsa.wVersion;
  return true;
}

void NetCleanup() {
  WSACleanup();
}

SocketHandle TcpSocket() {
  return FromSocket(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
}

bool Bind(SocketHandle socket, const Ipv4Address& address) {
  const sockaddr_in in = ToSockaddr(address);
  return ::bind(ToSocket(socket), reinterpret_cast<const sockaddr*>(&in), sizeof(in)) !=
         SOCKET_ERROR;
}

bool ListenOn(SocketHandle socket, int backlog) {
  return ::listen(ToSocket(socket), backlog) != SOCKET_ERROR;
}

SocketHandle AcceptOn(SocketHandle listener, Ipv4Address* peer) {
  sockaddr_in in;
  std::memset(&in, 0, sizeof(in));
  int length = sizeof(in);
  const SOCKET accepted = ::accept(ToSocket(listener), reinterpret_cast<sockaddr*>(&in), &length);
  if (accepted != INVALID_SOCKET && peer != nullptr) FromSockaddr(in, peer);
  return FromSocket(accepted);
}

bool ConnectTo(SocketHandle socket, const Ipv4Address& address) {
  const sockaddr_in in = ToSockaddr(address);
  return ::connect(ToSocket(socket), reinterpret_cast<const sockaddr*>(&in), sizeof(in)) !=
         SOCKET_ERROR;
}

// Windows raises no signal for a send on a connection the peer has reset.
int SendSome(SocketHandle socket, const void* data, int length) {
  const int sent = ::send(ToSocket(socket), static_cast<const char*>(data), length, 0);
  return sent == SOCKET_ERROR ? -1 : sent;
}

int ReceiveSome(SocketHandle socket, void* buffer, int length) {
  const int got = ::recv(ToSocket(socket), static_cast<char*>(buffer), length, 0);
  return got == SOCKET_ERROR ? -1 : got;
}

void ShutdownBoth(SocketHandle socket) {
  if (socket == kInvalidSocket) return;
  ::shutdown(ToSocket(socket), kShutdownBoth);
}

void CloseSocket(SocketHandle socket) {
  if (socket == kInvalidSocket) return;
  ::closesocket(ToSocket(socket));
}

// On Windows a shutdown alone does not wake a blocked accept; closing the handle wakes every call
// blocked in the socket (they fail). The handle is therefore released here, and its value may be
// handed out again at once: the caller must not use it afterwards.
bool InterruptSocket(SocketHandle socket) {
  if (socket == kInvalidSocket) return true;
  ::shutdown(ToSocket(socket), kShutdownBoth);
  ::closesocket(ToSocket(socket));
  return true;
}

bool LocalAddress(SocketHandle socket, Ipv4Address* address) {
  sockaddr_in in;
  std::memset(&in, 0, sizeof(in));
  int length = sizeof(in);
  if (::getsockname(ToSocket(socket), reinterpret_cast<sockaddr*>(&in), &length) == SOCKET_ERROR) {
    return false;
  }
  if (address != nullptr) FromSockaddr(in, address);
  return true;
}

std::uint32_t ParseDottedAddress(const char* text) {
  if (text == nullptr) return kAddressNone;
  return static_cast<std::uint32_t>(::inet_addr(text));
}

bool LookupHost(const char* name, std::uint32_t* addressNetworkOrder) {
  hostLookups.fetch_add(1, std::memory_order_relaxed);
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

std::uint64_t HostLookupCount() {
  return hostLookups.load(std::memory_order_relaxed);
}

std::uint16_t HostToNetwork16(std::uint16_t value) {
  return ::htons(value);
}
std::uint16_t NetworkToHost16(std::uint16_t value) {
  return ::ntohs(value);
}

}  // namespace quarv::platform
