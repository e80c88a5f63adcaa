// The portable part of the test helpers; the operating-system parts (processes, sockets, file
// times) are in test_support_posix.cpp and test_support_win32.cpp.
#include "tests/support/test_support.h"

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "common/md5.h"
#include "tests/support/test_support_os.h"

namespace quarv::test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  const fs::path base = fs::temp_directory_path();
  for (int attempt = 0; attempt < 1000; ++attempt) {
    fs::path candidate =
        base / ("quarv-test-" + os::ProcessIdText() + "-" + std::to_string(counter.fetch_add(1)));
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

fs::path CopyExecutable(const fs::path& executable, const fs::path& dir) {
  const fs::path target = dir / executable.filename();
  fs::copy_file(executable, target, fs::copy_options::overwrite_existing);
  fs::permissions(target, fs::perms::owner_all, fs::perm_options::add);
  return target;
}

std::string ChildProcess::Stdout() const {
  return ReadFile(outPath_);
}
std::string ChildProcess::Stderr() const {
  return ReadFile(errPath_);
}

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

RawClient::~RawClient() {
  Close();
}

namespace {
// Appends what arrives on `socket` to `pending`. False on close, error or time-out.
bool ReceiveMore(int socket, std::string* pending, Clock::time_point deadline) {
  if (socket < 0) return false;
  return os::ReceiveSome(socket, pending, deadline) == os::ReceiveResult::Data;
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
    if (fd_ < 0) return true;
    switch (os::ReceiveSome(fd_, &pending_, deadline)) {
      case os::ReceiveResult::Data:
        break;
      case os::ReceiveResult::Closed:
        return true;
      case os::ReceiveResult::TimedOut:
        return false;
    }
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

}  // namespace quarv::test
