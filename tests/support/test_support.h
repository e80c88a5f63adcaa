// Helpers shared by the test suites: temporary directories, free loopback ports, files with
// given content and time, and child processes with captured output.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/file_time.h"

namespace quarv::test {

// A fresh directory under the system's temporary directory, removed with its content when the
// object is destroyed.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

// True in the Windows build, for the few expectations that differ by design (e.g. the console's
// bytes); a test keeps to the platform layer's own answers where it can.
bool IsWindows();

// A TCP port on 127.0.0.1 that was free a moment ago (bound to port 0, read back, released).
std::uint16_t FreeLoopbackPort();

// Whole-file helpers.
void WriteFile(const std::filesystem::path& path, const std::string& content);
std::string ReadFile(const std::filesystem::path& path);
// Random bytes from a fixed seed, so that failures repeat.
std::string PatternBytes(std::size_t size, std::uint32_t seed = 1);

// Last-write time of a path as a FILETIME, and setting it.
platform::FileTime GetFileTime(const std::filesystem::path& path);
void SetFileTime(const std::filesystem::path& path, platform::FileTime time);

// Copies an executable built by this project (its full path, e.g. from a compile definition)
// into `dir`, keeping it executable. Returns the copy's path.
std::filesystem::path CopyExecutable(const std::filesystem::path& executable,
                                     const std::filesystem::path& dir);

// A child process started with a working directory, its standard output and standard error
// captured to files. Destroying a running child kills it (SIGKILL) and reaps it.
// On Windows there are no signals: Signal and Kill end the process at once (TerminateProcess)
// with the exit code a POSIX process killed by that signal shows, 128 + the signal number.
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts `argv[0]` with the arguments; false when it could not be started.
  bool Start(const std::vector<std::string>& argv, const std::filesystem::path& workDir);
  // Waits up to `timeout` for the end. True when it ended; `exitCode` gets its exit status
  // (128 + signal number when a signal ended it).
  bool Wait(std::chrono::milliseconds timeout, int* exitCode = nullptr);
  void Signal(int signalNumber);
  void Kill();  // SIGKILL and reap
  bool Running();
  int pid() const { return pid_; }
  // Everything the child has written to standard output / standard error so far.
  std::string Stdout() const;
  std::string Stderr() const;

 private:
  int pid_ = -1;
  std::intptr_t process_ = 0;  // Windows: the process handle
  bool reaped_ = false;
  int status_ = 0;
  std::filesystem::path outPath_;
  std::filesystem::path errPath_;
};

// Runs a program to its end (at most `timeout`), returning its standard output; the exit status
// goes to `exitCode` (-1 when it had to be killed).
std::string RunToEnd(const std::vector<std::string>& argv, const std::filesystem::path& workDir,
                     std::chrono::milliseconds timeout, int* exitCode = nullptr);

// A plain loopback client for driving a server by hand in tests: raw sends and reads with a
// time limit, so that a test never hangs.
class RawClient {
 public:
  RawClient() = default;
  ~RawClient();
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool Connect(std::uint16_t port, const char* host = "127.0.0.1");
  bool Send(const std::string& bytes);
  // Reads up to and including the next LF (CR LF kept), or "" on close/time-out.
  std::string ReadLine(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Reads exactly `count` bytes, or what arrived before close/time-out.
  std::string ReadBytes(std::size_t count,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Reads until the peer closes (or the time-out); everything that arrived.
  std::string ReadAll(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // True when the peer has closed the connection within `timeout` (pending data is drained).
  bool WaitClosed(std::chrono::milliseconds timeout);
  // Logs in: HELO, reads the challenge, ENTER with the token; true on "200 Welcome.".
  bool Login(const std::string& password);
  void Close();

 private:
  int fd_ = -1;
  std::string pending_;
};

}  // namespace quarv::test
