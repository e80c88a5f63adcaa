// FileServer: start, stop, the listener and the admission of sessions.
#include "service/file_server.h"

#include <cstring>
#include <system_error>

#include "platform/paths.h"

namespace quarv {

namespace {

constexpr std::uint8_t kSocketsMajor = 1;
constexpr std::uint8_t kSocketsMinor = 1;
constexpr std::uint32_t kPortMask = 0xFFFF;
// A failed accept that is not a stop (out of descriptors, say) is retried after this pause.
constexpr auto kAcceptRetryPause = std::chrono::milliseconds(100);
// How long Stop waits for the sessions it has closed to end, and the destructor after that.
constexpr auto kStopWait = std::chrono::seconds(10);
constexpr auto kDestroyWait = std::chrono::seconds(30);

}  // namespace

FileServer::~FileServer() {
  Stop();
  std::unique_lock<std::mutex> lock(sessionsMutex_);
  sessionsEnded_.wait_for(lock, kDestroyWait, [this] { return sessionThreads_ == 0; });
}

bool FileServer::Start(const ServerSettings& settings) {
  std::lock_guard<std::mutex> control(controlMutex_);
  if (listener_.joinable()) return false;  // already running
  {
    // Sessions of an earlier run still read the fields below.
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    if (sessionThreads_ != 0) return false;
  }
  if (!Startup(kSocketsMajor, kSocketsMinor)) return false;

  if (std::strlen(settings.password) > kPasswordLimit) return false;
  std::strcpy(password_, settings.password);
  if (!platform::FormBasePrefix(settings.base, basePrefix_, sizeof basePrefix_)) return false;
  const std::size_t prefixLength = std::strlen(basePrefix_);
  if (prefixLength + 2 > sizeof listPattern_) return false;
  std::memcpy(listPattern_, basePrefix_, prefixLength);
  std::memcpy(listPattern_ + prefixLength, "*", 2);

  const auto port =
      static_cast<std::uint16_t>(static_cast<std::uint32_t>(settings.port) & kPortMask);
  if (!Listen(port, settings.address)) return false;

  stopping_.store(false);
  try {
    listener_ = std::thread(&FileServer::AcceptLoop, this);
  } catch (const std::system_error&) {
    Close();
    return false;
  }
  return true;
}

bool FileServer::Stop() {
  std::lock_guard<std::mutex> control(controlMutex_);
  stopping_.store(true);
  Close();  // wakes the listener's accept
  if (listener_.joinable()) listener_.join();
  {
    // Every session is closed, so that one blocked in a read ends too.
    std::unique_lock<std::mutex> lock(sessionsMutex_);
    for (Connection* connection : liveConnections_) connection->Close();
    sessionsEnded_.wait_for(lock, kStopWait, [this] { return sessionThreads_ == 0; });
  }
  Cleanup();
  return true;
}

void FileServer::AcceptLoop() {
  while (!stopping_.load()) {
    auto connection = std::make_unique<Connection>();
    if (!Accept(*connection)) {
      if (!stopping_.load()) std::this_thread::sleep_for(kAcceptRetryPause);
      continue;
    }
    // A client that vanishes without closing (its machine off, the network gone) is noticed,
    // so that its session ends and gives back its place.
    connection->EnableKeepAlive();
    Admit(std::move(connection));
  }
}

void FileServer::Admit(std::unique_ptr<Connection> connection) {
  Connection* const session = connection.get();
  bool stopping = false;
  bool admitted = false;
  {
    // The place is taken here, before the session thread runs, so that never more than
    // kMaxSessions sessions run however fast clients arrive.
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    stopping = stopping_.load();
    if (!stopping && admitted_ < kMaxSessions) {
      ++admitted_;
      ++sessionThreads_;
      liveConnections_.insert(session);
      admitted = true;
    }
  }
  if (stopping) {
    connection->Close();
    return;
  }
  if (!admitted) {
    connection->SendText(kServiceUnavailable);
    connection->Close();
    return;
  }
  try {
    std::thread thread(&FileServer::RunSession, this, session);
    connection.release();  // the session owns it now
    thread.detach();
  } catch (const std::system_error&) {
    {
      std::lock_guard<std::mutex> lock(sessionsMutex_);
      liveConnections_.erase(session);
      --admitted_;
      --sessionThreads_;
      sessionsEnded_.notify_all();
    }
    connection->Close();
  }
}

std::size_t FileServer::PrefixLength() const {
  return std::strlen(basePrefix_);
}

bool FileServer::FormPath(const char* name, char* path) const {
  const std::size_t prefixLength = PrefixLength();
  const std::size_t nameLength = std::strlen(name);
  if (prefixLength + nameLength >= kPathBufferSize) return false;
  std::memcpy(path, basePrefix_, prefixLength);
  std::memcpy(path + prefixLength, name, nameLength + 1);
  return true;
}

}  // namespace quarv
