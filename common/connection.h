// Connection: a blocking TCP stream, over IPv4 or IPv6, with a protocol line reader.
//
// ReadLine returns one line at a time and never hands bytes past the line end to its caller:
// the first byte after a line is the first byte the next Receive returns, so header lines, a raw
// body and a raw digest can follow each other on one stream. Lines are read from an internal
// buffer, so a line costs few receive calls.
//
// Close may be called from another thread while a read or an accept is blocked in this
// connection: the blocked call then fails. The descriptor is released only when no call is using
// it any more, so a descriptor number the system has meanwhile handed to a new socket is never
// closed by mistake. Close is harmless on a connection that never had a socket or is closed.
//
// With TLS (StartTls) every byte after the handshake goes through the session: lines, bodies and
// digests are the same, and nothing above the connection knows whether it is encrypted.
//
// Threads: one owner thread makes every call but Close, IsOpen and LocalPort, which any thread
// may make (a server's Stop, a login timer). The socket and its use count are shared under
// mutex_; the line buffer, the send queue and the TLS session are the owner's alone.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/net_library.h"
#include "common/thread_annotations.h"
#include "platform/net.h"
#include "platform/tls.h"

namespace quarv {

class Connection : public NetLibrary {
 public:
  Connection() = default;
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Shuts the socket down in both directions and closes it.
  void Close() EXCLUDES(mutex_);
  // Sends every byte; false when a send fails. A length of 0 makes one empty send.
  bool SendAll(const void* data, std::int32_t length);
  // Sends the text without its NUL. A gone peer shows at the next receive.
  void SendText(const char* text);
  // Queues `text` to be sent. Queued bytes leave in order, as the peer takes them: every receive
  // (Receive, ReadLine) first hands over what the socket takes without waiting and, while bytes
  // are left, waits for whichever comes first, room to send or a byte to receive. So requests
  // may be queued far ahead of the replies to earlier ones: the replies are read while the
  // requests wait, and neither side waits for the other for ever. SendAll, SendText and Flush
  // send what is queued first. A failed send drops the rest; a gone peer shows at the next
  // receive.
  void Queue(const std::string& text);
  // Sends every queued byte, waiting as long as it takes. False when a send fails.
  bool Flush();
  // Gathers `length` bytes, fewer only when the peer closes or the connection fails. True when
  // at least one byte arrived; `count` then holds how many. A length of 0 gives false.
  bool Receive(void* buffer, std::uint32_t length, std::uint32_t* count = nullptr);
  // Reads one line ended by LF, CR LF, or CR and any one byte (swallowed). The line is stored
  // without its end and NUL-terminated. False when the peer closes first, or when the line
  // reaches limit - 1 bytes without an end (at most limit - 2 bytes fit before the end).
  bool ReadLine(char* buffer, std::int32_t limit);
  // Listens on `port` on every IPv4 interface, or on `bindAddress` when given and not empty:
  // dotted IPv4 ("127.0.0.1") or IPv6 ("::1", "[::1]"); "::" is every interface of both
  // families. Port 0 picks a free port (see LocalPort). Backlog 5. On failure `error`, when
  // given, holds the system's reason (code 0 for a bind address that is not an address).
  bool Listen(std::uint16_t port, const char* bindAddress = nullptr,
              platform::NetError* error = nullptr);
  // Accepts one client into `target`, which must hold no live socket.
  bool Accept(Connection& target);
  // Connects to an IPv4 or IPv6 address (see Listen), or to a host name looked up when it is not
  // one: each address of the name in the resolver's order, both families, until one connects.
  // Each attempt waits as long as the system's connect does; a Close from another thread ends
  // the attempt and tries no further address.
  bool Connect(const char* host, std::uint16_t port);

  // Turns TCP keepalive on for the socket held now, so that a peer that vanished is noticed.
  // Without a socket, or when the system refuses, the connection keeps the system's default and
  // is served all the same.
  void EnableKeepAlive();
  // From now on a receive (Receive, ReadLine) that gets no byte for `milliseconds` fails as if
  // the connection were lost; 0 waits for ever (the default). Applies to the socket held now and
  // to the socket of every later Connect.
  bool SetReceiveTimeout(std::uint32_t milliseconds);

  // Makes the connection a TLS channel over its socket, as the service or the agent side by
  // `context`: the handshake runs now, before any other byte; each wait for the peer is bounded
  // by the receive time-out, and a Close from another thread ends it. False, with the reason in
  // one line in `error`, when it fails: the connection is then of no further use (close it).
  // The session ends with the socket (a new Connect or Accept starts plain again).
  bool StartTls(const platform::TlsContext& context, std::string* error);
  // With TLS, the protocol version and cipher ("TLSv1.3 TLS_AES_128_GCM_SHA256"); empty when
  // the connection is plain.
  std::string TlsDescription() const;
  // With TLS, the SHA-256 fingerprint of the certificate the peer presented (as
  // platform::Sha256Fingerprint gives it); empty when plain or when it presented none.
  std::string PeerFingerprint() const;

  // True while the connection holds a socket that has not been closed.
  bool IsOpen() const EXCLUDES(mutex_);
  // The local port of a listening connection (0 when not known).
  std::uint16_t LocalPort() const EXCLUDES(mutex_);
  // The peer's (accepted, connecting) or local (listening) address.
  const platform::SocketAddress& Address() const { return address_; }

 private:
  // Stores a new socket; any earlier socket must have been closed.
  void Adopt(platform::SocketHandle socket) EXCLUDES(mutex_);
  // Takes the socket for one call; kInvalidSocket once the connection is closed.
  platform::SocketHandle BeginUse() EXCLUDES(mutex_);
  void EndUse() EXCLUDES(mutex_);
  // Fills the line buffer with one receive call; false when nothing arrived.
  bool FillBuffer();
  // One receive into `out` of at most `length` bytes, after handing the peer queued bytes (see
  // SendQueuedUntilReceiving); through the TLS session when there is one. The count, 0 when the
  // peer has closed, -1 on failure.
  int ReceiveSome(platform::SocketHandle socket, char* out, int length);
  // Before a receive call on `socket`: hands the peer queued bytes until it has taken them all
  // or there is something to receive. False when the receive time-out passed or the wait failed.
  bool SendQueuedUntilReceiving(platform::SocketHandle socket);
  // With TLS: seals the queued text not sealed yet into the send queue, in as few records as it
  // fills. False when the session has failed.
  bool Seal();
  // Sends every queued byte on `socket`, waiting as needed, and empties the queue (also when a
  // send fails, which drops the rest); false when a send fails.
  bool SendQueue(platform::SocketHandle socket);
  // Sends every byte on `socket`, waiting as needed; false when a send fails.
  static bool SendEvery(platform::SocketHandle socket, const char* bytes, std::size_t length);

  // One attempt of Connect: a new socket connected to `address`. When it fails because Close
  // was called meanwhile, `closed` is set: no further address is to be tried.
  bool ConnectOnce(const platform::SocketAddress& address, bool* closed);

  platform::SocketAddress address_;

  mutable Mutex mutex_;
  platform::SocketHandle socket_ GUARDED_BY(mutex_) = platform::kInvalidSocket;
  std::uint32_t receiveTimeout_ GUARDED_BY(mutex_) = 0;  // milliseconds; 0: none
  int users_ GUARDED_BY(mutex_) = 0;                     // calls currently using socket_
  // Close was called; release socket_ when users_ drops to 0.
  bool closed_ GUARDED_BY(mutex_) = false;

  // Holds the replies and small bodies of several files at a time.
  static constexpr std::uint32_t kBufferSize = 16 * 1024;
  std::array<char, kBufferSize> buffer_{};
  std::uint32_t bufferStart_ = 0;
  std::uint32_t bufferEnd_ = 0;

  // Bytes queued to be sent, as they go on the wire (sealed when TLS is on); those before
  // queueStart_ are gone.
  std::string queue_;
  std::size_t queueStart_ = 0;
  // With TLS: text queued since the last send or receive, sealed as one when either comes.
  std::string unsealed_;
  // The plaintext of one record at most (TLS's limit): a short send up to this size joins the
  // unsealed text in one record.
  static constexpr std::size_t kRecordPlaintext = std::size_t{16} * 1024;

  // The TLS session of the socket held now; none when plain. It hands its records to the send
  // queue and receives through SendQueuedUntilReceiving (TlsSocket, one per call).
  class TlsSocket;
  std::unique_ptr<platform::TlsChannel> tls_;
};

}  // namespace quarv
