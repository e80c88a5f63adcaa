// Whole sends and receives on a blocking socket, for the benchmark programs.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>

#include "tests/support/send_all.h"

namespace quarv::bench {

// Sends all `length` bytes; false when the peer is gone. The one whole send of the tests and
// benchmarks (header-only, so the benchmarks need no test library).
using quarv::test::SendAll;

// Receives exactly `length` bytes; false when the stream ends first.
inline bool RecvAll(int fd, char* data, std::size_t length) {
  while (length > 0) {
    const ssize_t done = ::recv(fd, data, length, 0);
    if (done <= 0) return false;
    data += done;
    length -= static_cast<std::size_t>(done);
  }
  return true;
}

}  // namespace quarv::bench
