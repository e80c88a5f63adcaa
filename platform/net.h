// Sockets: the thin layer under Connection. Every call blocks, but for SendSomeNow; failures are
// plain results.
#pragma once

#include <cstdint>
#include <string>

namespace quarv::platform {

// A socket handle. 32 bits wide on 32-bit Windows (SOCKET), a descriptor on Linux.
using SocketHandle = std::uintptr_t;
inline constexpr SocketHandle kInvalidSocket = ~SocketHandle{0};

// An IPv4 socket address laid out like sockaddr_in: port and address in network byte order.
struct Ipv4Address {
  std::uint16_t family = 0;
  std::uint16_t portNetworkOrder = 0;
  std::uint32_t addressNetworkOrder = 0;
  std::uint8_t zero[8] = {};
};
inline constexpr std::uint16_t kAddressFamilyInet = 2;
inline constexpr std::uint32_t kAddressNone = 0xFFFFFFFFu;  // INADDR_NONE
inline constexpr std::uint32_t kAddressAny = 0;             // INADDR_ANY

// What the socket library reports when it starts.
struct NetStartupData {
  std::uint16_t version = 0;  // major in the low byte, minor in the high byte
};

// Starts the socket library asking for `version`. Returns true when the start-up call itself
// succeeded; `data` then holds the version the library reports. Linux reports 1.1.
bool NetStartup(std::uint16_t version, NetStartupData* data);
void NetCleanup();

// Why a socket call failed, as the system says it: its code (errno on Linux, WSAGetLastError on
// Windows) and the system's text for it, on one line.
struct NetError {
  std::uint32_t code = 0;
  std::string text;
};

// The calls below that take `error` fill it, when given, with the system's reason for a failure.
// AF_INET, SOCK_STREAM, IPPROTO_TCP; kInvalidSocket on failure.
SocketHandle TcpSocket(NetError* error = nullptr);
bool Bind(SocketHandle socket, const Ipv4Address& address, NetError* error = nullptr);
bool ListenOn(SocketHandle socket, int backlog, NetError* error = nullptr);
// Accepts one client; writes the peer's address. kInvalidSocket on failure.
SocketHandle AcceptOn(SocketHandle listener, Ipv4Address* peer);
bool ConnectTo(SocketHandle socket, const Ipv4Address& address);
// One send call; the number of bytes handed over, or -1. Never raises SIGPIPE.
int SendSome(SocketHandle socket, const void* data, int length);
// One receive call; the number of bytes stored, 0 when the peer has closed, -1 on failure.
int ReceiveSome(SocketHandle socket, void* buffer, int length);
// One send call that never waits: the number of bytes handed over, 0 when the socket takes none
// now (its send buffer is full), or -1. Never raises SIGPIPE.
int SendSomeNow(SocketHandle socket, const void* data, int length);
// What a socket is ready for.
enum class SocketReady {
  Receive,  // bytes to receive, or the peer has closed, or the socket failed: a receive tells
  Send,     // room to send, and nothing to receive
  Failed,   // `limitMilliseconds` passed first, the socket was interrupted, or the wait failed
};
// Waits until the socket has something to receive or takes bytes to send, whichever comes
// first; `limitMilliseconds` 0 waits for ever.
SocketReady WaitToReceiveOrSend(SocketHandle socket, std::uint32_t limitMilliseconds);
void ShutdownBoth(SocketHandle socket);
void CloseSocket(SocketHandle socket);

// Turns TCP keepalive on: when the peer has vanished without a word (its machine switched off,
// the network gone), the system's probes go unanswered and the calls blocked in the socket fail
// instead of waiting for ever. On Linux the connection counts as lost within two minutes of
// the silence; on Windows the probes follow the system-wide settings.
bool EnableKeepAlive(SocketHandle socket);

// Makes every send on `socket` leave at once, however small, instead of waiting for the peer to
// acknowledge earlier data (TCP_NODELAY): a reply often goes out in two sends (a header, then a
// body), and requests go ahead of replies. Only the timing of the segments changes, never the
// bytes of the stream. A socket that refuses it keeps the system's timing.
void SendWithoutDelay(SocketHandle socket);

// Makes a receive call on `socket` that gets no byte within `milliseconds` fail (-1) as if the
// connection were lost; 0 lets it wait for ever (the default of every socket).
bool SetReceiveTimeout(SocketHandle socket, std::uint32_t milliseconds);

// Wakes every call blocked in `socket` on another thread. The handle stays open: the caller
// closes it with CloseSocket once no call uses it any more.
void InterruptSocket(SocketHandle socket);

// The local address a socket is bound to (for a listener bound to port 0).
bool LocalAddress(SocketHandle socket, Ipv4Address* address);

// inet_addr: a dotted-decimal text in network byte order, or kAddressNone.
std::uint32_t ParseDottedAddress(const char* text);
// gethostbyname: the first IPv4 address of `name`, network byte order.
// Defined in a file of its own on each side (host_lookup.cpp), so that a test program may link
// a resolver of its own in its place and see which names are looked up.
bool LookupHost(const char* name, std::uint32_t* addressNetworkOrder);
// The machine's own host name (gethostname; GetComputerNameExA's DNS host name), or empty when
// the system cannot tell it. Needs no started socket library.
std::string HostName();

std::uint16_t HostToNetwork16(std::uint16_t value);
std::uint16_t NetworkToHost16(std::uint16_t value);

}  // namespace quarv::platform
