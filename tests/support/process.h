// Child processes of the tests (POSIX): a program started in a working directory with its
// standard output and standard error captured to files, optionally with a changed environment
// and a file-size limit; and the descriptor and thread counts of a running process.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quarv::test {

struct LaunchOptions {
  // Variables set (a value) or removed (no value) in the child's environment. NOTIFY_SOCKET is
  // removed unless it is set here, so that no child reports to a systemd that runs the tests.
  std::vector<std::pair<std::string, std::optional<std::string>>> environment;
  // RLIMIT_FSIZE of the child: a write beyond this many bytes of a file fails.
  std::optional<std::uint64_t> fileSizeLimit;
  // Whether the child ignores SIGXFSZ (the write then fails with EFBIG) or is killed by it.
  bool fileSizeSignalIgnored = true;
};

// Destroying a running child kills (SIGKILL) and reaps it.
class Process {
 public:
  Process() = default;
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Starts `argv[0]` (a path) with the arguments; false when it could not be started.
  bool Start(const std::vector<std::string>& argv, const std::filesystem::path& workDir,
             const LaunchOptions& options = {});
  // Waits up to `timeout` for the end. True when it ended; `exitCode` gets its exit status, or
  // 128 + the number of the signal that ended it.
  bool Wait(std::chrono::milliseconds timeout, int* exitCode = nullptr);
  void Signal(int signalNumber);
  void Kill();  // SIGKILL and reap
  bool Running();
  int pid() const { return pid_; }
  // Everything the child has written to standard output / standard error so far.
  std::string Stdout() const;
  std::string Stderr() const;
  // Waits until standard error holds `text` (at most ten seconds).
  bool StderrShows(const std::string& text) const;

 private:
  void RemoveOutput();

  int pid_ = -1;
  bool reaped_ = true;
  int status_ = 0;
  std::filesystem::path outPath_;
  std::filesystem::path errPath_;
};

// Runs a program to its end (at most `timeout`), returning its standard output; the exit status
// goes to `exitCode` (-1 when it had to be killed).
std::string RunToEnd(const std::vector<std::string>& argv, const std::filesystem::path& workDir,
                     std::chrono::milliseconds timeout, int* exitCode = nullptr,
                     const LaunchOptions& options = {});

// The open descriptors and the threads of a running process.
struct ResourceCounts {
  std::size_t descriptors = 0;
  std::size_t threads = 0;
  bool operator==(const ResourceCounts&) const = default;
};
ResourceCounts CountsOf(int pid);
// The counts once they have stayed the same for a while (at most about five seconds).
ResourceCounts SteadyCounts(int pid);
// Waits (at most about ten seconds) until the counts are as `wanted` says; the last counts go
// to `last`.
bool WaitForCounts(int pid, const std::function<bool(const ResourceCounts&)>& wanted,
                   ResourceCounts* last = nullptr);

}  // namespace quarv::test
