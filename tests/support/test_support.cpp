#include "tests/support/test_support.h"

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
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "common/md5.h"

namespace quarv::test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  const fs::path base = fs::temp_directory_path();
  for (int attempt = 0; attempt < 1000; ++attempt) {
    fs::path candidate = base / ("quarv-test-" + std::to_string(::getpid()) + "-" +
                                 std::to_string(counter.fetch_add(1)));
    std::error_code error;
    if (fs::create_directory(candidate, error)) {
      path_ = candidate;
      return;
    }
  }
  std::abort();
}

TempDir::~TempDir() {
  std::error_code error;
  // Read-only files and directories are made writable first, so that removal succeeds.
  for (auto it = fs::recursive_directory_iterator(path_, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
  }
  fs::remove_all(path_, error);
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

void WriteFile(const fs::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::string PatternBytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (auto& byte : bytes) byte = static_cast<char>(generator() & 0xFF);
  return bytes;
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

fs::path CopyExecutable(const fs::path& executable, const fs::path& dir) {
  const fs::path target = dir / executable.filename();
  fs::copy_file(executable, target, fs::copy_options::overwrite_existing);
  fs::permissions(target, fs::perms::owner_all, fs::perm_options::add);
  return target;
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !reaped_) Kill();
  std::error_code error;
  if (!outPath_.empty()) fs::remove(outPath_, error);
  if (!errPath_.empty()) fs::remove(errPath_, error);
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const fs::path& workDir) {
  static std::atomic<int> counter{0};
  const std::string stem = (fs::temp_directory_path() / ("quarv-child-" + std::to_string(::getpid()) +
                                                         "-" + std::to_string(counter++)))
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

bool ChildProcess::Running() { return pid_ > 0 && !Wait(std::chrono::milliseconds(0)); }

std::string ChildProcess::Stdout() const { return ReadFile(outPath_); }
std::string ChildProcess::Stderr() const { return ReadFile(errPath_); }

std::string RunToEnd(const std::vector<std::string>& argv, const fs::path& workDir,
                     std::chrono::milliseconds timeout, int* exitCode) {
  ChildProcess child;
  if (!child.Start(argv, workDir)) {
    if (exitCode != nullptr) *exitCode = -1;
    return {};
  }
  int code = -1;
  if (!child.Wait(timeout, &code)) {
    child.Kill();
    code = -1;
  }
  if (exitCode != nullptr) *exitCode = code;
  return child.Stdout();
}

RawClient::~RawClient() { Close(); }

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

namespace {
// Waits for data on fd until the deadline; appends what arrives to `pending`. False on close,
// error or time-out.
bool ReceiveMore(int fd, std::string* pending, Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  if (left.count() <= 0 || fd < 0) return false;
  pollfd waiter{fd, POLLIN, 0};
  if (::poll(&waiter, 1, static_cast<int>(left.count())) <= 0) return false;
  char chunk[65536];
  const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
  if (got <= 0) return false;
  pending->append(chunk, static_cast<std::size_t>(got));
  return true;
}
}  // namespace

std::string RawClient::ReadLine(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const auto end = pending_.find('\n');
    if (end != std::string::npos) {
      std::string line = pending_.substr(0, end + 1);
      pending_.erase(0, end + 1);
      return line;
    }
    if (!ReceiveMore(fd_, &pending_, deadline)) return {};
  }
}

std::string RawClient::ReadBytes(std::size_t count, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (pending_.size() < count && ReceiveMore(fd_, &pending_, deadline)) {
  }
  std::string bytes = pending_.substr(0, count);
  pending_.erase(0, bytes.size());
  return bytes;
}

std::string RawClient::ReadAll(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (ReceiveMore(fd_, &pending_, deadline)) {
  }
  std::string bytes;
  bytes.swap(pending_);
  return bytes;
}

bool RawClient::WaitClosed(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || fd_ < 0) return fd_ < 0;
    pollfd waiter{fd_, POLLIN, 0};
    if (::poll(&waiter, 1, static_cast<int>(left.count())) <= 0) return false;
    char chunk[4096];
    const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
    if (got <= 0) return true;
    pending_.append(chunk, static_cast<std::size_t>(got));
  }
}

bool RawClient::Login(const std::string& password) {
  if (!Send("HELO\r\n")) return false;
  const std::string reply = ReadLine();
  if (reply.size() < 6 || reply.compare(0, 4, "200 ") != 0) return false;
  const std::string challenge = reply.substr(4, reply.size() - 6);
  const std::string text = challenge + ":" + password;
  const std::string token = Md5HexOf(text.data(), static_cast<std::uint32_t>(text.size()));
  if (!Send("ENTER " + token + "\r\n")) return false;
  return ReadLine() == "200 Welcome.\r\n";
}

void RawClient::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  pending_.clear();
}

}  // namespace quarv::test
