// The operating-system side of the test helpers: test_support_posix.cpp or
// test_support_win32.cpp implements these for test_support.cpp.
#pragma once

#include <chrono>
#include <string>

namespace quarv::test::os {

// The running process's id, for names that no other test process uses at the same time.
std::string ProcessIdText();

enum class ReceiveResult { Data, Closed, TimedOut };

// Waits until `socket` has data or the deadline passes; appends what one receive call got to
// `pending`. Closed when the peer closed the connection or the receive failed.
ReceiveResult ReceiveSome(int socket, std::string* pending,
                          std::chrono::steady_clock::time_point deadline);

// Sends every later send of `socket` in a segment of its own (TCP_NODELAY).
void SendSegmentsAtOnce(int socket);

}  // namespace quarv::test::os
