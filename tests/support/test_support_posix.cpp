// The POSIX side of the test helpers: stat/utimensat times, BSD sockets.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/send_all.h"
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

void SendSegmentsAtOnce(int socket) {
  const int on = 1;
  ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
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

bool RawClient::Connect(std::uint16_t port, const char* host) {
  Close();
  // An IPv4 address, or IPv6 (::1) when the text holds a colon.
  sockaddr_in address{};
  sockaddr_in6 address6{};
  const bool ipv6 = std::string(host).find(':') != std::string::npos;
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address6.sin6_family = AF_INET6;
  address6.sin6_port = htons(port);
  if (ipv6 ? ::inet_pton(AF_INET6, host, &address6.sin6_addr) != 1
           : ::inet_pton(AF_INET, host, &address.sin_addr) != 1) {
    return false;
  }
  fd_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  const auto* target = ipv6 ? reinterpret_cast<const sockaddr*>(&address6)
                            : reinterpret_cast<const sockaddr*>(&address);
  if (::connect(fd_, target, ipv6 ? sizeof address6 : sizeof address) != 0) {
    Close();
    return false;
  }
  return true;
}

bool RawClient::Send(const std::string& bytes) {
  return SendAll(fd_, bytes);
}

void RawClient::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  pending_.clear();
}

}  // namespace quarv::test
