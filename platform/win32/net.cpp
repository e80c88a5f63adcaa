// Sockets over Windows sockets (ws2_32), started as version 1.1: the calls are those of 1.1, and
// for IPv6 getaddrinfo, getnameinfo and IPV6_V6ONLY, which need no later version at start-up.
//
// Every socket is non-blocking underneath, and each call that would block waits in select() in
// slices instead, checking between slices whether InterruptSocket has been called for the socket.
// That is how a Close from another thread wakes a blocked call without releasing the handle:
//
// - shutdown() alone wakes no blocked recv, accept, select or send (measured under Wine 8; on
//   Windows a shutdown is not documented to wake them either);
// - closesocket() wakes a blocked recv and accept, but the handle value is then free, and the
//   system may hand it to a new socket at once, under a call of the closed connection that is
//   about to start on the old value; and under Wine 8 closesocket() does not even wake a send
//   that is blocked because the peer does not read.
//
// With the slices the handle stays this connection's until its last user has left (Connection
// then closes it), and an interrupted call ends within one slice.
#define WIN32_LEAN_AND_MEAN
// Winsock 2 before <windows.h>, so that nothing declares the 1.1 socket types first.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/thread_annotations.h"
#include "platform/net.h"
#include "platform/operation_seam.h"
#include "platform/win32/error_text.h"

namespace quarv::platform {

namespace {

// shutdown() in both directions (SD_BOTH).
constexpr int kShutdownBoth = SD_BOTH;
// How long a waiting call sleeps in select() before it looks for an interruption again: the
// longest time a Close from another thread takes to end a blocked call.
constexpr long kWaitSliceMicroseconds = 100 * 1000;

// The sockets that InterruptSocket has shut down and whose handles are still open. Any thread
// interrupts, and every waiting call looks: shared under the mutex.
Mutex interruptMutex;
std::vector<SOCKET> interruptedSockets GUARDED_BY(interruptMutex);
// The receive time-outs set by SetReceiveTimeout (milliseconds), under the same lock.
std::vector<std::pair<SOCKET, DWORD>> receiveTimeouts GUARDED_BY(interruptMutex);

DWORD ReceiveTimeoutOf(SOCKET socket) {
  MutexLock lock(interruptMutex);
  for (const auto& entry : receiveTimeouts) {
    if (entry.first == socket) return entry.second;
  }
  return 0;
}

bool IsInterrupted(SOCKET socket) {
  MutexLock lock(interruptMutex);
  return std::find(interruptedSockets.begin(), interruptedSockets.end(), socket) !=
         interruptedSockets.end();
}

enum class Readiness { Ready, Interrupted, Failed, TimedOut };
enum class WaitFor { Read, Write, Connect, ReadOrWrite };

// Waits until the socket can be read (or accepted on), written, either of the two, or its connect
// has finished (successfully or not). Failed when select() fails, e.g. once the library has been
// cleaned up; TimedOut when `limitMilliseconds` (0: no limit) have passed without it. When ready,
// `readable` (if given) tells whether the socket can be read.
Readiness Wait(SOCKET socket, WaitFor what, DWORD limitMilliseconds = 0, bool* readable = nullptr) {
  const DWORD start = ::GetTickCount();
  const bool read = what == WaitFor::Read || what == WaitFor::ReadOrWrite;
  const bool write = what != WaitFor::Read;
  for (;;) {
    if (IsInterrupted(socket)) return Readiness::Interrupted;
    fd_set readSet;
    fd_set writeSet;
    fd_set failed;
    FD_ZERO(&readSet);
    FD_ZERO(&writeSet);
    FD_ZERO(&failed);
    FD_SET(socket, &readSet);
    FD_SET(socket, &writeSet);
    FD_SET(socket, &failed);
    timeval slice;
    slice.tv_sec = 0;
    slice.tv_usec = kWaitSliceMicroseconds;
    // A failed non-blocking connect is reported in the exception set.
    const int count = ::select(0, read ? &readSet : nullptr, write ? &writeSet : nullptr,
                               what == WaitFor::Connect ? &failed : nullptr, &slice);
    if (count == SOCKET_ERROR) return Readiness::Failed;
    if (count > 0) {
      if (readable != nullptr) *readable = read && FD_ISSET(socket, &readSet);
      return Readiness::Ready;
    }
    if (limitMilliseconds != 0 && ::GetTickCount() - start >= limitMilliseconds) {
      return Readiness::TimedOut;
    }
  }
}

bool SetNonBlocking(SOCKET socket) {
  u_long on = 1;
  return ::ioctlsocket(socket, FIONBIO, &on) != SOCKET_ERROR;
}

SOCKET ToSocket(SocketHandle socket) {
  return static_cast<SOCKET>(socket);
}

SocketHandle FromSocket(SOCKET socket) {
  return socket == INVALID_SOCKET ? kInvalidSocket : static_cast<SocketHandle>(socket);
}

static_assert(sizeof(sockaddr_storage) <= kSocketAddressCapacity);

// The stored bytes as the system's structure (copied: the array has no alignment of its own).
sockaddr_storage ToStorage(const SocketAddress& address) {
  sockaddr_storage storage;
  std::memset(&storage, 0, sizeof(storage));
  std::memcpy(&storage, address.bytes.data(),
              std::min<std::size_t>(address.length, sizeof(storage)));
  return storage;
}

// Stores `length` bytes of the system's structure at `system` (sockaddr_in, sockaddr_in6 or
// sockaddr_storage).
void Store(const void* system, std::size_t length, SocketAddress* address) {
  *address = SocketAddress{};
  address->length = static_cast<std::uint32_t>(std::min(length, kSocketAddressCapacity));
  std::memcpy(address->bytes.data(), system, address->length);
}

// Stores WSAGetLastError and the system's text for it (on one line) in `error`, when given. The
// code stays the thread's last error: the service ends with it after a refused start.
void SetError(NetError* error) {
  const DWORD code = static_cast<DWORD>(WSAGetLastError());
  if (error == nullptr) return;
  std::string text = win32::ErrorText(code);
  while (!text.empty() && (text.back() == ' ' || text.back() == '.')) text.pop_back();
  error->code = code;
  error->text = text.empty() ? "Unknown error" : text;
  WSASetLastError(static_cast<int>(code));
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
  MutexLock lock(interruptMutex);
  if (WSACleanup() == SOCKET_ERROR) return;
  // After the process's last clean-up the system has closed every socket, and a new socket may
  // get one of the listed values: only handles that are still sockets stay in the lists.
  const auto closed = [](SOCKET socket) {
    int type = 0;
    int length = sizeof(type);
    return ::getsockopt(socket, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length) ==
           SOCKET_ERROR;
  };
  interruptedSockets.erase(
      std::remove_if(interruptedSockets.begin(), interruptedSockets.end(), closed),
      interruptedSockets.end());
  receiveTimeouts.erase(std::remove_if(receiveTimeouts.begin(), receiveTimeouts.end(),
                                       [&closed](const std::pair<SOCKET, DWORD>& entry) {
                                         return closed(entry.first);
                                       }),
                        receiveTimeouts.end());
}

SocketHandle TcpSocket(const SocketAddress& address, NetError* error) {
  const int family = ToStorage(address).ss_family == AF_INET6 ? AF_INET6 : AF_INET;
  const SOCKET socket = ::socket(family, SOCK_STREAM, IPPROTO_TCP);
  if (socket == INVALID_SOCKET) {
    SetError(error);
    return kInvalidSocket;
  }
  if (!SetNonBlocking(socket)) {
    SetError(error);
    ::closesocket(socket);
    return kInvalidSocket;
  }
  return FromSocket(socket);
}

// No SO_REUSEADDR: on Windows it would let a second socket take a port that another one listens
// on. Without it a port whose old connections linger in TIME_WAIT can be listened on again at
// once (so under Wine 8 too).
bool Bind(SocketHandle socket, const SocketAddress& address, NetError* error) {
  const sockaddr_storage storage = ToStorage(address);
  if (storage.ss_family == AF_INET6) {
    // Both families on "::": Windows keeps an IPv6 socket to IPv6 unless told otherwise. A
    // system without dual-stack sockets refuses, and "::" then serves IPv6 alone.
    const DWORD off = 0;
    ::setsockopt(ToSocket(socket), IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&off),
                 sizeof(off));
  }
  if (::bind(ToSocket(socket), reinterpret_cast<const sockaddr*>(&storage),
             static_cast<int>(address.length)) != SOCKET_ERROR) {
    return true;
  }
  SetError(error);
  return false;
}

bool ListenOn(SocketHandle socket, int backlog, NetError* error) {
  if (::listen(ToSocket(socket), backlog) != SOCKET_ERROR) return true;
  SetError(error);
  return false;
}

SocketHandle AcceptOn(SocketHandle listener, SocketAddress* peer) {
  const SOCKET socket = ToSocket(listener);
  for (;;) {
    if (IsInterrupted(socket)) return kInvalidSocket;
    sockaddr_storage storage;
    std::memset(&storage, 0, sizeof(storage));
    int length = sizeof(storage);
    const SOCKET accepted = ::accept(socket, reinterpret_cast<sockaddr*>(&storage), &length);
    if (accepted != INVALID_SOCKET) {
      // An accepted socket takes the listener's mode; set anyway, as the waits rely on it.
      if (!SetNonBlocking(accepted)) {
        ::closesocket(accepted);
        return kInvalidSocket;
      }
      if (peer != nullptr) Store(&storage, static_cast<std::size_t>(length), peer);
      return FromSocket(accepted);
    }
    if (WSAGetLastError() != WSAEWOULDBLOCK) return kInvalidSocket;
    if (Wait(socket, WaitFor::Read) != Readiness::Ready) return kInvalidSocket;
  }
}

bool ConnectTo(SocketHandle socket, const SocketAddress& address) {
  const SOCKET s = ToSocket(socket);
  const sockaddr_storage storage = ToStorage(address);
  if (::connect(s, reinterpret_cast<const sockaddr*>(&storage), static_cast<int>(address.length)) !=
      SOCKET_ERROR) {
    return true;
  }
  if (WSAGetLastError() != WSAEWOULDBLOCK) return false;
  if (Wait(s, WaitFor::Connect) != Readiness::Ready) return false;
  int error = 0;
  int length = sizeof(error);
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) ==
      SOCKET_ERROR) {
    return false;
  }
  if (error != 0) {
    WSASetLastError(error);
    return false;
  }
  return true;
}

// Windows raises no signal for a send on a connection the peer has reset.
int SendSome(SocketHandle socket, const void* data, int length) {
  if (!SendMayProceed(data, length)) return -1;
  const SOCKET s = ToSocket(socket);
  for (;;) {
    if (IsInterrupted(s)) return -1;
    const int sent = ::send(s, static_cast<const char*>(data), length, 0);
    if (sent != SOCKET_ERROR) return sent;
    if (WSAGetLastError() != WSAEWOULDBLOCK) return -1;
    if (Wait(s, WaitFor::Write) != Readiness::Ready) return -1;
  }
}

int SendSomeNow(SocketHandle socket, const void* data, int length) {
  if (!SendMayProceed(data, length)) return -1;
  const SOCKET s = ToSocket(socket);
  if (IsInterrupted(s)) return -1;
  const int sent = ::send(s, static_cast<const char*>(data), length, 0);
  if (sent != SOCKET_ERROR) return sent;
  return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

SocketReady WaitToReceiveOrSend(SocketHandle socket, std::uint32_t limitMilliseconds) {
  // A closed or failed socket shows as readable; the receive that follows tells.
  bool readable = false;
  if (Wait(ToSocket(socket), WaitFor::ReadOrWrite, limitMilliseconds, &readable) !=
      Readiness::Ready) {
    return SocketReady::Failed;
  }
  return readable ? SocketReady::Receive : SocketReady::Send;
}

int ReceiveSome(SocketHandle socket, void* buffer, int length) {
  const SOCKET s = ToSocket(socket);
  for (;;) {
    if (IsInterrupted(s)) return -1;
    const int got = ::recv(s, static_cast<char*>(buffer), length, 0);
    if (got != SOCKET_ERROR) return got;
    if (WSAGetLastError() != WSAEWOULDBLOCK) return -1;
    if (Wait(s, WaitFor::Read, ReceiveTimeoutOf(s)) != Readiness::Ready) return -1;
  }
}

void ShutdownBoth(SocketHandle socket) {
  if (socket == kInvalidSocket) return;
  ::shutdown(ToSocket(socket), kShutdownBoth);
}

void CloseSocket(SocketHandle socket) {
  if (socket == kInvalidSocket) return;
  const SOCKET s = ToSocket(socket);
  {
    // Forgotten before the value is released, so that a new socket that gets it is not taken
    // for interrupted.
    MutexLock lock(interruptMutex);
    interruptedSockets.erase(std::remove(interruptedSockets.begin(), interruptedSockets.end(), s),
                             interruptedSockets.end());
    receiveTimeouts.erase(
        std::remove_if(receiveTimeouts.begin(), receiveTimeouts.end(),
                       [s](const std::pair<SOCKET, DWORD>& entry) { return entry.first == s; }),
        receiveTimeouts.end());
  }
  ::closesocket(s);
}

bool EnableKeepAlive(SocketHandle socket) {
  // The probes follow the system-wide settings.
  const BOOL on = TRUE;
  return ::setsockopt(ToSocket(socket), SOL_SOCKET, SO_KEEPALIVE,
                      reinterpret_cast<const char*>(&on), sizeof(on)) != SOCKET_ERROR;
}

void SendWithoutDelay(SocketHandle socket) {
  const BOOL on = TRUE;
  ::setsockopt(ToSocket(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
               sizeof(on));
}

// The sockets are non-blocking underneath (SO_RCVTIMEO would not apply): ReceiveSome's wait ends
// when the time-out passes without a byte.
bool SetReceiveTimeout(SocketHandle socket, std::uint32_t milliseconds) {
  const SOCKET s = ToSocket(socket);
  MutexLock lock(interruptMutex);
  for (auto& entry : receiveTimeouts) {
    if (entry.first == s) {
      entry.second = milliseconds;
      return true;
    }
  }
  receiveTimeouts.emplace_back(s, milliseconds);
  return true;
}

// Marks the socket so that every call waiting in it (and every later one) ends within a slice,
// and shuts it down so that the peer sees the end at once. The handle stays open: the caller
// closes it with CloseSocket once no call uses it.
void InterruptSocket(SocketHandle socket) {
  if (socket == kInvalidSocket) return;
  const SOCKET s = ToSocket(socket);
  {
    MutexLock lock(interruptMutex);
    if (std::find(interruptedSockets.begin(), interruptedSockets.end(), s) ==
        interruptedSockets.end()) {
      interruptedSockets.push_back(s);
    }
  }
  // A listening socket has no connection to shut down (the call fails, harmlessly).
  ::shutdown(s, kShutdownBoth);
}

bool LocalAddress(SocketHandle socket, SocketAddress* address) {
  sockaddr_storage storage;
  std::memset(&storage, 0, sizeof(storage));
  int length = sizeof(storage);
  if (::getsockname(ToSocket(socket), reinterpret_cast<sockaddr*>(&storage), &length) ==
      SOCKET_ERROR) {
    return false;
  }
  if (address != nullptr) Store(&storage, static_cast<std::size_t>(length), address);
  return true;
}

bool ParseNumericAddress(const char* text, std::uint16_t port, SocketAddress* address) {
  if (text == nullptr) return false;
  const unsigned long dotted = ::inet_addr(text);
  if (dotted != INADDR_NONE) {
    sockaddr_in in;
    std::memset(&in, 0, sizeof(in));
    in.sin_family = AF_INET;
    in.sin_port = ::htons(port);
    in.sin_addr.s_addr = dotted;
    Store(&in, sizeof(in), address);
    return true;
  }
  std::string inner = text;
  if (inner.size() >= 2 && inner.front() == '[' && inner.back() == ']') {
    inner = inner.substr(1, inner.size() - 2);
  }
  addrinfo hints;
  std::memset(&hints, 0, sizeof(hints));
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
  sockaddr_in in;
  std::memset(&in, 0, sizeof(in));
  in.sin_family = AF_INET;
  in.sin_port = ::htons(port);
  in.sin_addr.s_addr = ::htonl(INADDR_ANY);
  SocketAddress address;
  Store(&in, sizeof(in), &address);
  return address;
}

std::uint16_t PortOf(const SocketAddress& address) {
  const sockaddr_storage storage = ToStorage(address);
  if (storage.ss_family == AF_INET) {
    return ::ntohs(reinterpret_cast<const sockaddr_in*>(&storage)->sin_port);
  }
  if (storage.ss_family == AF_INET6) {
    return ::ntohs(reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port);
  }
  return 0;
}

void SetPort(SocketAddress* address, std::uint16_t port) {
  sockaddr_storage storage = ToStorage(*address);
  if (storage.ss_family == AF_INET) {
    reinterpret_cast<sockaddr_in*>(&storage)->sin_port = ::htons(port);
  } else if (storage.ss_family == AF_INET6) {
    reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port = ::htons(port);
  } else {
    return;
  }
  std::memcpy(address->bytes.data(), &storage, address->length);
}

// getnameinfo rather than inet_ntop, which Windows offers from Vista on only.
std::string FormatAddress(const SocketAddress& address) {
  sockaddr_storage storage = ToStorage(address);
  int length = static_cast<int>(address.length);
  if (storage.ss_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&storage);
    if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) {
      // An IPv4 client of a listener on "::": shown as the IPv4 address it is.
      sockaddr_in in;
      std::memset(&in, 0, sizeof(in));
      in.sin_family = AF_INET;
      in.sin_port = in6->sin6_port;
      std::memcpy(&in.sin_addr, in6->sin6_addr.s6_addr + 12, sizeof(in.sin_addr));
      std::memset(&storage, 0, sizeof(storage));
      std::memcpy(&storage, &in, sizeof(in));
      length = sizeof(in);
    }
  }
  char host[NI_MAXHOST] = {};
  if (::getnameinfo(reinterpret_cast<const sockaddr*>(&storage), length, host, sizeof(host),
                    nullptr, 0, NI_NUMERICHOST) != 0) {
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
  return ::htons(value);
}
std::uint16_t NetworkToHost16(std::uint16_t value) {
  return ::ntohs(value);
}

std::string HostName() {
  // The DNS host name, without the domain: what gethostname gives on Linux.
  char name[MAX_COMPUTERNAME_LENGTH + 256] = {};
  DWORD size = sizeof name;
  if (!GetComputerNameExA(ComputerNameDnsHostname, name, &size)) return {};
  return std::string(name, size);
}

}  // namespace quarv::platform
