// Running the real QuarvAgent in a temporary directory beside its settings file.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <string>

#include "tests/support/test_support.h"

namespace quarv::test {

namespace fs = std::filesystem;

// The agent's single-instance lock lives in the user's runtime directory. Each test process
// gets one of its own, so that test processes running side by side do not see each other's
// agents as a second instance; agents started by one test still do.
struct PrivateRuntimeDirectory {
  PrivateRuntimeDirectory() {
    // Only a directory that nobody else may write to serves for the lock, whatever the umask.
    std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_all);
    ::setenv("XDG_RUNTIME_DIR", dir.str().c_str(), 1);
  }
  TempDir dir;
};
inline PrivateRuntimeDirectory gPrivateRuntimeDirectory;

inline constexpr auto kAgentTimeout = std::chrono::seconds(60);

// Sets an environment variable (nullptr: unsets it) for the life of the object.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) {
      saved_ = old;
      hadValue_ = true;
    }
    if (value == nullptr) {
      ::unsetenv(name);
    } else {
      ::setenv(name, value, 1);
    }
  }
  ~ScopedEnvironment() {
    if (hadValue_) {
      ::setenv(name_, saved_.c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
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

  explicit SquattedLockPlaces(const std::string& lockName)
      : dir_("/tmp/quarv-" + std::to_string(::getuid())) {
    struct stat st {};
    if (::geteuid() == 0 && ::lstat(dir_.c_str(), &st) != 0 && ::mkdir(dir_.c_str(), 0777) == 0) {
      made_ = true;
      EXPECT_EQ(::chown(dir_.c_str(), kOtherUser, kOtherUser), 0);
    }
    socket_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string text = lockName + "-" + std::to_string(::getuid());
    std::memcpy(address.sun_path + 1, text.data(), text.size());
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + text.size());
    bound_ = ::bind(socket_, reinterpret_cast<const sockaddr*>(&address), size) == 0;
  }
  ~SquattedLockPlaces() {
    ::close(socket_);
    if (made_) ::rmdir(dir_.c_str());
  }
  SquattedLockPlaces(const SquattedLockPlaces&) = delete;
  SquattedLockPlaces& operator=(const SquattedLockPlaces&) = delete;

  bool bound() const { return bound_; }

 private:
  std::string dir_;
  bool made_ = false;
  int socket_ = -1;
  bool bound_ = false;
};

// The agent's program copied into a directory of its own, with a base directory beside it.
class AgentSetup {
 public:
  AgentSetup() {
    base_ = dir_.path() / "base";
    fs::create_directory(base_);
#ifdef QUARV_AGENT_EXE
    exe_ = CopyExecutable(QUARV_AGENT_EXE, dir_.path());
#endif
  }

  static bool Available() {
#ifdef QUARV_AGENT_EXE
    return true;
#else
    return false;
#endif
  }

  const fs::path& base() const {
    return base_;
  }
  const fs::path& dir() const {
    return dir_.path();
  }
  const fs::path& exe() const {
    return exe_;
  }

  // Writes QuarvAgent.ini: the [AGENT] section with the given lines.
  void WriteSettings(const std::string& lines) const {
    WriteFile(dir_.path() / "QuarvAgent.ini", "[AGENT]\n" + lines);
  }
  // Settings for a service on 127.0.0.1 at `port`, fetching into base().
  void WriteSettingsFor(std::uint16_t port, const std::string& password,
                        const std::string& more = "") const {
    WriteSettings("HOST=127.0.0.1\nPORT=" + std::to_string(port) + "\nPASSWORD=" + password +
                  "\nBASE=" + base_.string() + "\n" + more);
  }

  // Runs the agent to its end; returns its console output. Its exit status must be 0.
  std::string Run() const {
    int exitCode = -1;
    std::string out = RunToEnd({exe_.string()}, dir_.path(), kAgentTimeout, &exitCode);
    EXPECT_EQ(exitCode, 0) << out;
    return out;
  }

 private:
  TempDir dir_;
  fs::path base_;
  fs::path exe_;
};

// The number of times `needle` occurs in `text`.
inline int Count(const std::string& text, const std::string& needle) {
  int count = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

inline bool Contains(const std::string& text, const std::string& needle) {
  return text.find(needle) != std::string::npos;
}

}  // namespace quarv::test
