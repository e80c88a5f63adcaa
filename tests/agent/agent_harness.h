// Running the real QuarvAgent in a temporary directory beside its settings file.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "tests/support/test_support.h"

namespace quarv::test {

namespace fs = std::filesystem;

// The agent's single-instance lock lives in the user's runtime directory. Each test process
// gets one of its own, so that test processes running side by side do not see each other's
// agents as a second instance; agents started by one test still do.
struct PrivateRuntimeDirectory {
  PrivateRuntimeDirectory() { ::setenv("XDG_RUNTIME_DIR", dir.str().c_str(), 1); }
  TempDir dir;
};
inline PrivateRuntimeDirectory gPrivateRuntimeDirectory;

inline constexpr auto kAgentTimeout = std::chrono::seconds(60);

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
