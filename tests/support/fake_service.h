// A scriptable stand-in for the file service, for driving the agent into the situations a real
// service rarely produces: a connection cut after some body bytes, a wrong or short digest, a
// refused GET, a listed name that leaves the base directory, a file far larger than the disk.
//
// Files are described, not stored: a file of any size is zeros followed by its given last bytes,
// so a file over 4 GiB costs nothing.
//
// What it owns: a listening socket on 127.0.0.1 at a port of its own choosing (port()), the
// connection it is serving, and one serving thread, started by the constructor. That thread
// accepts and serves one connection at a time, in order; every read on it waits a bounded time
// (20 s), polling in short slices so that it sees the destructor's stop.
//
// Threads: every public member may be called from any thread at any time; the files, the request
// record and the scripted faults are kept under one mutex. The OnGet hook runs on the serving
// thread, without that mutex held, so it may call back into the service (Put, Has, Requests).
//
// What must stay alive: whatever the OnGet hook refers to, until the hook is replaced or the
// service is destroyed. The destructor releases a Hold, stops the serving thread and joins it; a
// running hook, or a send to a peer that neither reads nor closes, delays it.
//
// POSIX only (BSD sockets and poll).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_time.h"

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

  // A file of exactly `content`.
  static FakeFile Of(std::string content, platform::FileTime time);
  char ByteAt(std::uint64_t index) const;
  // The bytes [from, to).
  std::string Bytes(std::uint64_t from, std::uint64_t to) const;
};

class FakeService {
 public:
  static constexpr const char* kChallenge = "qwertyuiopasdfgh";

  // Listens and starts serving; a failure to listen is a test failure (ADD_FAILURE).
  explicit FakeService(std::string password);
  ~FakeService();
  FakeService(const FakeService&) = delete;
  FakeService& operator=(const FakeService&) = delete;

  std::uint16_t port() const { return port_; }

  void Put(const std::string& name, FakeFile file);
  bool Has(const std::string& name) const;
  // Every line the agent sent, in order, without its line end.
  std::vector<std::string> Requests() const;
  std::vector<std::string> RequestsStartingWith(const std::string& prefix) const;
  // Runs `hook` with the name of every GET, on the service's thread, before the GET is answered.
  void OnGet(std::function<void(const std::string&)> hook);
  int Connections() const;
  // Before it answers the DELE of `name`, waits a bounded time for the agent's next request
  // line (without taking it): LineBeforeDeleteReply is that line, empty when none came.
  void PeekBeforeDeleteReply(const std::string& name);
  std::string LineBeforeDeleteReply() const;
  // Before it answers the GET of `name`, waits a bounded time until `lines` more request lines
  // have come in (without taking them): LinesBeforeGetReply is how many had come.
  void CountBeforeGetReply(const std::string& name, std::size_t lines);
  std::size_t LinesBeforeGetReply() const;

  // While held, a new connection is accepted but not answered until Release (or, at the latest,
  // 20 s after it was accepted).
  void Hold();
  void Release();
  // Waits until at least `count` connections have been accepted.
  bool WaitForConnections(int count, std::chrono::milliseconds timeout);

 private:
  static constexpr auto kReadTimeout = std::chrono::seconds(20);
  static constexpr int kPollMilliseconds = 50;
  static constexpr std::size_t kChunk = 65536;
  static constexpr auto kPeekTimeout = std::chrono::seconds(2);

  // The serving thread's work: accepting, then one session per connection.
  void Serve();
  void Session(int fd);
  // One line without its end; nullopt when the peer closed or nothing came in time, or when the
  // line is longer than the service's line limit (the service then ends the session).
  std::optional<std::string> ReadLine(int fd);
  void PeekIfAsked(int fd, const std::string& name);
  void CountIfAsked(int fd, const std::string& name);
  // Adds what came in within one poll slice to the pending bytes; false when the peer closed.
  bool TakeInMore(int fd);
  std::string ListBlock();
  // False when the connection is to be closed.
  bool SendFile(int fd, const std::string& name);

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
