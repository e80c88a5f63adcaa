// The portable part of the test helpers; the operating-system parts (sockets, file times) are in
// test_support_posix.cpp and test_support_win32.cpp.
#include "tests/support/test_support.h"

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

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
  fs::path target = dir / executable.filename();
  fs::copy_file(executable, target, fs::copy_options::overwrite_existing);
  fs::permissions(target, fs::perms::owner_all, fs::perm_options::add);
  return target;
}

std::string Md5Raw(const std::string& bytes) {
  Md5Context context;
  Md5Init(&context);
  Md5Update(&context, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  Md5Final(&context);
  return std::string(reinterpret_cast<const char*>(context.digest), kMd5DigestSize);
}

std::string Md5Hex(const std::string& bytes) {
  return Md5HexOf(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

std::string TokenFor(const std::string& challengeLine, const std::string& password) {
  if (challengeLine.size() < 6) return {};
  return Md5Hex(challengeLine.substr(4, challengeLine.size() - 6) + ":" + password);
}

int Count(const std::string& text, const std::string& needle) {
  int count = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

bool Contains(const std::string& text, const std::string& needle) {
  return text.find(needle) != std::string::npos;
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

bool RawClient::SendEachByte(const std::string& bytes) {
  if (fd_ < 0) return false;
  os::SendSegmentsAtOnce(fd_);
  for (const char byte : bytes) {
    if (!Send(std::string(1, byte))) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

bool RawClient::Login(const std::string& password) {
  if (!Send("HELO\r\n")) return false;
  const std::string reply = ReadLine();
  if (reply.size() < 6 || reply.compare(0, 4, "200 ") != 0) return false;
  if (!Send("ENTER " + TokenFor(reply, password) + "\r\n")) return false;
  return ReadLine() == "200 Welcome.\r\n";
}

}  // namespace quarv::test
