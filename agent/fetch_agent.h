// FetchAgent: the agent object of one run. A pass (RunPass, agent_pass.h) connects to the file
// service, logs in, lists, fetches every pending file (FetchFile, file_fetch.h), deletes it on
// the service when configured (DeleteOnServer, server_deletes.h) and says goodbye; the run
// (agent_run.h) repeats passes.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "agent/client_tls.h"
#include "agent/file_fetch.h"
#include "agent/rate_limit.h"
#include "common/connection.h"
#include "platform/tls.h"

namespace quarv::agent {

// Local paths, names and the base prefix fit in this many bytes with their terminator.
inline constexpr std::size_t kPathCapacity = 260;
inline constexpr std::size_t kMaxNameLength = kPathCapacity - 1;
// Longest base prefix plus name that may still count as present locally.
inline constexpr std::size_t kPresentPathLimit = 244;
// Longest base prefix plus name that is fetched (room for the "_incomplete_" prefix).
inline constexpr std::size_t kFetchPathLimit = 236;
// Size of the buffer SizeText writes into.
inline constexpr std::size_t kSizeTextCapacity = 32;

// A connection on which the service sends nothing for this long counts as lost: the pass ends
// (the partial file kept for a resume) and the run tries again, instead of waiting for ever on a
// stalled service.
inline constexpr std::chrono::minutes kIdleTimeout{5};

// True when the base prefix `localBase` plus `name` is at most `limit` bytes (false without a
// prefix: then no local path is formed at all).
bool LocalPathFits(const std::string& localBase, const char* name, std::size_t limit);

// The agent object: its settings and its one connection live for the whole run; each pass forms
// localBase anew. Single-threaded: the agent's one thread makes every call.
class FetchAgent {
 public:
  FetchAgent() = default;
  FetchAgent(const FetchAgent&) = delete;
  FetchAgent& operator=(const FetchAgent&) = delete;

  // Starts the socket library (version 1.1) for the run; false when it does not start.
  bool Startup();
  void Cleanup();

  // One pass to `port`, 1 to 65535. Returns -1 when the connection was not opened, else the
  // number of files fetched and put in place. `*notFetched` is -1 until the whole list has been
  // read, then the number of listed files counted as not fetched.
  int RunPass(const char* host, int port, const char* password, const char* base, int* notFetched);
  // Whether the list of the last pass held more pending files than its table took: the run
  // then goes on with another pass.
  bool ListWasCut() const { return namesBeyondTable_ != 0; }

  // The whole GET exchange for one pending file, as `plan` says, its body paced by the pass's
  // rate limit; each counted failure adds one to `*notFetched`.
  FetchOutcome FetchFile(const char* name, int* notFetched, const FetchPlan& plan = {});
  // Sends the DELE of `name`, queued behind the requests sent before it; its reply is read where
  // it stands among the replies (ServerDeletes).
  void DeleteOnServer(const char* name);
  // Whether a listed file counts as already present in the local base.
  bool IsPresentLocally(const char* name, std::uint32_t lastWriteLow, std::uint32_t lastWriteHigh);

  // The status code of a reply line (its first three characters as a number).
  static int ReplyCode(const char* line);
  // True for codes 200 to 299.
  static bool IsAccepted(const char* line);
  // The approximate size ("%uB", "%uKB", ... "%uTB") written into `buffer`, which is returned.
  static const char* SizeText(char* buffer, std::size_t size, std::uint32_t low,
                              std::uint32_t high);
  // A name that stays inside the base directory as one entry of it: not empty, not "." or "..",
  // no path separator ('/' or '\\', on every platform), no control character; nor a name that
  // begins with the partial-file prefix (in any case), which would be taken for the partial file
  // of another name.
  static bool IsSafeLocalName(const char* name);
  // Whether the GET line of `name` fits the service's line limit.
  static bool RequestFits(const char* name);
  // Whether `name` is ever asked for: a safe name whose GET line fits.
  static bool IsAskedFor(const char* name);

  bool checkFileTime = true;
  bool deleteFile = false;
  // The most bytes per second of the bodies a pass receives (RATE=); 0: no limit. Every pass
  // starts a budget of its own, which its files share.
  std::uint64_t rateLimit = 0;
  // How long a receive of the pass may wait for a byte before the connection counts as lost.
  std::chrono::milliseconds idleTimeout = kIdleTimeout;
  Connection connection;
  // The local base directory as it prefixes every local path; rebuilt by every pass. Empty
  // when the BASE setting does not fit: then no local path is formed at all.
  std::string localBase;
  // With TLS: the session settings every pass connects with (owned by the run, which outlives
  // the agent's passes), and the fingerprint the service's certificate must have, in
  // platform::Sha256Fingerprint's form. None: the passes are plain.
  ClientTls* tls = nullptr;
  std::string pinnedFingerprint;

 private:
  // Files of the last list that would have been pending beyond the pass's table.
  int namesBeyondTable_ = 0;
  // The pacing of the current pass's bodies, made from rateLimit by RunPass.
  RateLimit pace_;
};

}  // namespace quarv::agent
