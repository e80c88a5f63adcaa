#include "common/connection.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

namespace quarv {

namespace {
constexpr int kListenBacklog = 5;

// Appends `length` bytes to `text`; false, with `text` as it was, when there is no memory.
bool Append(std::string& text, const char* bytes, std::size_t length) {
  try {
    text.append(bytes, length);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}
}  // namespace

// The socket of one call as the TLS session's transport: the session's records join the send
// queue, and it receives as a plain receive does, handing the peer what is queued while it
// waits. A transport without a socket (a Queue) takes records but receives nothing.
class Connection::TlsSocket final : public platform::TlsTransport {
 public:
  TlsSocket(Connection& connection, platform::SocketHandle socket)
      : connection_(connection), socket_(socket) {}

  bool Send(const char* bytes, std::size_t length) override {
    return Append(connection_.queue_, bytes, length);
  }

  int Receive(char* buffer, int length) override {
    if (socket_ == platform::kInvalidSocket || !connection_.SendQueuedUntilReceiving(socket_)) {
      lastReceive_ = -1;
    } else {
      lastReceive_ = platform::ReceiveSome(socket_, buffer, length);
    }
    return lastReceive_;
  }

  // What the last receive gave: 1 before the first.
  int LastReceive() const { return lastReceive_; }

 private:
  Connection& connection_;
  platform::SocketHandle socket_;
  int lastReceive_ = 1;
};

Connection::~Connection() {
  Close();
}

void Connection::Adopt(platform::SocketHandle socket) {
  MutexLock lock(mutex_);
  if (socket_ != platform::kInvalidSocket && users_ == 0) {
    // A socket left behind by a failed connect: release it before taking the new one.
    platform::CloseSocket(socket_);
  }
  socket_ = socket;
  closed_ = false;
  bufferStart_ = bufferEnd_ = 0;
  queue_.clear();
  queueStart_ = 0;
  unsealed_.clear();
  tls_.reset();
}

platform::SocketHandle Connection::BeginUse() {
  MutexLock lock(mutex_);
  if (socket_ == platform::kInvalidSocket || closed_) return platform::kInvalidSocket;
  ++users_;
  return socket_;
}

void Connection::EndUse() {
  MutexLock lock(mutex_);
  --users_;
  if (users_ == 0 && closed_) {
    platform::CloseSocket(socket_);
    socket_ = platform::kInvalidSocket;
    closed_ = false;
  }
}

void Connection::Close() {
  MutexLock lock(mutex_);
  if (socket_ == platform::kInvalidSocket || closed_) return;
  if (users_ == 0) {
    platform::ShutdownBoth(socket_);
    platform::CloseSocket(socket_);
    socket_ = platform::kInvalidSocket;
    return;
  }
  // Another thread is blocked in this socket: wake it; the last user releases the handle.
  closed_ = true;
  platform::InterruptSocket(socket_);
}

bool Connection::SendEvery(platform::SocketHandle socket, const char* bytes, std::size_t length) {
  do {
    const int sent =
        platform::SendSome(socket, bytes, static_cast<int>(std::min<std::size_t>(length, INT_MAX)));
    if (sent < 0) return false;
    length -= static_cast<std::size_t>(sent);
    bytes += sent;
  } while (length > 0);
  return true;
}

bool Connection::SendAll(const void* data, std::int32_t length) {
  const platform::SocketHandle socket = BeginUse();
  if (socket == platform::kInvalidSocket) return false;
  const auto* bytes = static_cast<const char*>(data);
  const auto size = static_cast<std::size_t>(std::max<std::int32_t>(length, 0));
  bool ok = true;
  if (tls_) {
    // Sealed behind what is queued and sent with it (no record for nothing). A short text
    // joins the queued one in the same record: a reply's header and a small body, say.
    TlsSocket peer(*this, socket);
    if (!unsealed_.empty() && unsealed_.size() + size <= kRecordPlaintext &&
        Append(unsealed_, bytes, size)) {
      ok = Seal();
    } else {
      ok = Seal() && tls_->Write(bytes, size, peer);
    }
  }
  ok = SendQueue(socket) && ok;
  if (!tls_) ok = ok && SendEvery(socket, bytes, size);
  EndUse();
  return ok;
}

void Connection::SendText(const char* text) {
  SendAll(text, static_cast<std::int32_t>(std::strlen(text)));
}

void Connection::Queue(const std::string& text) {
  // What has left is dropped once it is the larger part, so the queue holds little beyond what
  // waits.
  if (queueStart_ > queue_.size() / 2) {
    queue_.erase(0, queueStart_);
    queueStart_ = 0;
  }
  // With TLS the text waits to be sealed together with what is queued after it, until the next
  // send or receive: many requests in a few records.
  (tls_ ? unsealed_ : queue_) += text;
}

bool Connection::Seal() {
  if (unsealed_.empty()) return true;
  TlsSocket records(*this, platform::kInvalidSocket);
  const bool sealed = tls_->Write(unsealed_.data(), unsealed_.size(), records);
  unsealed_.clear();
  return sealed;
}

bool Connection::Flush() {
  if (queueStart_ == queue_.size() && unsealed_.empty()) return true;
  const platform::SocketHandle socket = BeginUse();
  if (socket == platform::kInvalidSocket) return false;
  const bool sealed = Seal();  // nothing to seal without TLS
  const bool ok = SendQueue(socket) && sealed;
  EndUse();
  return ok;
}

bool Connection::SendQueue(platform::SocketHandle socket) {
  const bool ok = queueStart_ == queue_.size() ||
                  SendEvery(socket, queue_.data() + queueStart_, queue_.size() - queueStart_);
  queue_.clear();
  queueStart_ = 0;
  return ok;
}

bool Connection::SendQueuedUntilReceiving(platform::SocketHandle socket) {
  while (queueStart_ < queue_.size()) {
    const int sent = platform::SendSomeNow(
        socket, queue_.data() + queueStart_,
        static_cast<int>(std::min<std::size_t>(queue_.size() - queueStart_, INT_MAX)));
    if (sent < 0) break;  // the receive that follows tells why
    if (sent > 0) {
      queueStart_ += static_cast<std::size_t>(sent);
      continue;
    }
    std::uint32_t limit = 0;
    {
      MutexLock lock(mutex_);
      limit = receiveTimeout_;
    }
    const platform::SocketReady ready = platform::WaitToReceiveOrSend(socket, limit);
    if (ready == platform::SocketReady::Failed) return false;
    if (ready == platform::SocketReady::Receive) return true;
  }
  queue_.clear();
  queueStart_ = 0;
  return true;
}

bool Connection::FillBuffer() {
  const platform::SocketHandle socket = BeginUse();
  if (socket == platform::kInvalidSocket) return false;
  const int got = ReceiveSome(socket, buffer_.data(), static_cast<int>(kBufferSize));
  EndUse();
  if (got <= 0) return false;
  bufferStart_ = 0;
  bufferEnd_ = static_cast<std::uint32_t>(got);
  return true;
}

int Connection::ReceiveSome(platform::SocketHandle socket, char* out, int length) {
  if (!tls_) {
    if (!SendQueuedUntilReceiving(socket)) return -1;
    return platform::ReceiveSome(socket, out, length);
  }
  // What was queued is sealed first, to leave while the session waits. Plaintext the session
  // holds already comes first; the socket is waited on only when the session needs more of the
  // peer's bytes for a record. A failed session shows in the read.
  Seal();
  TlsSocket peer(*this, socket);
  return tls_->Read(out, length, peer);
}

bool Connection::StartTls(const platform::TlsContext& context, std::string* error) {
  const platform::SocketHandle socket = BeginUse();
  if (socket == platform::kInvalidSocket) {
    *error = "the connection is closed";
    return false;
  }
  auto tls = std::make_unique<platform::TlsChannel>(context);
  // The handshake's messages join the send queue and leave while it waits for the peer's; every
  // wait is bounded (the receive time-out, or a Close from another thread), so it ends.
  TlsSocket peer(*this, socket);
  bool done = tls->Handshake(peer);
  // What is still queued (the client's last message, or an alert) leaves now.
  const bool sent = SendQueue(socket);
  EndUse();
  if (!done) {
    *error = peer.LastReceive() == 0  ? "the peer closed the connection during the handshake"
             : peer.LastReceive() < 0 ? "no answer to the handshake (lost, timed out or closed)"
                                      : tls->Error();
  } else if (!sent) {
    done = false;
    *error = "the handshake could not be sent";
  }
  if (done) tls_ = std::move(tls);
  return done;
}

std::string Connection::TlsDescription() const {
  return tls_ ? tls_->Description() : std::string();
}

std::string Connection::PeerFingerprint() const {
  return tls_ ? tls_->PeerFingerprint() : std::string();
}

bool Connection::IsOpen() const {
  MutexLock lock(mutex_);
  return socket_ != platform::kInvalidSocket && !closed_;
}

bool Connection::Receive(void* buffer, std::uint32_t length, std::uint32_t* count) {
  // A closed connection yields nothing, not even bytes it had already taken in.
  if (length == 0 || !IsOpen()) return false;
  auto* out = static_cast<char*>(buffer);
  // Bytes that came in behind the last line are handed out first.
  std::uint32_t total = std::min(length, bufferEnd_ - bufferStart_);
  std::memcpy(out, buffer_.data() + bufferStart_, total);
  bufferStart_ += total;
  // A short rest (a small body, a digest) is taken through the buffer, together with whatever
  // follows it (the next reply): one receive call instead of two or three.
  bool failed = false;
  while (total < length && length - total < kBufferSize) {
    if (!FillBuffer()) {
      failed = true;  // closed, lost or timed out: no second wait
      break;
    }
    const std::uint32_t part = std::min(length - total, bufferEnd_ - bufferStart_);
    std::memcpy(out + total, buffer_.data() + bufferStart_, part);
    bufferStart_ += part;
    total += part;
  }
  if (total < length && !failed) {
    const platform::SocketHandle socket = BeginUse();
    if (socket != platform::kInvalidSocket) {
      while (total < length) {
        const std::uint32_t want = std::min<std::uint32_t>(length - total, INT_MAX);
        const int got = ReceiveSome(socket, out + total, static_cast<int>(want));
        if (got <= 0) break;
        total += static_cast<std::uint32_t>(got);
      }
      EndUse();
    }
  }
  if (total == 0) return false;
  if (count != nullptr) *count = total;
  return true;
}

bool Connection::ReadLine(char* buffer, std::int32_t limit) {
  if (limit <= 0 || !IsOpen()) return false;
  std::int32_t position = 0;
  for (;;) {
    if (bufferStart_ == bufferEnd_ && !FillBuffer()) return false;
    const char byte = buffer_[bufferStart_++];
    if (byte == '\r') {
      // The byte after CR ends the line whatever it is (normally LF) and is dropped.
      if (bufferStart_ == bufferEnd_ && !FillBuffer()) return false;
      ++bufferStart_;
      buffer[position] = '\0';
      return true;
    }
    if (byte == '\n') {
      buffer[position] = '\0';
      return true;
    }
    buffer[position++] = byte;
    if (position >= limit - 1) return false;  // too long: at most limit - 2 bytes fit
  }
}

bool Connection::Listen(std::uint16_t port, const char* bindAddress, platform::NetError* error) {
  address_ = platform::AnyIpv4Address(port);
  if (bindAddress != nullptr && bindAddress[0] != '\0' &&
      !platform::ParseNumericAddress(bindAddress, port, &address_)) {
    if (error != nullptr) *error = platform::NetError{0, "not an IPv4 or IPv6 address"};
    return false;
  }
  const platform::SocketHandle socket = platform::TcpSocket(address_, error);
  Adopt(socket);
  if (socket == platform::kInvalidSocket) return false;
  if (!platform::Bind(socket, address_, error) ||
      !platform::ListenOn(socket, kListenBacklog, error)) {
    MutexLock lock(mutex_);
    platform::CloseSocket(socket_);
    socket_ = platform::kInvalidSocket;
    return false;
  }
  return true;
}

bool Connection::Accept(Connection& target) {
  const platform::SocketHandle listener = BeginUse();
  if (listener == platform::kInvalidSocket) return false;
  platform::SocketAddress peer;
  const platform::SocketHandle socket = platform::AcceptOn(listener, &peer);
  EndUse();
  target.address_ = peer;
  // Replies leave at once (see SendWithoutDelay), on both ends of every connection.
  if (socket != platform::kInvalidSocket) platform::SendWithoutDelay(socket);
  target.Adopt(socket);
  return socket != platform::kInvalidSocket;
}

bool Connection::Connect(const char* host, std::uint16_t port) {
  std::vector<platform::SocketAddress> addresses(1);
  if (!platform::ParseNumericAddress(host, port, &addresses.front())) {
    if (host == nullptr || !platform::LookupHost(host, &addresses)) return false;
    for (platform::SocketAddress& address : addresses) platform::SetPort(&address, port);
  }
  for (const platform::SocketAddress& address : addresses) {
    bool closed = false;
    if (ConnectOnce(address, &closed)) return true;
    if (closed) return false;
  }
  return false;
}

bool Connection::ConnectOnce(const platform::SocketAddress& address, bool* closed) {
  address_ = address;
  // A family the system does not offer leaves this address out.
  const platform::SocketHandle socket = platform::TcpSocket(address_);
  Adopt(socket);
  if (socket == platform::kInvalidSocket) return false;
  const platform::SocketHandle inUse = BeginUse();
  if (inUse == platform::kInvalidSocket) {
    *closed = true;
    return false;
  }
  bool connected = true;
  {
    MutexLock lock(mutex_);
    if (receiveTimeout_ != 0) connected = platform::SetReceiveTimeout(inUse, receiveTimeout_);
  }
  platform::SendWithoutDelay(inUse);  // requests leave at once
  connected = connected && platform::ConnectTo(inUse, address_);
  EndUse();
  // A Close from another thread released the socket as the attempt ended; a socket whose
  // connect merely failed is still held.
  *closed = !connected && !IsOpen();
  return connected;
}

void Connection::EnableKeepAlive() {
  const platform::SocketHandle socket = BeginUse();
  if (socket == platform::kInvalidSocket) return;
  platform::EnableKeepAlive(socket);
  EndUse();
}

bool Connection::SetReceiveTimeout(std::uint32_t milliseconds) {
  {
    MutexLock lock(mutex_);
    receiveTimeout_ = milliseconds;
  }
  const platform::SocketHandle socket = BeginUse();
  if (socket == platform::kInvalidSocket) return true;  // applied at the next Connect
  const bool set = platform::SetReceiveTimeout(socket, milliseconds);
  EndUse();
  return set;
}

std::uint16_t Connection::LocalPort() const {
  platform::SocketAddress local;
  MutexLock lock(mutex_);
  if (socket_ == platform::kInvalidSocket || !platform::LocalAddress(socket_, &local)) return 0;
  return platform::PortOf(local);
}

}  // namespace quarv
