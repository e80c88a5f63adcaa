// Sockets: the thin layer under Connection. Every call blocks, but for SendSomeNow; failures are
// plain results.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quarv::platform {

// A socket handle. 32 bits wide on 32-bit Windows (SOCKET), a descriptor on Linux.
using SocketHandle = std::uintptr_t;
inline constexpr SocketHandle kInvalidSocket = ~SocketHandle{0};

// A socket address of either family, IPv4 or IPv6: the bytes of the system's sockaddr_in or
// sockaddr_in6 as the system lays it out (port and address in network byte order), and how many
// of them count. Empty (length 0) until an address is stored.
inline constexpr std::size_t kSocketAddressCapacity = 128;  // sizeof(sockaddr_storage)
struct SocketAddress {
  std::array<std::uint8_t, kSocketAddressCapacity> bytes{};
  std::uint32_t length = 0;
};

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
// SOCK_STREAM, IPPROTO_TCP in the family of `address` (AF_INET or AF_INET6); kInvalidSocket on
// failure.
SocketHandle TcpSocket(const SocketAddress& address, NetError* error = nullptr);
// An IPv6 socket is bound with IPV6_V6ONLY off, so that "::" takes IPv4 clients as well (they
// arrive as mapped addresses, ::ffff:a.b.c.d).
bool Bind(SocketHandle socket, const SocketAddress& address, NetError* error = nullptr);
bool ListenOn(SocketHandle socket, int backlog, NetError* error = nullptr);
// Accepts one client; writes the peer's address. kInvalidSocket on failure.
SocketHandle AcceptOn(SocketHandle listener, SocketAddress* peer);
bool ConnectTo(SocketHandle socket, const SocketAddress& address);
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
bool LocalAddress(SocketHandle socket, SocketAddress* address);

// The address written in `text` with `port`: dotted IPv4 as inet_addr reads it (but for
// 255.255.255.255, which it cannot tell from a failure), or IPv6 with or without [brackets]
// (::1, [::1]). False for anything else, a host name among them.
bool ParseNumericAddress(const char* text, std::uint16_t port, SocketAddress* address);
// Every IPv4 interface (0.0.0.0) at `port`.
SocketAddress AnyIpv4Address(std::uint16_t port);
// The port of an IPv4 or IPv6 address; 0 for an empty one.
std::uint16_t PortOf(const SocketAddress& address);
void SetPort(SocketAddress* address, std::uint16_t port);
// The address alone as text: "192.168.1.20", "::1"; an IPv4-mapped IPv6 address as the IPv4
// address it stands for ("127.0.0.1"). Empty for an empty address.
std::string FormatAddress(const SocketAddress& address);
// The address and port as text: "192.168.1.20:40312", "[::1]:40312" (mapped ones as IPv4).
std::string FormatAddressAndPort(const SocketAddress& address);

// The addresses of host `name`, of both families, in the resolver's order (getaddrinfo).
// Defined in a file of its own on each side (host_lookup.cpp), so that a test program may link
// a resolver of its own in its place and see which names are looked up. The ports are 0.
bool LookupHost(const char* name, std::vector<SocketAddress>* addresses);
// The machine's own host name (gethostname; GetComputerNameExA's DNS host name), or empty when
// the system cannot tell it. Needs no started socket library.
std::string HostName();

std::uint16_t HostToNetwork16(std::uint16_t value);
std::uint16_t NetworkToHost16(std::uint16_t value);

}  // namespace quarv::platform
