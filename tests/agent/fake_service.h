// A scriptable stand-in for the file service, for driving the agent into the situations a real
// service rarely produces: a connection cut after some body bytes, a wrong or short digest, a
// refused GET, a listed name that leaves the base directory, a file far larger than the disk.
//
// It listens on 127.0.0.1 on a port of its own choosing and serves one connection at a time on
// a thread of its own. Files are described, not stored: a file of any size is zeros followed by
// its given last bytes, so a file over 4 GiB costs nothing. Every read waits a bounded time.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "common/md5.h"
#include "common/protocol.h"
#include "common/wire_number.h"
#include "platform/file_time.h"
#include "tests/support/test_support.h"

namespace quarv::test {

struct FakeFile {
  std::uint64_t size = 0;
  platform::FileTime lastWrite = 0;
  std::string tail;  // the file's last bytes; every byte before them is zero

  // Faults, each used up as it happens.
  int refuseGets = 0;  // answer this many GETs with refuseLine
  std::string refuseLine = "404 File Not Found";
  std::optional<std::uint64_t> cutAfter;       // close after this many body bytes (next GET)
  int wrongDigests = 0;                        // send this many wrong digests
  std::optional<std::size_t> shortTrailer;     // send only this many digest bytes, then close
  std::optional<std::uint64_t> announcedSize;  // a header size other than the real one
  int records = 1;  // records of it in every list: more than one lists the name again

  static FakeFile Of(std::string content, platform::FileTime time) {
    FakeFile file;
    file.size = content.size();
    file.lastWrite = time;
    file.tail = std::move(content);
    return file;
  }
  char ByteAt(std::uint64_t index) const {
    const std::uint64_t tailStart = size - tail.size();
    return index < tailStart ? '\0' : tail[static_cast<std::size_t>(index - tailStart)];
  }
  std::string Bytes(std::uint64_t from, std::uint64_t to) const {
    std::string bytes;
    for (std::uint64_t i = from; i < to; ++i) bytes.push_back(ByteAt(i));
    return bytes;
  }
};

class FakeService {
 public:
  static constexpr const char* kChallenge = "qwertyuiopasdfgh";

  explicit FakeService(std::string password) : password_(std::move(password)) {
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

  ~FakeService() {
    stop_ = true;
    Release();
    thread_.join();
    ::close(listener_);
  }

  FakeService(const FakeService&) = delete;
  FakeService& operator=(const FakeService&) = delete;

  std::uint16_t port() const { return port_; }

  void Put(const std::string& name, FakeFile file) {
    std::lock_guard<std::mutex> lock(mutex_);
    files_[name] = std::move(file);
  }
  bool Has(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return files_.count(name) != 0;
  }
  // Every line the agent sent, in order, without its line end.
  std::vector<std::string> Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  std::vector<std::string> RequestsStartingWith(const std::string& prefix) const {
    std::vector<std::string> found;
    for (const std::string& line : Requests()) {
      if (line.compare(0, prefix.size(), prefix) == 0) found.push_back(line);
    }
    return found;
  }
  // Runs `hook` with the name of every GET, on the service's thread, before the GET is answered.
  void OnGet(std::function<void(const std::string&)> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    onGet_ = std::move(hook);
  }
  int Connections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_;
  }
  // Before it answers the DELE of `name`, waits a bounded time for the agent's next request
  // line (without taking it): LineBeforeDeleteReply is that line, empty when none came.
  void PeekBeforeDeleteReply(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    peekDelete_ = name;
  }
  std::string LineBeforeDeleteReply() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lineBeforeDeleteReply_;
  }
  // Before it answers the GET of `name`, waits a bounded time until `lines` more request lines
  // have come in (without taking them): LinesBeforeGetReply is how many had come.
  void CountBeforeGetReply(const std::string& name, std::size_t lines) {
    std::lock_guard<std::mutex> lock(mutex_);
    countGet_ = name;
    countGetLines_ = lines;
  }
  std::size_t LinesBeforeGetReply() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return linesBeforeGetReply_;
  }

  // While held, a new connection is accepted but not answered until Release.
  void Hold() {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = true;
  }
  void Release() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      held_ = false;
    }
    changed_.notify_all();
  }
  // Waits until at least `count` connections have been accepted.
  bool WaitForConnections(int count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return connections_ >= count; });
  }

 private:
  static constexpr auto kReadTimeout = std::chrono::seconds(20);
  static constexpr int kPollMilliseconds = 50;
  static constexpr std::size_t kChunk = 65536;
  static constexpr auto kPeekTimeout = std::chrono::seconds(2);

  void Serve() {
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

  bool SendBytes(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t sent = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (sent <= 0) return false;
      done += static_cast<std::size_t>(sent);
    }
    return true;
  }

  // One line without its end; nullopt when the peer closed or nothing came in time, or when the
  // line is longer than the service's line limit (the service then ends the session).
  std::optional<std::string> ReadLine(int fd) {
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

  void Session(int fd) {
    pending_.clear();
    bool loggedIn = false;
    for (;;) {
      const std::optional<std::string> line = ReadLine(fd);
      if (!line) return;
      const std::string word = line->substr(0, line->find(' '));
      const std::string argument =
          line->find(' ') == std::string::npos ? "" : line->substr(line->find(' ') + 1);
      if (word == "QUIT") {
        SendBytes(fd, "200 GoodBye.\r\n");
        return;
      } else if (!loggedIn && word == "HELO") {
        SendBytes(fd, std::string("200 ") + kChallenge + "\r\n");
      } else if (!loggedIn && word == "ENTER") {
        loggedIn = argument == Md5Hex(std::string(kChallenge) + ":" + password_);
        SendBytes(fd, loggedIn ? "200 Welcome.\r\n" : "401 Unauthorized.\r\n");
      } else if (loggedIn && word == "LIST") {
        SendBytes(fd, "200 List of files.\r\n" + ListBlock());
      } else if (loggedIn && word == "GET") {
        CountIfAsked(fd, argument);
        if (!SendFile(fd, argument)) return;
      } else if (loggedIn && word == "DELE") {
        PeekIfAsked(fd, argument);
        std::lock_guard<std::mutex> lock(mutex_);
        const bool deleted = files_.erase(argument) != 0;
        SendBytes(fd, deleted ? "200 File Deleted.\r\n" : "500 File Cannot Delete.\r\n");
      } else {
        SendBytes(fd, "400 Unknown Message.\r\n");
      }
    }
  }

  void PeekIfAsked(int fd, const std::string& name) {
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

  void CountIfAsked(int fd, const std::string& name) {
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

  // Adds what came in within one poll slice to the pending bytes; false when the peer closed.
  bool TakeInMore(int fd) {
    pollfd waiter{fd, POLLIN, 0};
    if (::poll(&waiter, 1, kPollMilliseconds) <= 0) return true;
    char chunk[4096];
    const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
    if (got <= 0) return false;
    pending_.append(chunk, static_cast<std::size_t>(got));
    return true;
  }

  std::string ListBlock() {
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

  // False when the connection is to be closed.
  bool SendFile(int fd, const std::string& name) {
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
      if (found == files_.end()) return SendBytes(fd, "404 File Not Found\r\n");
      FakeFile& stored = found->second;
      if (stored.refuseGets > 0) {
        --stored.refuseGets;
        return SendBytes(fd, stored.refuseLine + "\r\n");
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
    SendBytes(fd, "200 File Transfer.\r\nFileSize: " + FormatWords(announced) +
                      "\r\nLastWrite: " + FormatWords(file.lastWrite) + "\r\n\r\n");
    const std::optional<std::string> offsetLine = ReadLine(fd);
    if (!offsetLine) return false;
    std::uint64_t offset = 0;
    if (offsetLine->compare(0, 8, "Offset: ") == 0) {
      std::uint32_t low = 0, high = 0;
      if (ParseWords(offsetLine->c_str() + 8, &low, &high)) offset = platform::MakeWide(low, high);
    }
    if (offset >= file.size) return SendBytes(fd, "0000000000000000");

    Md5Context digest;
    Md5Init(&digest);
    std::uint64_t position = offset;
    while (position < file.size) {
      std::uint64_t end = std::min<std::uint64_t>(file.size, position + kChunk);
      if (cutAfter) end = std::min<std::uint64_t>(end, offset + *cutAfter);
      const std::string chunk = file.Bytes(position, end);
      Md5Update(&digest, chunk.data(), static_cast<std::uint32_t>(chunk.size()));
      if (!SendBytes(fd, chunk)) return false;
      position = end;
      if (cutAfter && position == offset + *cutAfter) return false;
    }
    Md5Final(&digest);
    std::string trailer(reinterpret_cast<const char*>(digest.digest), kMd5DigestSize);
    if (wrongDigest) trailer[0] = static_cast<char>(trailer[0] ^ 0x5A);
    if (shortTrailer) {
      SendBytes(fd, trailer.substr(0, *shortTrailer));
      return false;
    }
    return SendBytes(fd, trailer);
  }

  const std::string password_;
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::string pending_;  // used by the serving thread only

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, FakeFile> files_;
  std::vector<std::string> requests_;
  std::function<void(const std::string&)> onGet_;
  int connections_ = 0;
  bool held_ = false;
  std::string peekDelete_;
  std::string lineBeforeDeleteReply_;
  std::string countGet_;
  std::size_t countGetLines_ = 0;
  std::size_t linesBeforeGetReply_ = 0;
};

}  // namespace quarv::test
