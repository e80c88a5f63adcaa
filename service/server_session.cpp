// The session layer of the file service.
#include "service/server_session.h"

#include <cstring>
#include <memory>
#include <string>
#include <system_error>

#include "common/protocol.h"
#include "common/split_token.h"

namespace quarv {

namespace {

bool Is(const char* word, const char* command) {
  return std::strcmp(word, command) == 0;
}

}  // namespace

bool LoginWatchdog::Start() {
  try {
    thread_ = std::thread(&LoginWatchdog::Run, this);
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

void LoginWatchdog::Done() {
  MutexLock lock(mutex_);
  done_ = true;
  changed_.notify_all();
}

void LoginWatchdog::Finish() {
  Done();
  if (thread_.joinable()) thread_.join();
}

void LoginWatchdog::Run() {
  MutexLock lock(mutex_);
  if (!lock.WaitFor(changed_, kLoginTime, [this]() REQUIRES(mutex_) { return done_; })) {
    expired_ = true;
    // The place first: a client that has seen the close finds it free.
    server_.GiveBackPlace(connection_);
    connection_.Close();  // the session's pending read fails and the session ends
  }
}

void ServerSession::Run() {
  if (!FileServer::MakeChallenge(challenge_)) return;
  // Without its timer a session could hold a place for ever without logging in.
  if (!watchdog_.Start()) return;
  const std::string address = AddressText(connection_.Address());
  ServiceLog().WriteRepeatable(LogLevel::Info, "session opened", address,
                               "session from " + peer_ + " opened");
  // The handshake runs under the login timer, already running: a client that starts one and
  // stalls loses its place as one that never logs in does.
  const platform::TlsContext* tls = server_.Tls();
  std::string tlsError;
  const bool handshakeFailed = tls != nullptr && !connection_.StartTls(*tls, &tlsError);
  if (handshakeFailed) {
    if (!server_.Stopping() && !watchdog_.Expired()) {
      ServiceLog().WriteRepeatable(LogLevel::Warning, "TLS handshake failed", address,
                                   "TLS handshake failed from " + peer_ + ": " + tlsError);
    }
    endReason_ = "TLS handshake failed";
  }
  while (!handshakeFailed && !server_.Stopping()) {
    if (!connection_.ReadLine(line_, kLineLimit)) break;
    if (Answer() == Next::EndSession) break;
  }
  watchdog_.Finish();
  if (server_.Stopping()) {
    endReason_ = "stop";
  } else if (watchdog_.Expired()) {
    endReason_ = "login timer";
  }
  // Sessions that never log in may come in bursts; the ends of the others are always told.
  const std::string ended = "session from " + peer_ + " ended";
  if (loggedIn_) {
    ServiceLog().Write(LogLevel::Info, ended + ": " + endReason_);
  } else {
    ServiceLog().WriteRepeatable(LogLevel::Info, "session ended without login", address,
                                 ended + " without login: " + endReason_);
  }
}

ServerSession::Next ServerSession::Answer() {
  const char* argument = SplitToken(line_);
  const char* word = line_;
  if (Is(word, kQuitCommand)) {
    connection_.SendText(kGoodBye);
    endReason_ = "QUIT";
    return Next::EndSession;
  }
  if (!loggedIn_) {
    if (Is(word, kHeloCommand)) {
      connection_.SendText(ChallengeReply(challenge_).c_str());
    } else if (Is(word, kEnterCommand)) {
      return Enter(argument);
    } else {
      connection_.SendText(kUnknownMessage);
    }
    return Next::ReadLine;
  }
  if (Is(word, kListCommand)) {
    List();
  } else if (Is(word, kGetCommand) && argument != nullptr) {
    return Get(argument);
  } else if (Is(word, kDeleCommand) && argument != nullptr) {
    Dele(argument);
  } else if (Is(word, kGetCommand) || Is(word, kDeleCommand)) {
    connection_.SendText(kBadRequest);
  } else {
    connection_.SendText(kUnknownMessage);
  }
  return Next::ReadLine;
}

void ServerSession::List() {
  connection_.SendText(kListOfFiles);
  std::size_t count = 0;
  server_.ListFiles(connection_, &count);
  ServiceLog().Write(LogLevel::Info,
                     "LIST from " + peer_ + ": " + std::to_string(count) + " files");
}

ServerSession::Next ServerSession::Get(const char* name) {
  GetRecord record;
  const auto start = std::chrono::steady_clock::now();
  const CommandResult result = server_.SendFile(connection_, name, &record, &sent_);
  ServiceLog().Write(LogLevel::Info,
                     GetLine(peer_, name, record, std::chrono::steady_clock::now() - start));
  return result == CommandResult::CloseConnection ? Next::EndSession : Next::ReadLine;
}

void ServerSession::Dele(const char* name) {
  const char* outcome = ": not deleted";
  switch (server_.RemoveFile(connection_, name, &sent_)) {
    case DeleteResult::Deleted:
      outcome = ": deleted";
      break;
    case DeleteResult::Changed:
      outcome = ": not deleted (changed since it was sent)";
      break;
    case DeleteResult::NotDeleted:
      break;
  }
  ServiceLog().Write(LogLevel::Notice, "DELE " + QuotedName(name) + " from " + peer_ + outcome);
}

ServerSession::Next ServerSession::Enter(const char* argument) {
  if (argument == nullptr) {
    connection_.SendText(kBadRequest);
    return Next::ReadLine;
  }
  // The token is formed afresh for every attempt.
  if (TokenMatches(argument, LoginToken(challenge_, server_.Password()))) {
    connection_.SendText(kWelcome);
    loggedIn_ = true;
    watchdog_.Done();
    // Whether the session is TLS, and how, only when it is: plain logs stay as they were.
    const std::string tls = server_.Tls() != nullptr ? " over " + connection_.TlsDescription() : "";
    ServiceLog().Write(LogLevel::Notice, "login from " + peer_ + tls);
    return Next::ReadLine;
  }
  ServiceLog().WriteRepeatable(LogLevel::Warning, "login refused",
                               AddressText(connection_.Address()), "login refused from " + peer_);
  // Guessing is slowed for the whole service; the right token above never waits.
  if (!server_.AwaitFailedLoginTurn()) return Next::EndSession;  // the server stops
  connection_.SendText(kUnauthorized);
  return Next::ReadLine;
}

void FileServer::RunSession(Connection* connection) {
  std::unique_ptr<Connection> owned(connection);
  {
    ServerSession session(*this, *owned);
    session.Run();
  }  // the login timer has ended: nothing else uses the connection
  // The place is given back before the client sees the close, so that a client that has seen
  // its session end finds the place free.
  GiveBackPlace(*connection);
  owned->Close();
  owned.reset();
  MutexLock lock(sessionsMutex_);
  --sessionThreads_;
  // Notified under the lock: once it is released this thread touches the server no more.
  sessionsEnded_.notify_all();
}

void FileServer::GiveBackPlace(Connection& connection) {
  MutexLock lock(sessionsMutex_);
  // Once only: the login timer and the session's end may both give it back.
  if (liveConnections_.erase(&connection) == 1) --admitted_;
}

}  // namespace quarv
