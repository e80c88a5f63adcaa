// Helpers shared by the test suites on every platform: temporary directories, free loopback
// ports, files with given content and time, MD5 digests of test data, and a raw protocol client.
// Child processes and the real programs are in process.h, service_process.h and agent_process.h.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/file_time.h"

namespace quarv::test {

// A fresh directory under the system's temporary directory, removed with its content when the
// object is destroyed.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

// True in the Windows build, for the few expectations that differ by design (e.g. the console's
// bytes); a test keeps to the platform layer's own answers where it can.
bool IsWindows();

// A TCP port on 127.0.0.1 that was free a moment ago (bound to port 0, read back, released).
std::uint16_t FreeLoopbackPort();

// Whole-file helpers.
void WriteFile(const std::filesystem::path& path, const std::string& content);
std::string ReadFile(const std::filesystem::path& path);
// Random bytes from a fixed seed, so that failures repeat.
std::string PatternBytes(std::size_t size, std::uint32_t seed = 1);

// Last-write time of a path as a FILETIME, and setting it.
platform::FileTime GetFileTime(const std::filesystem::path& path);
void SetFileTime(const std::filesystem::path& path, platform::FileTime time);

// Copies an executable built by this project (its full path, e.g. from a compile definition)
// into `dir`, keeping it executable. Returns the copy's path.
std::filesystem::path CopyExecutable(const std::filesystem::path& executable,
                                     const std::filesystem::path& dir);

// The MD5 digest of `bytes`: its 16 raw bytes (as in a GET trailer) or its text form.
std::string Md5Raw(const std::string& bytes);
std::string Md5Hex(const std::string& bytes);
// The login token for a challenge line "200 <challenge>\r\n": the text form of the digest of
// the challenge, a colon and the password.
std::string TokenFor(const std::string& challengeLine, const std::string& password);

// The number of times `needle` occurs in `text`, and whether it occurs at all.
int Count(const std::string& text, const std::string& needle);
bool Contains(const std::string& text, const std::string& needle);

// A plain loopback client for driving a server by hand in tests: raw sends and reads with a
// time limit, so that a test never hangs.
class RawClient {
 public:
  RawClient() = default;
  ~RawClient();
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  // `host` is an IPv4 address, or on POSIX also an IPv6 one (::1).
  bool Connect(std::uint16_t port, const char* host = "127.0.0.1");
  bool Send(const std::string& bytes);
  // Sends each byte in a segment of its own (no coalescing), with a short pause between them.
  bool SendEachByte(const std::string& bytes);
  // Reads up to and including the next LF (CR LF kept), or "" on close/time-out.
  std::string ReadLine(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Reads exactly `count` bytes, or what arrived before close/time-out.
  std::string ReadBytes(std::size_t count,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Reads until the peer closes (or the time-out); everything that arrived.
  std::string ReadAll(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // True when the peer has closed the connection within `timeout` (pending data is drained).
  bool WaitClosed(std::chrono::milliseconds timeout);
  // Logs in: HELO, reads the challenge, ENTER with the token; true on "200 Welcome.".
  bool Login(const std::string& password);
  void Close();

 private:
  int fd_ = -1;
  std::string pending_;
};

}  // namespace quarv::test
