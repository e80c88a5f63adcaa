// The real programs, for the tests that run them end to end or attack them: a launcher that can
// start a child with a file-size limit (set in the child before exec) and collects its console
// output through a pipe, and the QuarvSvc service in a directory of its own that can be killed
// and started again on its port. POSIX only.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_support.h"

namespace quarv::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The agent's single-instance lock lives in the user's runtime directory: one of its own for
// this test process, so that test processes side by side do not see each other's agents.
struct ProgramsRuntimeDirectory {
  ProgramsRuntimeDirectory() {
    // Only a directory that nobody else may write to serves for the lock, whatever the umask.
    std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_all);
    ::setenv("XDG_RUNTIME_DIR", dir.str().c_str(), 1);
  }
  TempDir dir;
};
inline ProgramsRuntimeDirectory gProgramsRuntimeDirectory;

struct LaunchOptions {
  // RLIMIT_FSIZE of the child: a write beyond this many bytes of a file fails.
  std::optional<rlim_t> fileSizeLimit;
  // Whether the child ignores SIGXFSZ (the write then fails with EFBIG) or is killed by it.
  bool fileSizeSignalIgnored = true;
};

// A child process with its standard output and error in one pipe. Destroying a running child
// kills and reaps it.
class Program {
 public:
  Program() = default;
  ~Program() { Kill(); }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  bool Start(const std::vector<std::string>& argv, const fs::path& workDir,
             const LaunchOptions& options = {}) {
    Kill();
    output_.clear();
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) return false;
    // Everything the child needs is prepared before the fork: after it only async-signal-safe
    // calls run in the child.
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const std::string dir = workDir.string();
    const pid_t pid = ::fork();
    if (pid < 0) {
      ::close(pipeEnds[0]);
      ::close(pipeEnds[1]);
      return false;
    }
    if (pid == 0) {
      const int in = ::open("/dev/null", O_RDONLY);
      if (in < 0 || ::chdir(dir.c_str()) != 0) _exit(126);
      ::dup2(in, 0);
      ::dup2(pipeEnds[1], 1);
      ::dup2(pipeEnds[1], 2);
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      ::signal(SIGPIPE, SIG_DFL);
      const rlimit noCore{0, 0};
      ::setrlimit(RLIMIT_CORE, &noCore);
      if (options.fileSizeLimit) {
        const rlimit limit{*options.fileSizeLimit, *options.fileSizeLimit};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(125);
      }
      ::signal(SIGXFSZ, options.fileSizeSignalIgnored ? SIG_IGN : SIG_DFL);
      ::execv(args[0], args.data());
      _exit(127);
    }
    ::close(pipeEnds[1]);
    out_ = pipeEnds[0];
    pid_ = pid;
    reaped_ = false;
    return true;
  }

  // Waits up to `timeout` for the end, reading the output meanwhile. True when it ended;
  // `status` gets the exit code, or 128 + the signal that ended it.
  bool Wait(std::chrono::milliseconds timeout, int* status = nullptr) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!reaped_) {
      Drain(5ms);
      int raw = 0;
      if (::waitpid(pid_, &raw, WNOHANG) == pid_) {
        reaped_ = true;
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        break;
      }
      if (std::chrono::steady_clock::now() >= deadline) return false;
    }
    // The rest of the output (a grandchild never holds the pipe: it is close-on-exec).
    for (int round = 0; round < 1000 && out_ >= 0; ++round) Drain(10ms);
    if (status != nullptr) *status = status_;
    return true;
  }

  void Signal(int signalNumber) {
    if (pid_ > 0 && !reaped_) ::kill(pid_, signalNumber);
  }
  // SIGKILL and reap.
  void Kill() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      Wait(60s);
    }
    if (out_ >= 0) ::close(out_);
    out_ = -1;
  }
  bool Running() { return pid_ > 0 && !reaped_ && !Wait(0ms); }
  pid_t pid() const { return pid_; }
  const std::string& output() const { return output_; }

 private:
  // Reads what the pipe holds, waiting at most `wait` for the first byte.
  void Drain(std::chrono::milliseconds wait) {
    if (out_ < 0) return;
    pollfd waiter{out_, POLLIN, 0};
    if (::poll(&waiter, 1, static_cast<int>(wait.count())) <= 0) return;
    char chunk[65536];
    const ssize_t got = ::read(out_, chunk, sizeof chunk);
    if (got > 0) {
      output_.append(chunk, static_cast<std::size_t>(got));
    } else {
      ::close(out_);
      out_ = -1;
    }
  }

  pid_t pid_ = -1;
  bool reaped_ = true;
  int status_ = 0;
  int out_ = -1;
  std::string output_;
};

// QuarvSvc copied into a directory of its own, serving served() on 127.0.0.1 at port().
class ServiceProcess {
 public:
  explicit ServiceProcess(const std::string& password) : password_(password) {
    served_ = dir_.path() / "served";
    fs::create_directory(served_);
  }
  ~ServiceProcess() { Stop(); }

  static bool Available() {
#ifdef QUARV_SVC_EXE
    return true;
#else
    return false;
#endif
  }

  const fs::path& served() const {
    return served_;
  }
  std::uint16_t port() const {
    return port_;
  }
  pid_t pid() const {
    return program_.pid();
  }

  // Starts the service (on a free port the first time, on the same port afterwards) and waits
  // until it accepts connections.
  bool Start() {
#ifdef QUARV_SVC_EXE
    if (exe_.empty()) exe_ = CopyExecutable(QUARV_SVC_EXE, dir_.path());
    if (port_ == 0) port_ = FreeLoopbackPort();
    WriteFile(dir_.path() / "QuarvSvc.ini",
              "[SERVER]\nADDRESS=127.0.0.1\nPORT=" + std::to_string(port_) +
                  "\nBASE=" + served_.string() + "\nPASSWORD=" + password_ + "\n");
    // Its log goes to a file: a pipe that only Wait drains would fill up and stall it.
    if (!program_.Start({"/bin/sh", "-c", "exec /usr/bin/env -u NOTIFY_SOCKET \"$0\" 2>>\"$1\"",
                         exe_.string(), (dir_.path() / "service.log").string()},
                        dir_.path())) {
      return false;
    }
    for (int attempt = 0; attempt < 1000; ++attempt) {
      RawClient probe;
      if (probe.Connect(port_)) {
        // The probe's session says goodbye and is waited out: the service gives back its place
        // before it closes, so a test that starts now finds every place free.
        return probe.Send("QUIT\r\n") && probe.ReadAll(10s) == "200 GoodBye.\r\n";
      }
      if (!program_.Running()) return false;
      std::this_thread::sleep_for(10ms);
    }
#endif
    return false;
  }
  // The service dies at once, as in a crash.
  void Kill() {
    program_.Kill();
  }
  // SIGTERM; true when it ended with 0.
  bool Stop() {
    if (!program_.Running()) return true;
    program_.Signal(SIGTERM);
    int status = -1;
    if (!program_.Wait(20s, &status)) {
      program_.Kill();
      return false;
    }
    return status == 0;
  }

 private:
  std::string password_;
  TempDir dir_;
  fs::path served_;
  fs::path exe_;
  std::uint16_t port_ = 0;
  Program program_;
};

}  // namespace quarv::test
