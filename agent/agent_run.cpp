#include "agent/agent_run.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "agent/client_tls.h"
#include "agent/console_output.h"
#include "agent/fetch_agent.h"
#include "common/md5.h"
#include "common/protocol.h"
#include "common/wire_number.h"
#include "platform/console.h"
#include "platform/named_lock.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/settings.h"
#include "platform/tls.h"

namespace quarv::agent {
namespace {

// Buffer sizes of the settings values; a longer value is cut to the size less one.
constexpr std::size_t kNumberValueSize = 50;
constexpr std::size_t kBaseValueSize = 260;
constexpr std::size_t kHostValueSize = 200;
constexpr std::size_t kPasswordValueSize = 100;
// Room for a fingerprint written with colons or blanks between its 32 pairs.
constexpr std::size_t kFingerprintValueSize = 200;
// RATE is in KiB per second.
constexpr std::uint64_t kKibibyte = 1024;

template <std::size_t kSize>
std::string ReadValue(const char* key, const char* fallback, const char* path) {
  std::array<char, kSize> value{};
  platform::ReadProfileString(kSettingsSection, key, fallback, value.data(),
                              static_cast<std::uint32_t>(value.size()), path);
  return value.data();
}

// What the run does after a pass, from the pass's two results and the total so far.
enum class TryOutcome { Succeeded, NothingTransferred, Failed };

TryOutcome DecideTry(int notFetched, int total, int result) {
  if (notFetched != 0) return TryOutcome::Failed;
  if (total > 0) return TryOutcome::Succeeded;
  if (result >= 0) return TryOutcome::NothingTransferred;
  return TryOutcome::Failed;
}

// The single-instance lock's name: one lock for each BASE where the platform tells directories
// apart (a digest of the resolved path, so that any path makes a name), else the one name.
std::string InstanceLockName(const std::string& base) {
  const std::string scope = platform::LockScopeOf(base.c_str());
  if (scope.empty()) return kInstanceLockName;
  return std::string(kInstanceLockName) + "-" +
         Md5HexOf(scope.data(), static_cast<std::uint32_t>(scope.size()));
}

// A switch is on when its value begins with the upper-case letter Y.
bool IsYes(const std::string& value) {
  return !value.empty() && value[0] == 'Y';
}

int RunTries(FetchAgent& agent, const AgentSettings& settings) {
  int total = 0;
  int notFetched = -1;
  for (int tryNumber = 1;; ++tryNumber) {
    Say(Message::TryBanner, tryNumber, settings.tries);
    int result = 0;
    for (;;) {
      result = agent.RunPass(settings.host.c_str(), settings.port, settings.password.c_str(),
                             settings.base.c_str(), &notFetched);
      if (result > 0) total += result;
      // A list with more pending files than the table takes: the rest are taken by further
      // passes of this try, as long as each pass fetches a file (so this ends). A cut pass
      // counts the files it left as not fetched, so it never ends the run as a success.
      if (!agent.ListWasCut() || result <= 0) break;
    }
    switch (DecideTry(notFetched, total, result)) {
      case TryOutcome::Succeeded:
        Say(Message::TransferSucceeded);
        return total;
      case TryOutcome::NothingTransferred:
        Say(Message::NoTransfer);
        return total;
      case TryOutcome::Failed:
        break;
    }
    if (tryNumber >= settings.tries) break;  // no pause between tries
  }
  if (notFetched < 0) {
    Say(Message::NotFetchedUnknown);
  } else {
    Say(Message::NotFetchedCount, notFetched);
  }
  return total;
}

// With TLS the run goes only with a pin to check the service against, never in the clear: the
// pin and the session settings of every pass into `agent`, the settings owned by `tls` and made
// meanwhile. False (after its message) when there is no valid pin. When the TLS library does
// not start, each pass says so and connects to nothing.
bool StartTls(const AgentSettings& settings, FetchAgent& agent, ClientTls& tls) {
  if (!platform::ParseFingerprint(settings.fingerprint, &agent.pinnedFingerprint)) {
    Say(Message::FingerprintMissing);
    return false;
  }
  tls.Begin();
  agent.tls = &tls;
  return true;
}

}  // namespace

AgentSettings ReadAgentSettings(const char* path) {
  AgentSettings settings;
  settings.port = ParseInt(ReadValue<kNumberValueSize>("PORT", kDefaultPort, path).c_str());
  settings.base = ReadValue<kBaseValueSize>("BASE", platform::DefaultBase(), path);
  settings.host = ReadValue<kHostValueSize>("HOST", "", path);
  settings.password = ReadValue<kPasswordValueSize>("PASSWORD", "", path);
  settings.tries = ParseInt(ReadValue<kNumberValueSize>("TRY", "5", path).c_str());
  if (settings.tries <= 0) settings.tries = 1;
  settings.checkFileTime = IsYes(ReadValue<kNumberValueSize>("CHECKFILETIME", "Yes", path));
  settings.deleteFile = IsYes(ReadValue<kNumberValueSize>("DELETEFILE", "No", path));
  settings.rateKib = std::max(ParseInt(ReadValue<kNumberValueSize>("RATE", "0", path).c_str()), 0);
  settings.tls = IsYes(ReadValue<kNumberValueSize>("TLS", "No", path));
  settings.fingerprint = ReadValue<kFingerprintValueSize>("FINGERPRINT", "", path);
  return settings;
}

void RunAgent(const char* settingsPath) {
  platform::TakeFileSizeLimitAsWriteError();
  FetchAgent agent;
  const AgentSettings settings = ReadAgentSettings(settingsPath);
  // A port that is no port number (0 or less, or above the highest) ends the run at once, as it
  // makes the service refuse to start; it is never cut to 16 bits.
  if (settings.port <= 0 || settings.port > kHighestPort) return;

  platform::NamedLock instanceLock;
  switch (instanceLock.Acquire(InstanceLockName(settings.base).c_str())) {
    case platform::NamedLock::Result::Acquired:
      break;
    case platform::NamedLock::Result::Failed:
      Say(Message::CreateMutexFailed);
      platform::ConsoleFlush();
      return;
    case platform::NamedLock::Result::AlreadyHeld:
      Say(Message::AlreadyRunning);
      platform::ConsoleFlush();
      return;
  }
  agent.checkFileTime = settings.checkFileTime;
  agent.deleteFile = settings.deleteFile;
  agent.rateLimit = static_cast<std::uint64_t>(settings.rateKib) * kKibibyte;
  ClientTls tls;
  if (settings.tls && !StartTls(settings, agent, tls)) {
    platform::ConsoleFlush();
    return;
  }
  if (!agent.Startup()) {
    Say(Message::NetStartupFailed);
    platform::ConsoleFlush();
    return;
  }

  const int total = RunTries(agent, settings);
  Say(Message::TotalFetched, total);
  agent.Cleanup();
  instanceLock.Release();
  platform::ConsoleFlush();
}

}  // namespace quarv::agent
