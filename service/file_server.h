// FileServer: the file service's listening connection, its sessions and its file commands.
//
// Start listens on the configured port and starts the listener thread. The listener admits at
// most kMaxSessions sessions at a time (the next client gets "503 Service Unavailable") and runs
// each admitted session on a thread of its own: challenge, login, then LIST, GET and DELE until
// the client quits or goes away. Stop ends the listener and every session, also one blocked in a
// read, and returns once they are gone.
//
// Threads: Start and Stop come from the service frame (its service thread at the start, its
// dispatcher's thread on pause, continue and stop), one at a time under controlMutex_.
// AcceptLoop runs on the listener thread, and each session on its own thread, which also calls
// GiveBackPlace, as does the session's login timer. The places and the sessions' count are
// shared under sessionsMutex_; the password, the base prefix and the TLS context are written by
// Start before any session runs and only read afterwards.
//
// Where things are: file_server.cpp (start, stop, admission), server_session.cpp (the session
// layer: HELO, ENTER, QUIT, the login timer), list_command.cpp, get_command.cpp (the whole GET
// exchange), dele_command.cpp, sent_files.h (what a session sent, for its DELE), login.cpp
// (challenge, token, the pacing of wrong tokens).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "common/connection.h"
#include "common/protocol.h"
#include "common/settings_path.h"
#include "common/thread_annotations.h"
#include "platform/tls.h"
#include "service/audit_log.h"
#include "service/login.h"
#include "service/sent_files.h"

namespace quarv {

// Each settings value is read into a buffer of this size.
inline constexpr std::size_t kSettingValueSize = 200;
// The longest password: the login text "challenge:password" must fit its 100-byte buffer.
inline constexpr std::size_t kPasswordLimit = 82;
inline constexpr std::size_t kPasswordFieldSize = 100;
inline constexpr int kMaxSessions = 10;
// Base prefix plus file name must stay below this many bytes.
inline constexpr std::size_t kNameLimit = 245;

struct ServerSettings {
  std::int32_t port = 0;  // 1 to 65535; 0 picks a free port (tests)
  char base[kPathBufferSize] = {};
  char password[kSettingValueSize] = {};
  // Address to listen on: dotted IPv4, IPv6 ("::" every interface of both); empty: every IPv4
  // interface.
  char address[kSettingValueSize] = {};
  // TLS under the protocol, with the certificate and key at these paths (PEM files).
  bool tls = false;
  char certificate[kPathBufferSize] = {};
  char key[kPathBufferSize] = {};
};

// Why `password` cannot be used (one English phrase), or empty: without a password anyone could
// log in with the token of the empty password, and a longer one does not fit the login text.
std::string PasswordProblem(const char* password);

// How a file command leaves its connection: ready for the next command, or out of step with
// the client (a body that could not be delivered whole), so that it must be closed.
enum class CommandResult { Continue, CloseConnection };

// How a DELE ended: the file deleted, not deleted, or not deleted because the file under the
// name is no longer the one the session sent.
enum class DeleteResult { Deleted, NotDeleted, Changed };

class FileServer : public Connection {
 public:
  FileServer() = default;
  // Stops the server and waits for its sessions to end.
  ~FileServer();
  FileServer(const FileServer&) = delete;
  FileServer& operator=(const FileServer&) = delete;

  // Starts the socket library, listens and starts the listener thread. False when the
  // settings are unusable (an empty or too long password, a BASE that does not fit) or the port
  // cannot be listened on; then `reason`, when given, says why in one English phrase. May be
  // called again after Stop. With `tls`, every session runs its TLS handshake first.
  bool Start(const ServerSettings& settings, std::string* reason = nullptr,
             std::unique_ptr<platform::TlsContext> tls = nullptr)
      EXCLUDES(controlMutex_, sessionsMutex_);
  // Ends the listener and every session; returns once they have ended (bounded wait). May be
  // called more than once, and on a server that never started.
  void Stop() EXCLUDES(controlMutex_, sessionsMutex_);

  // Draws a session's challenge: 16 letters 'a'..'y' and a NUL into a 17-byte buffer, from the
  // system's secure random generator. False when the generator fails.
  static bool MakeChallenge(char* challenge);

  // The file commands; each writes its whole reply to `connection`.
  // LIST, after the session has sent "200 List of files.": the records and ".".
  // `count`, when given, gets the number of files listed.
  void ListFiles(Connection& connection, std::size_t* count = nullptr);
  // GET: the header, the client's offset line, the body and the digest (or the zero sentinel).
  // `record`, when given, gets what was sent, for the log; `sent`, the session's memory, when
  // given, remembers the file under `name` once the header has gone out.
  CommandResult SendFile(Connection& connection, const char* name, GetRecord* record = nullptr,
                         SentFiles* sent = nullptr);
  // DELE: one status line. With `sent`, a name found there removes only the file it was sent
  // from, and is taken out; a name not found after names were forgotten removes nothing.
  [[nodiscard]] DeleteResult RemoveFile(Connection& connection, const char* name,
                                        SentFiles* sent = nullptr);

  bool Stopping() const { return stopping_.load(); }
  const char* Password() const { return password_; }
  // The TLS every session runs its handshake with; null when the sessions are plain.
  const platform::TlsContext* Tls() const { return tls_.get(); }
  // Before a wrong login token is answered: waits for the service-wide turn of failed logins;
  // false when the server stops meanwhile.
  bool AwaitFailedLoginTurn() { return failedLogins_.AwaitTurn(); }
  // Frees the place of the session on `connection` for the next client; the first call counts,
  // later ones do nothing.
  void GiveBackPlace(Connection& connection) EXCLUDES(sessionsMutex_);

 private:
  // Takes the password and forms the base prefix; why the settings cannot be served, or empty.
  std::string TakeSettings(const ServerSettings& settings);
  void AcceptLoop();
  // Counts and starts a session for an accepted connection, or refuses it when full.
  void Admit(std::unique_ptr<Connection> connection) EXCLUDES(sessionsMutex_);
  // One session, on its own thread; owns `connection` and destroys it at its end.
  void RunSession(Connection* connection) EXCLUDES(sessionsMutex_);
  std::size_t PrefixLength() const;

  std::atomic<bool> stopping_{false};
  FailedLoginPacer failedLogins_;
  // Written by Start before any session runs; only read afterwards.
  char password_[kPasswordFieldSize] = {};
  char basePrefix_[kPathBufferSize] = {};
  std::unique_ptr<platform::TlsContext> tls_;

  Mutex controlMutex_;  // Start and Stop
  std::thread listener_ GUARDED_BY(controlMutex_);

  Mutex sessionsMutex_;
  std::condition_variable sessionsEnded_;
  int admitted_ GUARDED_BY(sessionsMutex_) = 0;  // sessions holding one of the kMaxSessions places
  // Session threads that have not yet let go of this object.
  int sessionThreads_ GUARDED_BY(sessionsMutex_) = 0;
  std::set<Connection*> liveConnections_ GUARDED_BY(sessionsMutex_);
};

}  // namespace quarv
