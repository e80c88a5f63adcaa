// Sockets over Windows sockets 1.1 (wsock32).
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
// Winsock 1.1 before <windows.h>, so that nothing else declares the socket types first.
#include <winsock.h>

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

// shutdown() in both directions; Winsock 1.1's header does not name it (SD_BOTH).
constexpr int kShutdownBoth = 2;
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

SocketHandle TcpSocket(NetError* error) {
  const SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
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
bool Bind(SocketHandle socket, const Ipv4Address& address, NetError* error) {
  const sockaddr_in in = ToSockaddr(address);
  if (::bind(ToSocket(socket), reinterpret_cast<const sockaddr*>(&in), sizeof(in)) !=
      SOCKET_ERROR) {
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

SocketHandle AcceptOn(SocketHandle listener, Ipv4Address* peer) {
  const SOCKET socket = ToSocket(listener);
  for (;;) {
    if (IsInterrupted(socket)) return kInvalidSocket;
    sockaddr_in in;
    std::memset(&in, 0, sizeof(in));
    int length = sizeof(in);
    const SOCKET accepted = ::accept(socket, reinterpret_cast<sockaddr*>(&in), &length);
    if (accepted != INVALID_SOCKET) {
      // An accepted socket takes the listener's mode; set anyway, as the waits rely on it.
      if (!SetNonBlocking(accepted)) {
        ::closesocket(accepted);
        return kInvalidSocket;
      }
      if (peer != nullptr) FromSockaddr(in, peer);
      return FromSocket(accepted);
    }
    if (WSAGetLastError() != WSAEWOULDBLOCK) return kInvalidSocket;
    if (Wait(socket, WaitFor::Read) != Readiness::Ready) return kInvalidSocket;
  }
}

bool ConnectTo(SocketHandle socket, const Ipv4Address& address) {
  const SOCKET s = ToSocket(socket);
  const sockaddr_in in = ToSockaddr(address);
  if (::connect(s, reinterpret_cast<const sockaddr*>(&in), sizeof(in)) != SOCKET_ERROR) {
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
