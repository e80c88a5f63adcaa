// The real QuarvAgent program (POSIX): copied into a directory of its own beside its
// QuarvAgent.ini, fetching into a base directory there; and the environment its single-instance
// lock depends on.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>

#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace quarv::test {

// Far longer than any run of the agent in the tests takes: reaching it means the agent hung.
inline constexpr auto kAgentTimeout = std::chrono::seconds(120);

// Sets an environment variable (nullptr: unsets it) for the life of the object.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const char* value);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  const char* name_;
  std::string saved_;
  bool hadValue_ = false;
};

// What another local user can take first to keep a lock named `lockName` from this user: the
// directory /tmp/quarv-<uid> (made here and given to another owner, when it does not exist yet
// and this process may give it away) and the abstract socket name "<lockName>-<uid>". Undone
// when destroyed.
class SquattedLockPlaces {
 public:
  static constexpr uid_t kOtherUser = 65534;

  explicit SquattedLockPlaces(const std::string& lockName);
  ~SquattedLockPlaces();
  SquattedLockPlaces(const SquattedLockPlaces&) = delete;
  SquattedLockPlaces& operator=(const SquattedLockPlaces&) = delete;

  bool bound() const { return bound_; }

 private:
  std::string dir_;
  bool made_ = false;
  int socket_ = -1;
  bool bound_ = false;
};

// The agent's single-instance lock lives in the user's runtime directory: each test process that
// runs agents gives itself one of its own, so that test processes side by side do not see each
// other's agents as a second instance; agents started by one test still do.
class AgentProcess {
 public:
  AgentProcess();

  // The program as the build made it.
  static std::filesystem::path Executable();

  const std::filesystem::path& dir() const { return dir_.path(); }
  const std::filesystem::path& base() const { return base_; }

  // Writes QuarvAgent.ini: the [AGENT] section with the given lines.
  void WriteSettings(const std::string& lines) const;
  // Settings for a service on 127.0.0.1 at `port`, fetching into base(), and `more` lines.
  void WriteSettingsFor(std::uint16_t port, const std::string& password,
                        const std::string& more = "") const;

  // Runs the agent to its end; returns its console output. Its exit status must be 0.
  std::string Run() const;
  // The same with launch options; the exit status (-1: it hung and was killed) to `exitCode`.
  std::string Run(const LaunchOptions& options, int* exitCode) const;
  // Starts the agent without waiting for it.
  bool Start(Process* process, const LaunchOptions& options = {}) const;

 private:
  TempDir dir_;
  std::filesystem::path base_;
  std::filesystem::path exe_;
};

}  // namespace quarv::test
