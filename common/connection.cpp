#include "common/connection.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace quarv {

namespace {
constexpr int kListenBacklog = 5;
// What one receive takes from the socket of a TLS connection: a few of its largest records.
constexpr std::size_t kTlsWireSize = std::size_t{64} * 1024;
}  // namespace

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
  bool ok = queueStart_ == queue_.size() ||
            SendEvery(socket, queue_.data() + queueStart_, queue_.size() - queueStart_);
  queue_.clear();
  queueStart_ = 0;
  ok = ok && SendStream(socket, static_cast<const char*>(data),
                        static_cast<std::size_t>(std::max<std::int32_t>(length, 0)));
  EndUse();
  return ok;
}

bool Connection::SendStream(platform::SocketHandle socket, const char* bytes, std::size_t length) {
  if (!tls_) return SendEvery(socket, bytes, length);
  if (length == 0) return true;  // no record for nothing
  tls_->sealed.clear();
  if (!tls_->channel.Write(bytes, length)) return false;
  tls_->channel.TakeOutgoing(&tls_->sealed);
  return SendEvery(socket, tls_->sealed.data(), tls_->sealed.size());
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
  if (!tls_) {
    queue_ += text;
    return;
  }
  // Sealed now, in order: the queue holds what goes on the wire. A failed session shows at the
  // next receive.
  if (tls_->channel.Write(text.data(), text.size())) tls_->channel.TakeOutgoing(&queue_);
}

bool Connection::Flush() {
  if (queueStart_ == queue_.size()) return true;
  const platform::SocketHandle socket = BeginUse();
  if (socket == platform::kInvalidSocket) return false;
  const bool ok = SendEvery(socket, queue_.data() + queueStart_, queue_.size() - queueStart_);
  EndUse();
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
  // Plaintext the session holds already comes first; the socket is waited on only when the
  // session needs more of the peer's bytes. Each round feeds in at least one byte, and the loop
  // ends when a record is whole.
  for (;;) {
    const int got = tls_->channel.Read(out, length);
    if (got != 0) return got;
    if (!SendQueuedUntilReceiving(socket)) return -1;
    const int taken =
        platform::ReceiveSome(socket, tls_->wire.data(), static_cast<int>(tls_->wire.size()));
    if (taken <= 0) return taken;
    tls_->channel.Feed(tls_->wire.data(), static_cast<std::size_t>(taken));
  }
}

bool Connection::StartTls(const platform::TlsContext& context, std::string* error) {
  const platform::SocketHandle socket = BeginUse();
  if (socket == platform::kInvalidSocket) {
    *error = "the connection is closed";
    return false;
  }
  auto tls = std::make_unique<Tls>(context);
  tls->wire.resize(kTlsWireSize);
  bool done = false;
  std::string outgoing;
  // Every round sends what the handshake has for the peer and waits for its answer; the
  // handshake has a handful of messages, and every wait is bounded (the receive time-out, or a
  // Close from another thread), so the rounds end.
  while (!done) {
    const platform::TlsChannel::Step step = tls->channel.Handshake();
    outgoing.clear();
    tls->channel.TakeOutgoing(&outgoing);
    if (!outgoing.empty() && !SendEvery(socket, outgoing.data(), outgoing.size()) &&
        step != platform::TlsChannel::Step::Failed) {
      *error = "the handshake could not be sent";
      break;
    }
    if (step == platform::TlsChannel::Step::Failed) {
      *error = tls->channel.Error();
      break;
    }
    if (step == platform::TlsChannel::Step::Done) {
      done = true;
      break;
    }
    const int taken =
        platform::ReceiveSome(socket, tls->wire.data(), static_cast<int>(tls->wire.size()));
    if (taken <= 0) {
      *error = taken == 0 ? "the peer closed the connection during the handshake"
                          : "no answer to the handshake (lost, timed out or closed)";
      break;
    }
    tls->channel.Feed(tls->wire.data(), static_cast<std::size_t>(taken));
  }
  EndUse();
  if (done) tls_ = std::move(tls);
  return done;
}

std::string Connection::TlsDescription() const {
  return tls_ ? tls_->channel.Description() : std::string();
}

std::string Connection::PeerFingerprint() const {
  return tls_ ? tls_->channel.PeerFingerprint() : std::string();
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
