#include "tests/support/agent_process.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

#include "tests/support/settings_file.h"

namespace quarv::test {

namespace fs = std::filesystem;

namespace {

struct PrivateRuntimeDirectory {
  PrivateRuntimeDirectory() {
    // Only a directory that nobody else may write to serves for the lock, whatever the umask.
    fs::permissions(dir.path(), fs::perms::owner_all);
    ::setenv("XDG_RUNTIME_DIR", dir.str().c_str(), 1);
  }
  TempDir dir;
};
// Set up before any test runs, in every test program that runs agents.
const PrivateRuntimeDirectory gPrivateRuntimeDirectory;

}  // namespace

ScopedEnvironment::ScopedEnvironment(const char* name, const char* value) : name_(name) {
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

ScopedEnvironment::~ScopedEnvironment() {
  if (hadValue_) {
    ::setenv(name_, saved_.c_str(), 1);
  } else {
    ::unsetenv(name_);
  }
}

SquattedLockPlaces::SquattedLockPlaces(const std::string& lockName)
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

SquattedLockPlaces::~SquattedLockPlaces() {
  ::close(socket_);
  if (made_) ::rmdir(dir_.c_str());
}

AgentProcess::AgentProcess()
    : base_(dir_.path() / "base"), exe_(CopyExecutable(Executable(), dir_.path())) {
  fs::create_directory(base_);
}

fs::path AgentProcess::Executable() {
  return QUARV_AGENT_EXE;
}

void AgentProcess::WriteSettings(const std::string& lines) const {
  WriteAgentSettings(dir(), lines);
}

void AgentProcess::WriteSettingsFor(std::uint16_t port, const std::string& password,
                                    const std::string& more) const {
  WriteSettings(AgentSettings(port, password, base_) + more);
}

std::string AgentProcess::Run() const {
  int exitCode = -1;
  std::string out = Run({}, &exitCode);
  EXPECT_EQ(exitCode, 0) << out;
  return out;
}

std::string AgentProcess::Run(const LaunchOptions& options, int* exitCode) const {
  return RunToEnd({exe_.string()}, dir(), kAgentTimeout, exitCode, options);
}

bool AgentProcess::Start(Process* process, const LaunchOptions& options) const {
  return process->Start({exe_.string()}, dir(), options);
}

}  // namespace quarv::test
