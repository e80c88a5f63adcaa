// Helpers of the fuzz targets: a scratch directory and bounded loopback socket exchanges. Every
// wait is bounded, so that a hang of the code under test ends the run as a finding (abort).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace quarv::fuzz {

// Longer than any exchange of a fuzz input may take: past it the code under test has hung.
inline constexpr auto kHangLimit = std::chrono::seconds(20);

[[noreturn]] inline void Hang(const char* what) {
  std::fprintf(stderr, "fuzz: %s did not end within the hang limit\n", what);
  std::abort();
}

// A directory of its own under the system's temporary directory, for the whole fuzz run, and
// removed with its content when the run ends: the fuzzer ends a run with exit(), which destroys
// the owner below (an abort on a finding leaves it, with the finding).
inline std::filesystem::path ScratchDirectory(const char* name) {
  struct Owner {
    Owner() = default;
    Owner(const Owner&) = delete;
    Owner& operator=(const Owner&) = delete;
    ~Owner() {
      std::error_code error;
      for (const auto& dir : dirs) std::filesystem::remove_all(dir, error);
    }
    std::vector<std::filesystem::path> dirs;
  };
  static Owner owner;
  std::string pattern =
      (std::filesystem::temp_directory_path() / (std::string("quarv-") + name + "-XXXXXX"))
          .string();
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  owner.dirs.emplace_back(pattern);
  return pattern;
}

// Removes everything inside `dir`, keeping the directory.
inline void EmptyDirectory(const std::filesystem::path& dir) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    std::filesystem::remove_all(entry.path(), error);
  }
}

// Closes a socket whose exchange is over with a reset, so that the hundreds of thousands of
// connections of a fuzz run leave no TIME_WAIT behind to use up the local ports.
inline void CloseAbruptly(int fd) {
  const linger reset{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  ::close(fd);
}

inline int ConnectLoopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  int error = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      return fd;
    }
    error = errno;
    if (fd >= 0) ::close(fd);
    ::usleep(10000);
  }
  std::fprintf(stderr, "fuzz: cannot connect to port %u: %s\n", port, std::strerror(error));
  std::abort();
}

// A listening socket on 127.0.0.1 at a free port; the port goes to `port`.
inline int ListenLoopback(std::uint16_t* port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 16) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::abort();
  }
  *port = ntohs(address.sin_port);
  return fd;
}

// Sends `out` while reading what comes back, then half-closes and reads until the peer closes.
// Everything received is appended to `in` (when given). Aborts when the peer neither reads nor
// closes within the hang limit.
inline void Exchange(int fd, const std::string& out, std::string* in, const char* what) {
  const auto deadline = std::chrono::steady_clock::now() + kHangLimit;
  std::size_t sent = 0;
  bool halfClosed = false;
  for (;;) {
    if (sent == out.size() && !halfClosed) {
      ::shutdown(fd, SHUT_WR);
      halfClosed = true;
    }
    pollfd waiter{fd, static_cast<short>(POLLIN | (halfClosed ? 0 : POLLOUT)), 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) Hang(what);
    if (::poll(&waiter, 1, static_cast<int>(left.count())) <= 0) continue;
    if ((waiter.revents & POLLOUT) != 0 && !halfClosed) {
      const ssize_t done =
          ::send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (done < 0) {
        sent = out.size();  // the peer has gone: nothing more can be sent
      } else {
        sent += static_cast<std::size_t>(done);
      }
    }
    if ((waiter.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      char chunk[65536];
      const ssize_t got = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
      if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) return;
      if (got > 0 && in != nullptr) in->append(chunk, static_cast<std::size_t>(got));
    }
  }
}

// Reads one line (through its LF) within the hang limit; "" when the peer closed first.
inline std::string ReadLine(int fd, const char* what) {
  const auto deadline = std::chrono::steady_clock::now() + kHangLimit;
  std::string line;
  while (line.empty() || line.back() != '\n') {
    pollfd waiter{fd, POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) Hang(what);
    if (::poll(&waiter, 1, static_cast<int>(left.count())) <= 0) continue;
    char byte = 0;
    if (::recv(fd, &byte, 1, 0) != 1) return {};
    line.push_back(byte);
  }
  return line;
}

}  // namespace quarv::fuzz
