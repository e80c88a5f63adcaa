// Child processes through fork and execve; counts from /proc.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "tests/support/process.h"
#include "tests/support/test_support.h"

extern char** environ;

namespace quarv::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// The child's environment: this process's, as `options` change it.
std::vector<std::string> ChildEnvironment(const LaunchOptions& options) {
  auto changes = options.environment;
  const bool notifyGiven = std::any_of(changes.begin(), changes.end(), [](const auto& change) {
    return change.first == "NOTIFY_SOCKET";
  });
  if (!notifyGiven) changes.emplace_back("NOTIFY_SOCKET", std::nullopt);
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string variable = *entry;
    const std::string name = variable.substr(0, variable.find('='));
    const bool changed = std::any_of(changes.begin(), changes.end(),
                                     [&](const auto& change) { return change.first == name; });
    if (!changed) result.push_back(variable);
  }
  for (const auto& [name, value] : changes) {
    if (value) result.push_back(name + "=" + *value);
  }
  return result;
}

std::size_t Entries(const fs::path& dir) {
  std::error_code error;
  return static_cast<std::size_t>(
      std::distance(fs::directory_iterator(dir, error), fs::directory_iterator()));
}

}  // namespace

Process::~Process() {
  Kill();
  RemoveOutput();
}

void Process::RemoveOutput() {
  std::error_code error;
  if (!outPath_.empty()) fs::remove(outPath_, error);
  if (!errPath_.empty()) fs::remove(errPath_, error);
}

bool Process::Start(const std::vector<std::string>& argv, const fs::path& workDir,
                    const LaunchOptions& options) {
  if (argv.empty() || Running()) return false;
  RemoveOutput();
  static std::atomic<int> counter{0};
  const std::string stem =
      (fs::temp_directory_path() /
       ("quarv-child-" + std::to_string(::getpid()) + "-" + std::to_string(counter++)))
          .string();
  outPath_ = stem + ".out";
  errPath_ = stem + ".err";
  // Everything the child needs is prepared before the fork: after it only async-signal-safe
  // calls run in the child.
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const std::vector<std::string> environment = ChildEnvironment(options);
  std::vector<char*> envp;
  envp.reserve(environment.size() + 1);
  for (const auto& variable : environment) envp.push_back(const_cast<char*>(variable.c_str()));
  envp.push_back(nullptr);
  const std::string dir = workDir.string();
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    // The child dies with the test (killed, aborted, timed out), never running on without it.
    // The signal comes when the thread that forked ends: tests start children on their main
    // thread. A parent gone before the call is seen by the new parent's pid.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) _exit(124);
    const int out = ::open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int in = ::open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0 || ::chdir(dir.c_str()) != 0) _exit(126);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    // Signals blocked or ignored by the test runner must not leak into the child.
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
    ::execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  pid_ = pid;
  reaped_ = false;
  status_ = 0;
  return true;
}

bool Process::Wait(std::chrono::milliseconds timeout, int* exitCode) {
  if (pid_ <= 0) return false;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!reaped_) {
    int raw = 0;
    if (::waitpid(pid_, &raw, WNOHANG) == pid_) {
      reaped_ = true;
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  if (exitCode != nullptr) *exitCode = status_;
  return true;
}

void Process::Signal(int signalNumber) {
  if (pid_ > 0 && !reaped_) ::kill(pid_, signalNumber);
}

void Process::Kill() {
  if (pid_ <= 0 || reaped_) return;
  ::kill(pid_, SIGKILL);
  int raw = 0;
  ::waitpid(pid_, &raw, 0);
  reaped_ = true;
  status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

bool Process::Running() {
  return pid_ > 0 && !reaped_ && !Wait(0ms);
}

std::string Process::Stdout() const {
  return outPath_.empty() ? std::string() : ReadFile(outPath_);
}

std::string Process::Stderr() const {
  return errPath_.empty() ? std::string() : ReadFile(errPath_);
}

bool Process::StderrShows(const std::string& text) const {
  for (int i = 0; i < 400; ++i) {
    if (Stderr().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return false;
}

std::string RunToEnd(const std::vector<std::string>& argv, const fs::path& workDir,
                     std::chrono::milliseconds timeout, int* exitCode,
                     const LaunchOptions& options) {
  Process child;
  int code = -1;
  if (child.Start(argv, workDir, options) && !child.Wait(timeout, &code)) {
    child.Kill();
    code = -1;
  }
  if (exitCode != nullptr) *exitCode = code;
  return child.Stdout();
}

ResourceCounts CountsOf(int pid) {
  const fs::path proc = fs::path("/proc") / std::to_string(pid);
  return {Entries(proc / "fd"), Entries(proc / "task")};
}

ResourceCounts SteadyCounts(int pid) {
  ResourceCounts counts;
  for (int wait = 0, steady = 0; wait < 500 && steady < 10; ++wait) {
    const ResourceCounts now = CountsOf(pid);
    steady = now == counts ? steady + 1 : 0;
    counts = now;
    std::this_thread::sleep_for(10ms);
  }
  return counts;
}

bool WaitForCounts(int pid, const std::function<bool(const ResourceCounts&)>& wanted,
                   ResourceCounts* last) {
  for (int wait = 0; wait < 1000; ++wait) {
    const ResourceCounts now = CountsOf(pid);
    if (last != nullptr) *last = now;
    if (wanted(now)) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

}  // namespace quarv::test
