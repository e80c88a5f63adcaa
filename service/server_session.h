// One session of the file service: the session layer of the protocol (HELO, ENTER, QUIT, the
// login timer) and the dispatch of the file commands after the login.
#pragma once

#include <chrono>
#include <condition_variable>
#include <string>
#include <thread>

#include "common/connection.h"
#include "common/thread_annotations.h"
#include "service/audit_log.h"
#include "service/file_server.h"
#include "service/login.h"
#include "service/sent_files.h"

namespace quarv {

// A session that has not logged in this long after it started loses its connection without a
// reply: fifty pauses of 100 ms.
inline constexpr auto kLoginPause = std::chrono::milliseconds(100);
inline constexpr int kLoginPauses = 50;
inline constexpr auto kLoginTime = kLoginPause * kLoginPauses;

// The login timer of one session. Its thread gives back the session's place and closes its
// connection when the session has not logged in within kLoginTime; Done (a successful login, or
// the session's end) stops it.
//
// Threads: the session's thread calls Start, Done, Finish and Expired; Run is the timer's own
// thread. done_ and expired_ are shared under mutex_.
class LoginWatchdog {
 public:
  LoginWatchdog(FileServer& server, Connection& connection)
      : server_(server), connection_(connection) {}
  ~LoginWatchdog() { Finish(); }
  LoginWatchdog(const LoginWatchdog&) = delete;
  LoginWatchdog& operator=(const LoginWatchdog&) = delete;

  // Starts the timer thread; false when it cannot be started.
  bool Start();
  // From now on the timer closes nothing.
  void Done() EXCLUDES(mutex_);
  // Done, then waits until the timer thread has ended: afterwards it no longer uses the
  // connection.
  void Finish();
  // True once the timer has closed the connection.
  bool Expired() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    return expired_;
  }

 private:
  void Run() EXCLUDES(mutex_);

  FileServer& server_;
  Connection& connection_;
  Mutex mutex_;
  std::condition_variable changed_;
  bool done_ GUARDED_BY(mutex_) = false;
  bool expired_ GUARDED_BY(mutex_) = false;
  std::thread thread_;
};

class ServerSession {
 public:
  ServerSession(FileServer& server, Connection& connection)
      : server_(server),
        connection_(connection),
        watchdog_(server, connection),
        peer_(PeerText(connection.Address())) {}
  ServerSession(const ServerSession&) = delete;
  ServerSession& operator=(const ServerSession&) = delete;

  // Runs the session until QUIT, a failed read, a stop or the login timer; the connection is
  // left to the caller to close.
  void Run();

 private:
  enum class Next { ReadLine, EndSession };

  // Answers the line in line_; tells whether the session goes on.
  Next Answer();
  // The file commands after the login; GET and DELE with their argument (the file name).
  void List();
  Next Get(const char* name);
  void Dele(const char* name);
  // ENTER before the login: a wrong token is answered only at its turn among the service's
  // failed logins (about 50 a second in all).
  Next Enter(const char* argument);

  FileServer& server_;
  Connection& connection_;
  LoginWatchdog watchdog_;
  const std::string peer_;  // the client's address and port, for the log
  SentFiles sent_;          // what GET sent, for DELE
  const char* endReason_ = "closed";
  bool loggedIn_ = false;
  char challenge_[kChallengeBufferSize] = {};
  char line_[kLineLimit] = {};
};

}  // namespace quarv
