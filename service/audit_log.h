// AuditLog: what the service did, one English line per event, in the system's log
// (platform/service_log.h): start and stop, sessions, logins, and every LIST, GET and DELE.
// Never the password or a token.
//
// Events that a client can repeat at will from one address (refused logins, connections that
// never log in, refusals when full) are summarised so that a burst cannot flood the log: the
// first kLinesPerBurst of one kind from one address are written one by one, the rest are counted
// and reported in one line once kSummaryInterval has passed since the first:
//   "login refused 523 more times from 127.0.0.1 in the last 60 s"
//
// Threads: any thread writes (the service frame's, the listener, every session); the lines and
// the bursts are serialised under mutex_, so the sink is called by one thread at a time. The
// ticker runs on a thread of its own; StartTicker and StopTicker come from the service frame.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <utility>

#include "common/thread_annotations.h"
#include "platform/net.h"
#include "platform/service_log.h"

namespace quarv {

using platform::LogLevel;

inline constexpr int kLinesPerBurst = 5;
inline constexpr auto kSummaryInterval = std::chrono::seconds(60);
// Addresses tracked at once; beyond that every pending summary is written out first.
inline constexpr std::size_t kBurstLimit = 1024;

class AuditLog {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  using Sink = std::function<void(LogLevel, const std::string&)>;

  AuditLog(Sink sink, Clock clock) : sink_(std::move(sink)), clock_(std::move(clock)) {}
  ~AuditLog() { StopTicker(); }
  AuditLog(const AuditLog&) = delete;
  AuditLog& operator=(const AuditLog&) = delete;

  void Write(LogLevel level, const std::string& line) EXCLUDES(mutex_);
  // An event that may come in bursts: `kind` (e.g. "login refused") from `address` (without
  // port). Written as `line` while the burst is short, otherwise counted.
  void WriteRepeatable(LogLevel level, const std::string& kind, const std::string& address,
                       const std::string& line) EXCLUDES(mutex_);
  // Writes the summaries of the bursts whose interval has passed; of every burst when `all`.
  void Flush(bool all = false) EXCLUDES(mutex_);

  // A thread that writes due summaries about once a second, so that the summary of a burst
  // that has ended does not wait for the next event. StopTicker also writes every pending one.
  void StartTicker() EXCLUDES(tickerMutex_);
  void StopTicker() EXCLUDES(tickerMutex_, mutex_);

 private:
  struct Burst {
    std::chrono::steady_clock::time_point start;
    int written = 0;
    std::uint64_t counted = 0;
    LogLevel level = LogLevel::Warning;
  };
  using BurstKey = std::pair<std::string, std::string>;  // kind, address

  void FlushLocked(bool all, std::chrono::steady_clock::time_point now) REQUIRES(mutex_);

  const Sink sink_;
  const Clock clock_;
  Mutex mutex_;
  std::map<BurstKey, Burst> bursts_ GUARDED_BY(mutex_);

  Mutex tickerMutex_;
  std::condition_variable tickerWake_;
  bool tickerStop_ GUARDED_BY(tickerMutex_) = false;
  std::thread ticker_ GUARDED_BY(tickerMutex_);
};

// The service's log: the system's log for "ZelQuarvSvc" (lines from program "QuarvSvc"), on the
// steady clock. Lives until the
// process ends (sessions that end during exit may still write).
AuditLog& ServiceLog();

// What one GET did, for its log line.
struct GetRecord {
  std::uint64_t offset = 0;
  std::uint64_t sent = 0;  // bytes of the body sent
  // "completed", "cut", or "refused: " and the reply.
  std::string outcome = "cut";
};
// GET "name" from 127.0.0.1:40312: offset 0, 1048576 bytes sent in 0.012 s (87.4 MB/s), completed
std::string GetLine(const std::string& peer, const char* name, const GetRecord& record,
                    std::chrono::steady_clock::duration elapsed);

// "127.0.0.1:40312" and "127.0.0.1"; "[::1]:40312" and "::1" (an IPv4 client of a listener on
// "::" as IPv4).
std::string PeerText(const platform::SocketAddress& address);
std::string AddressText(const platform::SocketAddress& address);
// A name from a client between quotes, with quotes, backslashes and control bytes escaped.
std::string QuotedName(const char* name);

}  // namespace quarv
