#include "service/audit_log.h"

#include <cstdio>
#include <cstring>
#include <system_error>

#include "common/control_bytes.h"

namespace quarv {

namespace {

constexpr auto kTickInterval = std::chrono::seconds(1);
constexpr char kSourceName[] = "ZelQuarvSvc";  // the service's name
constexpr char kProgramName[] = "QuarvSvc";
constexpr double kKilobyte = 1e3;
constexpr double kMegabyte = 1e6;

}  // namespace

void AuditLog::Write(LogLevel level, const std::string& line) {
  MutexLock lock(mutex_);
  sink_(level, line);
}

void AuditLog::WriteRepeatable(LogLevel level, const std::string& kind, const std::string& address,
                               const std::string& line) {
  MutexLock lock(mutex_);
  const auto now = clock_();
  FlushLocked(false, now);
  if (bursts_.size() >= kBurstLimit) FlushLocked(true, now);
  Burst& burst = bursts_[BurstKey(kind, address)];
  if (burst.written == 0 && burst.counted == 0) {
    burst.start = now;
    burst.level = level;
  }
  if (burst.written < kLinesPerBurst) {
    ++burst.written;
    sink_(level, line);
  } else {
    ++burst.counted;
  }
}

void AuditLog::Flush(bool all) {
  MutexLock lock(mutex_);
  FlushLocked(all, clock_());
}

void AuditLog::FlushLocked(bool all, std::chrono::steady_clock::time_point now) {
  for (auto it = bursts_.begin(); it != bursts_.end();) {
    const Burst& burst = it->second;
    if (!all && now - burst.start < kSummaryInterval) {
      ++it;
      continue;
    }
    if (burst.counted > 0) {
      const auto seconds = std::chrono::ceil<std::chrono::seconds>(now - burst.start).count();
      sink_(burst.level, it->first.first + " " + std::to_string(burst.counted) +
                             " more times from " + it->first.second + " in the last " +
                             std::to_string(seconds < 1 ? 1 : seconds) + " s");
    }
    it = bursts_.erase(it);
  }
}

void AuditLog::StartTicker() {
  MutexLock lock(tickerMutex_);
  if (ticker_.joinable()) return;
  tickerStop_ = false;
  try {
    ticker_ = std::thread([this] {
      MutexLock wait(tickerMutex_);
      while (!wait.WaitFor(tickerWake_, kTickInterval,
                           [this]() REQUIRES(tickerMutex_) { return tickerStop_; })) {
        Flush();
      }
    });
  } catch (const std::system_error&) {
    // Without the thread, summaries are written at the next event or at the stop.
  }
}

void AuditLog::StopTicker() {
  std::thread ticker;
  {
    MutexLock lock(tickerMutex_);
    tickerStop_ = true;
    tickerWake_.notify_all();
    ticker.swap(ticker_);
  }
  if (ticker.joinable()) ticker.join();
  Flush(true);
}

AuditLog& ServiceLog() {
  // Never destroyed: the file server's own destruction at exit may still end sessions.
  static AuditLog* const log = new AuditLog(
      [](LogLevel level, const std::string& line) {
        platform::WriteServiceLog(kSourceName, kProgramName, level, line);
      },
      [] { return std::chrono::steady_clock::now(); });
  return *log;
}

std::string GetLine(const std::string& peer, const char* name, const GetRecord& record,
                    std::chrono::steady_clock::duration elapsed) {
  const double seconds = std::chrono::duration<double>(elapsed).count();
  // A rate over less than a millisecond says nothing: it is taken over one.
  const double rate = static_cast<double>(record.sent) / (seconds < 0.001 ? 0.001 : seconds);
  char numbers[96];
  if (rate >= kMegabyte) {
    (void)std::snprintf(numbers, sizeof numbers, "%.3f s (%.1f MB/s)", seconds, rate / kMegabyte);
  } else {
    (void)std::snprintf(numbers, sizeof numbers, "%.3f s (%.1f KB/s)", seconds, rate / kKilobyte);
  }
  return "GET " + QuotedName(name) + " from " + peer + ": offset " + std::to_string(record.offset) +
         ", " + std::to_string(record.sent) + " bytes sent in " + numbers + ", " + record.outcome;
}

std::string AddressText(const platform::SocketAddress& address) {
  return platform::FormatAddress(address);
}

std::string PeerText(const platform::SocketAddress& address) {
  return platform::FormatAddressAndPort(address);
}

std::string QuotedName(const char* name) {
  std::string quoted = "\"";
  AppendEscaped(quoted, name, true);
  return quoted + "\"";
}

}  // namespace quarv
