// The fake file service: its listener, serving thread and scripted replies.
#include "tests/support/fake_service.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>

#include "common/md5.h"
#include "common/protocol.h"
#include "common/wire_number.h"
#include "tests/support/send_all.h"
#include "tests/support/test_support.h"

namespace quarv::test {

FakeFile FakeFile::Of(std::string content, platform::FileTime time) {
  FakeFile file;
  file.size = content.size();
  file.lastWrite = time;
  file.tail = std::move(content);
  return file;
}

char FakeFile::ByteAt(std::uint64_t index) const {
  const std::uint64_t tailStart = size - tail.size();
  return index < tailStart ? '\0' : tail[static_cast<std::size_t>(index - tailStart)];
}

std::string FakeFile::Bytes(std::uint64_t from, std::uint64_t to) const {
  std::string bytes;
  for (std::uint64_t i = from; i < to; ++i) bytes.push_back(ByteAt(i));
  return bytes;
}

FakeService::FakeService(std::string password) : password_(std::move(password)) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 8) != 0) {
    ADD_FAILURE() << "the fake service cannot listen on 127.0.0.1";
  }
  socklen_t length = sizeof address;
  ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Serve(); });
}

FakeService::~FakeService() {
  stop_ = true;
  Release();
  thread_.join();
  ::close(listener_);
}

void FakeService::Put(const std::string& name, FakeFile file) {
  std::lock_guard<std::mutex> lock(mutex_);
  files_[name] = std::move(file);
}

bool FakeService::Has(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return files_.count(name) != 0;
}

std::vector<std::string> FakeService::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::vector<std::string> FakeService::RequestsStartingWith(const std::string& prefix) const {
  std::vector<std::string> found;
  for (const std::string& line : Requests()) {
    if (line.compare(0, prefix.size(), prefix) == 0) found.push_back(line);
  }
  return found;
}

void FakeService::OnGet(std::function<void(const std::string&)> hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  onGet_ = std::move(hook);
}

int FakeService::Connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

void FakeService::PeekBeforeDeleteReply(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  peekDelete_ = name;
}

std::string FakeService::LineBeforeDeleteReply() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lineBeforeDeleteReply_;
}

void FakeService::CountBeforeGetReply(const std::string& name, std::size_t lines) {
  std::lock_guard<std::mutex> lock(mutex_);
  countGet_ = name;
  countGetLines_ = lines;
}

std::size_t FakeService::LinesBeforeGetReply() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return linesBeforeGetReply_;
}

void FakeService::Hold() {
  std::lock_guard<std::mutex> lock(mutex_);
  held_ = true;
}

void FakeService::Release() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = false;
  }
  changed_.notify_all();
}

bool FakeService::WaitForConnections(int count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return connections_ >= count; });
}

void FakeService::Serve() {
  while (!stop_) {
    pollfd waiter{listener_, POLLIN, 0};
    if (::poll(&waiter, 1, kPollMilliseconds) <= 0) continue;
    const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      ++connections_;
      changed_.notify_all();
      changed_.wait_for(lock, kReadTimeout, [&] { return !held_ || stop_; });
    }
    Session(client);
    ::close(client);
  }
}

std::optional<std::string> FakeService::ReadLine(int fd) {
  const auto deadline = std::chrono::steady_clock::now() + kReadTimeout;
  for (;;) {
    const auto end = pending_.find('\n');
    if (end != std::string::npos) {
      std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.size() > static_cast<std::size_t>(kLongestRequestLine)) return std::nullopt;
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(line);
      return line;
    }
    if (stop_ || std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    pollfd waiter{fd, POLLIN, 0};
    if (::poll(&waiter, 1, kPollMilliseconds) <= 0) continue;
    char chunk[4096];
    const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
    if (got <= 0) return std::nullopt;
    pending_.append(chunk, static_cast<std::size_t>(got));
  }
}

void FakeService::Session(int fd) {
  pending_.clear();
  bool loggedIn = false;
  for (;;) {
    const std::optional<std::string> line = ReadLine(fd);
    if (!line) return;
    const std::string word = line->substr(0, line->find(' '));
    const std::string argument =
        line->find(' ') == std::string::npos ? "" : line->substr(line->find(' ') + 1);
    if (word == "QUIT") {
      SendAll(fd, "200 GoodBye.\r\n");
      return;
    } else if (!loggedIn && word == "HELO") {
      SendAll(fd, std::string("200 ") + kChallenge + "\r\n");
    } else if (!loggedIn && word == "ENTER") {
      loggedIn = argument == Md5Hex(std::string(kChallenge) + ":" + password_);
      SendAll(fd, loggedIn ? "200 Welcome.\r\n" : "401 Unauthorized.\r\n");
    } else if (loggedIn && word == "LIST") {
      SendAll(fd, "200 List of files.\r\n" + ListBlock());
    } else if (loggedIn && word == "GET") {
      CountIfAsked(fd, argument);
      if (!SendFile(fd, argument)) return;
    } else if (loggedIn && word == "DELE") {
      PeekIfAsked(fd, argument);
      std::lock_guard<std::mutex> lock(mutex_);
      const bool deleted = files_.erase(argument) != 0;
      SendAll(fd, deleted ? "200 File Deleted.\r\n" : "500 File Cannot Delete.\r\n");
    } else {
      SendAll(fd, "400 Unknown Message.\r\n");
    }
  }
}

void FakeService::PeekIfAsked(int fd, const std::string& name) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (name != peekDelete_) return;
  }
  const auto deadline = std::chrono::steady_clock::now() + kPeekTimeout;
  while (pending_.find('\n') == std::string::npos && !stop_ &&
         std::chrono::steady_clock::now() < deadline) {
    if (!TakeInMore(fd)) break;
  }
  const std::size_t end = pending_.find('\n');
  if (end == std::string::npos) return;
  std::string line = pending_.substr(0, end);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  std::lock_guard<std::mutex> lock(mutex_);
  lineBeforeDeleteReply_ = line;
}

void FakeService::CountIfAsked(int fd, const std::string& name) {
  std::size_t wanted = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (name != countGet_) return;
    wanted = countGetLines_;
  }
  const auto lines = [&] {
    return static_cast<std::size_t>(std::count(pending_.begin(), pending_.end(), '\n'));
  };
  const auto deadline = std::chrono::steady_clock::now() + kPeekTimeout;
  while (lines() < wanted && !stop_ && std::chrono::steady_clock::now() < deadline) {
    if (!TakeInMore(fd)) break;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  linesBeforeGetReply_ = lines();
}

bool FakeService::TakeInMore(int fd) {
  pollfd waiter{fd, POLLIN, 0};
  if (::poll(&waiter, 1, kPollMilliseconds) <= 0) return true;
  char chunk[4096];
  const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
  if (got <= 0) return false;
  pending_.append(chunk, static_cast<std::size_t>(got));
  return true;
}

std::string FakeService::ListBlock() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string block;
  for (const auto& [name, file] : files_) {
    for (int record = 0; record < file.records; ++record) {
      if (!block.empty()) block += "\r\n";
      block += "FileName: " + name + "\r\n";
      block += "FileSize: " + FormatWords(file.size) + "\r\n";
      block += "LastWrite: " + FormatWords(file.lastWrite) + "\r\n";
    }
  }
  return block + ".\r\n";
}

bool FakeService::SendFile(int fd, const std::string& name) {
  FakeFile file;
  std::optional<std::uint64_t> cutAfter;
  std::optional<std::size_t> shortTrailer;
  bool wrongDigest = false;
  std::function<void(const std::string&)> hook;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    hook = onGet_;
  }
  if (hook) hook(name);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = files_.find(name);
    if (found == files_.end()) return SendAll(fd, "404 File Not Found\r\n");
    FakeFile& stored = found->second;
    if (stored.refuseGets > 0) {
      --stored.refuseGets;
      return SendAll(fd, stored.refuseLine + "\r\n");
    }
    cutAfter = std::exchange(stored.cutAfter, std::nullopt);
    shortTrailer = std::exchange(stored.shortTrailer, std::nullopt);
    if (stored.wrongDigests > 0) {
      --stored.wrongDigests;
      wrongDigest = true;
    }
    file = stored;
  }
  const std::uint64_t announced = file.announcedSize.value_or(file.size);
  SendAll(fd, "200 File Transfer.\r\nFileSize: " + FormatWords(announced) +
                  "\r\nLastWrite: " + FormatWords(file.lastWrite) + "\r\n\r\n");
  const std::optional<std::string> offsetLine = ReadLine(fd);
  if (!offsetLine) return false;
  std::uint64_t offset = 0;
  if (offsetLine->compare(0, 8, "Offset: ") == 0) {
    std::uint32_t low = 0, high = 0;
    if (ParseWords(offsetLine->c_str() + 8, &low, &high)) offset = platform::MakeWide(low, high);
  }
  if (offset >= file.size) return SendAll(fd, "0000000000000000");

  Md5Context digest;
  Md5Init(&digest);
  std::uint64_t position = offset;
  while (position < file.size) {
    std::uint64_t end = std::min<std::uint64_t>(file.size, position + kChunk);
    if (cutAfter) end = std::min<std::uint64_t>(end, offset + *cutAfter);
    const std::string chunk = file.Bytes(position, end);
    Md5Update(&digest, chunk.data(), static_cast<std::uint32_t>(chunk.size()));
    if (!SendAll(fd, chunk)) return false;
    position = end;
    if (cutAfter && position == offset + *cutAfter) return false;
  }
  Md5Final(&digest);
  std::string trailer(reinterpret_cast<const char*>(digest.digest), kMd5DigestSize);
  if (wrongDigest) trailer[0] = static_cast<char>(trailer[0] ^ 0x5A);
  if (shortTrailer) {
    SendAll(fd, trailer.substr(0, *shortTrailer));
    return false;
  }
  return SendAll(fd, trailer);
}

}  // namespace quarv::test
