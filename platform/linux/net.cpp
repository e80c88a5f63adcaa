// Sockets on Linux: BSD sockets with the results the Winsock 1.1 calls give.
#include "platform/net.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/operation_seam.h"

namespace quarv::platform {
namespace {

// The keepalive probes: the first after this much silence, then one per interval; after this
// many unanswered probes the connection counts as lost (here: within two minutes of the silence).
constexpr int kKeepAliveIdleSeconds = 60;
constexpr int kKeepAliveIntervalSeconds = 10;
constexpr int kKeepAliveProbes = 6;

static_assert(sizeof(sockaddr_storage) <= kSocketAddressCapacity);

// The stored bytes as the system's structure (copied: the array has no alignment of its own).
sockaddr_storage ToStorage(const SocketAddress& address) {
  sockaddr_storage storage{};
  std::memcpy(&storage, address.bytes.data(),
              std::min<std::size_t>(address.length, sizeof storage));
  return storage;
}

// Stores `length` bytes of the system's structure at `system` (sockaddr_in, sockaddr_in6 or
// sockaddr_storage).
void Store(const void* system, std::size_t length, SocketAddress* address) {
  *address = SocketAddress{};
  address->length = static_cast<std::uint32_t>(std::min(length, kSocketAddressCapacity));
  std::memcpy(address->bytes.data(), system, address->length);
}

int Fd(SocketHandle socket) {
  return static_cast<int>(socket);
}

// strerror_r comes in two flavours; both give a text here.
[[maybe_unused]] const char* ErrorText(int result, const char* buffer) {
  return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* ErrorText(const char* result, const char* /*buffer*/) {
  return result;
}

// Stores errno and its text in `error`, when given. errno keeps its value: the service ends with
// it after a refused start.
void SetError(NetError* error) {
  const int code = errno;
  if (error == nullptr) return;
  char buffer[128] = {};
  error->code = static_cast<std::uint32_t>(code);
  error->text = ErrorText(strerror_r(code, buffer, sizeof buffer), buffer);
  errno = code;
}

}  // namespace

bool NetStartup(std::uint16_t /*version*/, NetStartupData* data) {
  data->version = 0x0101;  // the only version this layer offers, like Winsock 1.1
  return true;
}

void NetCleanup() {}

SocketHandle TcpSocket(const SocketAddress& address, NetError* error) {
  const int family = ToStorage(address).ss_family == AF_INET6 ? AF_INET6 : AF_INET;
  const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    SetError(error);
    return kInvalidSocket;
  }
  return static_cast<SocketHandle>(fd);
}

bool Bind(SocketHandle socket, const SocketAddress& address, NetError* error) {
  // As on Windows, a port whose old connections linger in TIME_WAIT can be listened on again at
  // once (a restarted service); a port that another socket listens on still cannot.
  const int on = 1;
  ::setsockopt(Fd(socket), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const sockaddr_storage storage = ToStorage(address);
  if (storage.ss_family == AF_INET6) {
    // Both families on "::", whatever the system's default (net.ipv6.bindv6only).
    const int off = 0;
    ::setsockopt(Fd(socket), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  }
  if (::bind(Fd(socket), reinterpret_cast<const sockaddr*>(&storage), address.length) == 0) {
    return true;
  }
  SetError(error);
  return false;
}

bool ListenOn(SocketHandle socket, int backlog, NetError* error) {
  if (::listen(Fd(socket), backlog) == 0) return true;
  SetError(error);
  return false;
}

SocketHandle AcceptOn(SocketHandle listener, SocketAddress* peer) {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  int fd;
  do {
    length = sizeof storage;
    fd = ::accept4(Fd(listener), reinterpret_cast<sockaddr*>(&storage), &length, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return kInvalidSocket;
  Store(&storage, length, peer);
  return static_cast<SocketHandle>(fd);
}

bool ConnectTo(SocketHandle socket, const SocketAddress& address) {
  const sockaddr_storage storage = ToStorage(address);
  int result;
  do {
    result = ::connect(Fd(socket), reinterpret_cast<const sockaddr*>(&storage), address.length);
  } while (result < 0 && errno == EINTR);
  return result == 0;
}

int SendSome(SocketHandle socket, const void* data, int length) {
  if (!SendMayProceed(data, length)) return -1;
  ssize_t sent;
  do {
    sent = ::send(Fd(socket), data, static_cast<std::size_t>(length), MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent < 0 ? -1 : static_cast<int>(sent);
}

int SendSomeNow(SocketHandle socket, const void* data, int length) {
  if (!SendMayProceed(data, length)) return -1;
  ssize_t sent;
  do {
    sent = ::send(Fd(socket), data, static_cast<std::size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  return static_cast<int>(sent);
}

SocketReady WaitToReceiveOrSend(SocketHandle socket, std::uint32_t limitMilliseconds) {
  // The limit is the receive time-out: it is not restarted by an interrupted wait, so it is
  // counted from the start.
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    int timeout = -1;
    if (limitMilliseconds != 0) {
      const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
      const std::int64_t left = static_cast<std::int64_t>(limitMilliseconds) - spent;
      if (left <= 0) return SocketReady::Failed;
      timeout = static_cast<int>(std::min<std::int64_t>(left, INT_MAX));
    }
    pollfd entry{};
    entry.fd = Fd(socket);
    entry.events = POLLIN | POLLOUT;
    const int count = ::poll(&entry, 1, timeout);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return SocketReady::Failed;
    if (count == 0) return SocketReady::Failed;
    // A closed or failed socket is reported to the receive that follows.
    if ((entry.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0) return SocketReady::Receive;
    return SocketReady::Send;
  }
}

int ReceiveSome(SocketHandle socket, void* buffer, int length) {
  ssize_t got;
  do {
    got = ::recv(Fd(socket), buffer, static_cast<std::size_t>(length), 0);
  } while (got < 0 && errno == EINTR);
  return got < 0 ? -1 : static_cast<int>(got);
}

void ShutdownBoth(SocketHandle socket) {
  ::shutdown(Fd(socket), SHUT_RDWR);
}

void CloseSocket(SocketHandle socket) {
  ::close(Fd(socket));
}

void SendWithoutDelay(SocketHandle socket) {
  const int on = 1;
  ::setsockopt(Fd(socket), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool EnableKeepAlive(SocketHandle socket) {
  const int on = 1;
  const int idle = kKeepAliveIdleSeconds;
  const int interval = kKeepAliveIntervalSeconds;
  const int probes = kKeepAliveProbes;
  // Data the peer leaves unacknowledged this long ends the connection as well (a peer that
  // vanished while a body was on its way to it); the system alone would retry for many minutes.
  const unsigned userTimeout = static_cast<unsigned>(idle + interval * probes) * 1000u;
  return ::setsockopt(Fd(socket), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0 &&
         ::setsockopt(Fd(socket), IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) == 0 &&
         ::setsockopt(Fd(socket), IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) == 0 &&
         ::setsockopt(Fd(socket), IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) == 0 &&
         ::setsockopt(Fd(socket), IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout,
                      sizeof userTimeout) == 0;
}

bool SetReceiveTimeout(SocketHandle socket, std::uint32_t milliseconds) {
  // recv then fails with EAGAIN, which ReceiveSome reports as a failure.
  timeval limit{};
  limit.tv_sec = static_cast<time_t>(milliseconds / 1000);
  limit.tv_usec = static_cast<suseconds_t>(milliseconds % 1000) * 1000;
  return ::setsockopt(Fd(socket), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0;
}

void InterruptSocket(SocketHandle socket) {
  // Shutting down wakes recv and accept blocked on other threads; the descriptor stays ours
  // until the last user lets go, so its number cannot be reused under a running call.
  ::shutdown(Fd(socket), SHUT_RDWR);
}

bool LocalAddress(SocketHandle socket, SocketAddress* address) {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  if (::getsockname(Fd(socket), reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
    return false;
  }
  Store(&storage, length, address);
  return true;
}

bool ParseNumericAddress(const char* text, std::uint16_t port, SocketAddress* address) {
  if (text == nullptr) return false;
  const in_addr_t dotted = ::inet_addr(text);
  if (dotted != INADDR_NONE) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    in.sin_addr.s_addr = dotted;
    Store(&in, sizeof in, address);
    return true;
  }
  std::string inner = text;
  if (inner.size() >= 2 && inner.front() == '[' && inner.back() == ']') {
    inner = inner.substr(1, inner.size() - 2);
  }
  addrinfo hints{};
  hints.ai_family = AF_INET6;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* found = nullptr;
  if (::getaddrinfo(inner.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
    return false;
  }
  Store(found->ai_addr, found->ai_addrlen, address);
  ::freeaddrinfo(found);
  SetPort(address, port);
  return true;
}

SocketAddress AnyIpv4Address(std::uint16_t port) {
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_port = htons(port);
  in.sin_addr.s_addr = htonl(INADDR_ANY);
  SocketAddress address;
  Store(&in, sizeof in, &address);
  return address;
}

std::uint16_t PortOf(const SocketAddress& address) {
  const sockaddr_storage storage = ToStorage(address);
  if (storage.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in*>(&storage)->sin_port);
  }
  if (storage.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port);
  }
  return 0;
}

void SetPort(SocketAddress* address, std::uint16_t port) {
  sockaddr_storage storage = ToStorage(*address);
  if (storage.ss_family == AF_INET) {
    reinterpret_cast<sockaddr_in*>(&storage)->sin_port = htons(port);
  } else if (storage.ss_family == AF_INET6) {
    reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port = htons(port);
  } else {
    return;
  }
  std::memcpy(address->bytes.data(), &storage, address->length);
}

std::string FormatAddress(const SocketAddress& address) {
  sockaddr_storage storage = ToStorage(address);
  socklen_t length = address.length;
  if (storage.ss_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&storage);
    if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) {
      // An IPv4 client of a listener on "::": shown as the IPv4 address it is.
      sockaddr_in in{};
      in.sin_family = AF_INET;
      in.sin_port = in6->sin6_port;
      std::memcpy(&in.sin_addr, in6->sin6_addr.s6_addr + 12, sizeof in.sin_addr);
      storage = sockaddr_storage{};
      std::memcpy(&storage, &in, sizeof in);
      length = sizeof in;
    }
  }
  char host[NI_MAXHOST] = {};
  if (::getnameinfo(reinterpret_cast<const sockaddr*>(&storage), length, host, sizeof host, nullptr,
                    0, NI_NUMERICHOST) != 0) {
    return {};
  }
  return host;
}

std::string FormatAddressAndPort(const SocketAddress& address) {
  const std::string host = FormatAddress(address);
  const std::string port = std::to_string(PortOf(address));
  return host.find(':') != std::string::npos ? "[" + host + "]:" + port : host + ":" + port;
}

std::uint16_t HostToNetwork16(std::uint16_t value) {
  return htons(value);
}
std::uint16_t NetworkToHost16(std::uint16_t value) {
  return ntohs(value);
}

std::string HostName() {
  // HOST_NAME_MAX is 64 on Linux; the buffer leaves room for its NUL.
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

}  // namespace quarv::platform
