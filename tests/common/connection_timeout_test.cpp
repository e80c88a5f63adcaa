// The receive time-out of a connection: a peer that stays silent makes the waiting receive fail
// as a lost connection would, so that a stalled peer never hangs the reader; what arrives in
// time is read as usual. Only the Connection interface is used, on every platform.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "common/connection.h"

namespace quarv {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kTimeoutMilliseconds = 300;
// Far longer than the time-out: a receive still waiting then has hung.
constexpr auto kHangLimit = 60s;

struct TimedPair {
  Connection listener;
  Connection client;
  Connection server;

  explicit TimedPair(std::uint32_t timeout) {
    EXPECT_TRUE(listener.Startup(1, 1));
    EXPECT_TRUE(listener.Listen(0, "127.0.0.1"));
    // Set before Connect: it applies to the socket that Connect opens.
    EXPECT_TRUE(client.SetReceiveTimeout(timeout));
    EXPECT_TRUE(client.Connect("127.0.0.1", listener.LocalPort()));
    EXPECT_TRUE(listener.Accept(server));
  }
};

// A line read on another thread, so that a hang shows as a failure instead of a stuck test.
std::string LineOrHang(Connection& connection) {
  auto read = std::async(std::launch::async, [&connection] {
    std::array<char, 200> line{};
    return connection.ReadLine(line.data(), static_cast<std::int32_t>(line.size()))
               ? std::string(line.data())
               : std::string("<failed>");
  });
  if (read.wait_for(kHangLimit) != std::future_status::ready) {
    connection.Close();  // lets the read end
    ADD_FAILURE() << "the read did not end";
  }
  return read.get();
}

TEST(ConnectionTimeoutTest, SilentPeerFailsTheWaitingReceiveAndWhatCameInTimeIsKept) {
  TimedPair pair(kTimeoutMilliseconds);
  pair.server.SendText("first\r\n");
  EXPECT_EQ(LineOrHang(pair.client), "first");
  // Nothing more comes: the line read fails.
  EXPECT_EQ(LineOrHang(pair.client), "<failed>");

  TimedPair raw(kTimeoutMilliseconds);
  raw.server.SendText("abc");
  std::array<char, 10> buffer{};
  std::uint32_t count = 0;
  // The bytes that came before the silence are handed out, then nothing is.
  ASSERT_TRUE(raw.client.Receive(buffer.data(), static_cast<std::uint32_t>(buffer.size()), &count));
  EXPECT_EQ(std::string(buffer.data(), count), "abc");
  EXPECT_FALSE(raw.client.Receive(buffer.data(), static_cast<std::uint32_t>(buffer.size())));
}

TEST(ConnectionTimeoutTest, TimeOutOfZeroOnAnOpenConnectionWaitsForThePeer) {
  TimedPair pair(kTimeoutMilliseconds);
  ASSERT_TRUE(pair.client.SetReceiveTimeout(0));
  // The line comes well after the earlier time-out would have ended the wait.
  std::thread late([&pair] {
    std::this_thread::sleep_for(std::chrono::milliseconds(4 * kTimeoutMilliseconds));
    pair.server.SendText("late\r\n");
  });
  EXPECT_EQ(LineOrHang(pair.client), "late");
  late.join();
}

}  // namespace
}  // namespace quarv
