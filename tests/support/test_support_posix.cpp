// The POSIX side of the test helpers: fork/exec children, stat/utimensat times, BSD sockets.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "tests/support/test_support.h"
#include "tests/support/test_support_os.h"

namespace quarv::test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace os {

std::string ProcessIdText() {
  return std::to_string(::getpid());
}

ReceiveResult ReceiveSome(int socket, std::string* pending, Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  if (left.count() <= 0) return ReceiveResult::TimedOut;
  pollfd waiter{socket, POLLIN, 0};
  if (::poll(&waiter, 1, static_cast<int>(left.count())) <= 0) return ReceiveResult::TimedOut;
  char chunk[65536];
  const ssize_t got = ::recv(socket, chunk, sizeof chunk, 0);
  if (got <= 0) return ReceiveResult::Closed;
  pending->append(chunk, static_cast<std::size_t>(got));
  return ReceiveResult::Data;
}

}  // namespace os

bool IsWindows() {
  return false;
}

std::uint16_t FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

platform::FileTime GetFileTime(const fs::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return 0;
  return static_cast<platform::FileTime>(
      (static_cast<std::int64_t>(info.st_mtim.tv_sec) + platform::kFileTimeEpochOffsetSeconds) *
          platform::kFileTimeUnitsPerSecond +
      info.st_mtim.tv_nsec / 100);
}

void SetFileTime(const fs::path& path, platform::FileTime time) {
  const auto units = static_cast<std::int64_t>(time);
  struct timespec times[2];
  times[0].tv_sec = static_cast<time_t>(units / platform::kFileTimeUnitsPerSecond -
                                        platform::kFileTimeEpochOffsetSeconds);
  times[0].tv_nsec = static_cast<long>((units % platform::kFileTimeUnitsPerSecond) * 100);
  times[1] = times[0];
  ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !reaped_) Kill();
  std::error_code error;
  if (!outPath_.empty()) fs::remove(outPath_, error);
  if (!errPath_.empty()) fs::remove(errPath_, error);
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const fs::path& workDir) {
  static std::atomic<int> counter{0};
  const std::string stem =
      (fs::temp_directory_path() /
       ("quarv-child-" + std::to_string(::getpid()) + "-" + std::to_string(counter++)))
          .string();
  outPath_ = stem + ".out";
  errPath_ = stem + ".err";
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    const int out = ::open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int in = ::open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0 || ::chdir(workDir.c_str()) != 0) _exit(126);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    // Signals blocked or ignored by the test runner must not leak into the child.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    ::execv(args[0], args.data());
    _exit(127);
  }
  pid_ = pid;
  reaped_ = false;
  return true;
}

bool ChildProcess::Wait(std::chrono::milliseconds timeout, int* exitCode) {
  if (pid_ <= 0) return false;
  const auto deadline = Clock::now() + timeout;
  while (!reaped_) {
    const pid_t done = ::waitpid(pid_, &status_, WNOHANG);
    if (done == pid_) {
      reaped_ = true;
      break;
    }
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (exitCode != nullptr) {
    *exitCode = WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
  }
  return true;
}

void ChildProcess::Signal(int signalNumber) {
  if (pid_ > 0 && !reaped_) ::kill(pid_, signalNumber);
}

void ChildProcess::Kill() {
  if (pid_ <= 0 || reaped_) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, &status_, 0);
  reaped_ = true;
}

bool ChildProcess::Running() {
  return pid_ > 0 && !Wait(std::chrono::milliseconds(0));
}

bool RawClient::Connect(std::uint16_t port, const char* host) {
  Close();
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  ::inet_pton(AF_INET, host, &address.sin_addr);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    Close();
    return false;
  }
  return true;
}

bool RawClient::Send(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t sent = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    done += static_cast<std::size_t>(sent);
  }
  return true;
}

void RawClient::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  pending_.clear();
}

}  // namespace quarv::test
