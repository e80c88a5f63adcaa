// The one whole-buffer send on a socket for the test harness and the benchmark programs. It is
// header-only so that the benchmarks, which are built without the test suites and so without
// quarv_test_support, use the same loop as the tests do.
#pragma once

#ifdef _WIN32
// Winsock 1.1, as in the platform layer and test_support_win32.cpp.
#include <winsock.h>
#else
#include <sys/socket.h>
#include <sys/types.h>
#endif

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>

namespace quarv::test {

// Sends all `length` bytes of `data` on the connected, blocking socket `fd`, in as many sends as
// it takes; false when a send fails or the peer is gone (never a SIGPIPE on POSIX). On Windows
// `fd` is the SOCKET handle's value; Winsock sends at most INT_MAX bytes a call.
inline bool SendAll(int fd, const char* data, std::size_t length) {
  while (length > 0) {
#ifdef _WIN32
    const int part = static_cast<int>(std::min<std::size_t>(length, INT_MAX));
    const int sent = ::send(static_cast<SOCKET>(static_cast<std::intptr_t>(fd)), data, part, 0);
#else
    const ssize_t sent = ::send(fd, data, length, MSG_NOSIGNAL);
#endif
    if (sent <= 0) return false;
    data += sent;
    length -= static_cast<std::size_t>(sent);
  }
  return true;
}

inline bool SendAll(int fd, const std::string& bytes) {
  return SendAll(fd, bytes.data(), bytes.size());
}

}  // namespace quarv::test
