// Sockets on Linux: BSD sockets with the results the Winsock 1.1 calls give.
#include "platform/net.h"

#include <arpa/inet.h>
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

#include "platform/operation_seam.h"

namespace quarv::platform {
namespace {

// The keepalive probes: the first after this much silence, then one per interval; after this
// many unanswered probes the connection counts as lost (here: within two minutes of the silence).
constexpr int kKeepAliveIdleSeconds = 60;
constexpr int kKeepAliveIntervalSeconds = 10;
constexpr int kKeepAliveProbes = 6;

sockaddr_in ToSockaddr(const Ipv4Address& address) {
  sockaddr_in result{};
  result.sin_family = AF_INET;
  result.sin_port = address.portNetworkOrder;
  result.sin_addr.s_addr = address.addressNetworkOrder;
  return result;
}

void FromSockaddr(const sockaddr_in& in, Ipv4Address* address) {
  address->family = kAddressFamilyInet;
  address->portNetworkOrder = in.sin_port;
  address->addressNetworkOrder = in.sin_addr.s_addr;
  std::memset(address->zero, 0, sizeof address->zero);
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

SocketHandle TcpSocket(NetError* error) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    SetError(error);
    return kInvalidSocket;
  }
  return static_cast<SocketHandle>(fd);
}

bool Bind(SocketHandle socket, const Ipv4Address& address, NetError* error) {
  // As on Windows, a port whose old connections linger in TIME_WAIT can be listened on again at
  // once (a restarted service); a port that another socket listens on still cannot.
  const int on = 1;
  ::setsockopt(Fd(socket), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const sockaddr_in in = ToSockaddr(address);
  if (::bind(Fd(socket), reinterpret_cast<const sockaddr*>(&in), sizeof in) == 0) return true;
  SetError(error);
  return false;
}

bool ListenOn(SocketHandle socket, int backlog, NetError* error) {
  if (::listen(Fd(socket), backlog) == 0) return true;
  SetError(error);
  return false;
}

SocketHandle AcceptOn(SocketHandle listener, Ipv4Address* peer) {
  sockaddr_in in{};
  socklen_t length = sizeof in;
  int fd;
  do {
    fd = ::accept4(Fd(listener), reinterpret_cast<sockaddr*>(&in), &length, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return kInvalidSocket;
  FromSockaddr(in, peer);
  return static_cast<SocketHandle>(fd);
}

bool ConnectTo(SocketHandle socket, const Ipv4Address& address) {
  const sockaddr_in in = ToSockaddr(address);
  int result;
  do {
    result = ::connect(Fd(socket), reinterpret_cast<const sockaddr*>(&in), sizeof in);
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

bool LocalAddress(SocketHandle socket, Ipv4Address* address) {
  sockaddr_in in{};
  socklen_t length = sizeof in;
  if (::getsockname(Fd(socket), reinterpret_cast<sockaddr*>(&in), &length) != 0) return false;
  FromSockaddr(in, address);
  return true;
}

std::uint32_t ParseDottedAddress(const char* text) {
  return ::inet_addr(text);
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
