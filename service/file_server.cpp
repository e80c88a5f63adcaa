// FileServer: start, stop, the listener and the admission of sessions.
#include "service/file_server.h"

#include <cstring>
#include <string>
#include <system_error>
#include <utility>

#include "platform/paths.h"

namespace quarv {

namespace {

constexpr std::uint8_t kSocketsMajor = 1;
constexpr std::uint8_t kSocketsMinor = 1;
// A failed accept that is not a stop (out of descriptors, say) is retried after this pause.
constexpr auto kAcceptRetryPause = std::chrono::milliseconds(100);
// How long Stop waits for the sessions it has closed to end, and the destructor after that.
constexpr auto kStopWait = std::chrono::seconds(10);
constexpr auto kDestroyWait = std::chrono::seconds(30);

// The refusal for a port that cannot be listened on, with the system's reason and its code.
std::string ListenFailure(const char* address, std::uint16_t port,
                          const platform::NetError& error) {
  const std::string where =
      address[0] != '\0' ? "ADDRESS " + std::string(address) + " PORT " : std::string("PORT ");
  const std::string code = error.code != 0 ? ", error " + std::to_string(error.code) : "";
  return "cannot listen on " + where + std::to_string(port) + " (" + error.text + code + ")";
}

}  // namespace

FileServer::~FileServer() {
  Stop();
  MutexLock lock(sessionsMutex_);
  lock.WaitFor(sessionsEnded_, kDestroyWait,
               [this]() REQUIRES(sessionsMutex_) { return sessionThreads_ == 0; });
}

bool FileServer::Start(const ServerSettings& settings, std::string* reason,
                       std::unique_ptr<platform::TlsContext> tls) {
  const auto refuse = [reason](const std::string& why) {
    if (reason != nullptr) *reason = why;
    return false;
  };
  MutexLock control(controlMutex_);
  if (listener_.joinable()) return refuse("the server is running already");
  {
    // Sessions of an earlier run still read the fields below.
    MutexLock lock(sessionsMutex_);
    if (sessionThreads_ != 0) return refuse("sessions of the last run are still ending");
  }
  if (!Startup(kSocketsMajor, kSocketsMinor)) {
    return refuse("the socket library cannot be started");
  }
  const std::string unusable = TakeSettings(settings);
  if (!unusable.empty()) return refuse(unusable);
  tls_ = std::move(tls);

  // The settings reader refuses a port outside 1..65535; 0 (a free port) is for tests.
  if (settings.port < 0 || settings.port > kHighestPort) {
    return refuse("PORT " + std::to_string(settings.port) + " is not a port number");
  }
  const auto port = static_cast<std::uint16_t>(settings.port);
  platform::NetError error;
  if (!Listen(port, settings.address, &error)) {
    return refuse(ListenFailure(settings.address, port, error));
  }

  stopping_.store(false);
  failedLogins_.Resume();
  try {
    listener_ = std::thread(&FileServer::AcceptLoop, this);
  } catch (const std::system_error&) {
    Close();
    return refuse("the listener thread cannot be started");
  }
  return true;
}

std::string PasswordProblem(const char* password) {
  if (password[0] == '\0') return "PASSWORD is empty";
  if (std::strlen(password) > kPasswordLimit) {
    return "PASSWORD is longer than " + std::to_string(kPasswordLimit) + " characters";
  }
  return {};
}

std::string FileServer::TakeSettings(const ServerSettings& settings) {
  std::string problem = PasswordProblem(settings.password);
  if (!problem.empty()) return problem;
  std::strcpy(password_, settings.password);
  // The directory's list pattern (the prefix and "*") must fit a path as well.
  if (!platform::FormBasePrefix(settings.base, basePrefix_, sizeof basePrefix_) ||
      std::strlen(basePrefix_) + 2 > sizeof basePrefix_) {
    return "BASE is too long for a path: \"" + std::string(settings.base) + "\"";
  }
  return {};
}

void FileServer::Stop() {
  MutexLock control(controlMutex_);
  stopping_.store(true);
  // A session waiting to answer a wrong token ends at once.
  failedLogins_.Stop();
  Close();  // wakes the listener's accept
  if (listener_.joinable()) listener_.join();
  {
    // Every session is closed, so that one blocked in a read ends too.
    MutexLock lock(sessionsMutex_);
    for (Connection* connection : liveConnections_) connection->Close();
    lock.WaitFor(sessionsEnded_, kStopWait,
                 [this]() REQUIRES(sessionsMutex_) { return sessionThreads_ == 0; });
  }
  Cleanup();
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
    MutexLock lock(sessionsMutex_);
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
    ServiceLog().WriteRepeatable(
        LogLevel::Warning, "connection refused (503)", AddressText(connection->Address()),
        "connection from " + PeerText(connection->Address()) +
            " refused: " + std::to_string(kMaxSessions) + " sessions busy (503)");
    connection->SendText(kServiceUnavailable);
    connection->Close();
    return;
  }
  try {
    std::thread thread(&FileServer::RunSession, this, session);
    static_cast<void>(connection.release());  // the session owns it now
    thread.detach();
  } catch (const std::system_error&) {
    {
      MutexLock lock(sessionsMutex_);
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

}  // namespace quarv
