// The real QuarvSvc program (POSIX): copied into a directory of its own beside its QuarvSvc.ini,
// serving a directory there on 127.0.0.1; and a stand-in for systemd's notification socket, to
// which the program reports its states.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace quarv::test {

// The served directory's name: long enough that a request line of at most 198 bytes can name
// a file whose base prefix plus name reaches the 245-byte limit.
inline constexpr char kBaseName[] = "served-directory-with-a-name-long-enough-for-the-limit";

// A unix datagram socket standing in for systemd's notification socket; a name that begins with
// '@' is an abstract one.
class NotifyListener {
 public:
  explicit NotifyListener(const std::filesystem::path& path);
  ~NotifyListener();
  NotifyListener(const NotifyListener&) = delete;
  NotifyListener& operator=(const NotifyListener&) = delete;

  bool bound() const { return bound_; }
  const std::string& name() const { return path_; }

  // The next message, or "" when none came in time.
  std::string Next(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Reads messages until one contains `text`; every message seen goes to `seen` when given.
  bool WaitFor(const std::string& text, std::vector<std::string>* seen = nullptr,
               std::chrono::milliseconds timeout = std::chrono::seconds(20));

 private:
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
};

class ServiceProcess {
 public:
  // The port is picked free now and kept for every start.
  explicit ServiceProcess(std::string password);
  ~ServiceProcess();
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  // The program as the build made it.
  static std::filesystem::path Executable();

  // The program's directory (its working directory, with QuarvSvc.ini).
  const std::filesystem::path& dir() const { return dir_.path(); }
  // The served directory, dir()/kBaseName.
  const std::filesystem::path& served() const { return served_; }
  std::uint16_t port() const { return port_; }
  int pid() const { return process_.pid(); }
  Process& process() { return process_; }

  // Writes QuarvSvc.ini with the given lines of its [SERVER] section.
  void WriteSettings(const std::string& lines) const;
  // Starts the program as its settings stand, reporting to `notify` when given; does not wait.
  bool Launch(const NotifyListener* notify = nullptr);
  // Writes the settings for served() on port() of `address` (a loopback address: 127.0.0.1 or
  // ::1) and starts the program, and waits until it serves. Also starts it again after Kill.
  bool Start(const std::string& address = "127.0.0.1");
  // The same with `moreLines` added to the settings (TLS=Yes, say), waiting until the log says
  // it serves: a plain probe would not log in to every service.
  bool StartWith(const std::string& moreLines);
  // The service dies at once, as in a crash.
  void Kill() { process_.Kill(); }
  // Sends the signal and waits for the end: its exit code, or -1 when it did not end.
  int Terminate(int signalNumber = SIGTERM);

 private:
  std::string password_;
  TempDir dir_;
  std::filesystem::path served_;
  std::filesystem::path exe_;
  std::uint16_t port_ = 0;
  Process process_;
};

}  // namespace quarv::test
