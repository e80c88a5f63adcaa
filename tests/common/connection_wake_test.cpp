// Connection: the calls a Close from another thread must end, beyond a blocked read or accept,
// and the failures that the calls report on their own.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "common/connection.h"
#include "tests/support/test_support.h"

namespace quarv {
namespace {

using namespace std::chrono_literals;

// A listener on 127.0.0.1, a raw client connected to it, and the server side of that connection.
struct Accepted {
  Connection listener;
  test::RawClient client;
  Connection server;
};

void Open(Accepted* pair) {
  ASSERT_TRUE(pair->listener.Startup(1, 1));
  ASSERT_TRUE(pair->listener.Listen(0, "127.0.0.1"));
  ASSERT_TRUE(pair->client.Connect(pair->listener.LocalPort()));
  ASSERT_TRUE(pair->listener.Accept(pair->server));
}

TEST(ConnectionWakeTest, CloseFromAnotherThreadEndsASendThatThePeerDoesNotRead) {
  Accepted pair;
  ASSERT_NO_FATAL_FAILURE(Open(&pair));
  test::RawClient& client = pair.client;
  Connection& server = pair.server;
  // Far more than the socket buffers on both sides hold: the send blocks until the close.
  const std::string data(64 * 1024 * 1024, 'q');
  auto sender = std::async(std::launch::async, [&] {
    return server.SendAll(data.data(), static_cast<std::int32_t>(data.size()));
  });
  std::this_thread::sleep_for(200ms);
  ASSERT_EQ(sender.wait_for(0ms), std::future_status::timeout) << "the send did not block";
  server.Close();
  const bool ended = sender.wait_for(10s) == std::future_status::ready;
  if (!ended) client.Close();  // resets the connection, so that even a failing test ends
  ASSERT_TRUE(ended) << "the close did not end the send";
  EXPECT_FALSE(sender.get());
  EXPECT_FALSE(server.IsOpen());
  // The peer gets what was sent before the close, then the end of the connection.
  EXPECT_TRUE(client.WaitClosed(30s));
}

TEST(ConnectionWakeTest, CloseFromAnotherThreadEndsAReceiveThatHasPartOfItsBytes) {
  Accepted pair;
  ASSERT_NO_FATAL_FAILURE(Open(&pair));
  test::RawClient& client = pair.client;
  Connection& server = pair.server;
  ASSERT_TRUE(client.Send("0123456789"));
  auto receiver = std::async(std::launch::async, [&] {
    char buffer[100];
    std::uint32_t count = 0;
    const bool got = server.Receive(buffer, sizeof buffer, &count);
    return got ? std::string(buffer, count) : std::string("<false>");
  });
  std::this_thread::sleep_for(200ms);
  ASSERT_EQ(receiver.wait_for(0ms), std::future_status::timeout) << "the receive did not wait";
  server.Close();
  const bool ended = receiver.wait_for(10s) == std::future_status::ready;
  if (!ended) client.Close();  // so that even a failing test ends
  ASSERT_TRUE(ended) << "the close did not end the receive";
  // The bytes that had arrived are counted, as when the peer closes.
  EXPECT_EQ(receiver.get(), "0123456789");
  EXPECT_TRUE(client.WaitClosed(10s));
}

TEST(ConnectionWakeTest, ConnectToAPortWithoutListenerFails) {
  Connection client;
  ASSERT_TRUE(client.Startup(1, 1));
  const std::uint16_t port = test::FreeLoopbackPort();
  ASSERT_NE(port, 0);
  EXPECT_FALSE(client.Connect("127.0.0.1", port));
  // The connection can still be used for a connect that succeeds.
  Connection listener;
  ASSERT_TRUE(listener.Listen(0, "127.0.0.1"));
  ASSERT_TRUE(client.Connect("127.0.0.1", listener.LocalPort()));
  Connection accepted;
  ASSERT_TRUE(listener.Accept(accepted));
  client.SendText("PING\r\n");
  char line[16];
  ASSERT_TRUE(accepted.ReadLine(line, sizeof line));
  EXPECT_STREQ(line, "PING");
}

TEST(ConnectionWakeTest, ManySessionsClosedFromOtherThreadsEachEndTheirOwnRead) {
  // Ten blocked readers, closed from ten threads at once, while new connections keep taking the
  // released handles: every reader ends with nothing, and no new connection loses a byte.
  Connection listener;
  ASSERT_TRUE(listener.Startup(1, 1));
  ASSERT_TRUE(listener.Listen(0, "127.0.0.1"));
  constexpr int kCount = 10;
  test::RawClient clients[kCount];
  Connection servers[kCount];
  std::future<bool> readers[kCount];
  for (int i = 0; i < kCount; ++i) {
    ASSERT_TRUE(clients[i].Connect(listener.LocalPort()));
    ASSERT_TRUE(listener.Accept(servers[i]));
    readers[i] = std::async(std::launch::async, [&servers, i] {
      char line[64];
      return servers[i].ReadLine(line, sizeof line);
    });
  }
  std::this_thread::sleep_for(100ms);
  std::thread closers[kCount];
  for (int i = 0; i < kCount; ++i) closers[i] = std::thread([&servers, i] { servers[i].Close(); });
  for (int round = 0; round < kCount; ++round) {
    test::RawClient fresh;
    ASSERT_TRUE(fresh.Connect(listener.LocalPort()));
    Connection accepted;
    ASSERT_TRUE(listener.Accept(accepted));
    ASSERT_TRUE(fresh.Send("LINE " + std::to_string(round) + "\r\n"));
    char line[64];
    ASSERT_TRUE(accepted.ReadLine(line, sizeof line));
    EXPECT_EQ(std::string(line), "LINE " + std::to_string(round));
  }
  for (auto& closer : closers) closer.join();
  for (int i = 0; i < kCount; ++i) {
    const bool ended = readers[i].wait_for(10s) == std::future_status::ready;
    if (!ended) clients[i].Close();  // so that even a failing test ends
    ASSERT_TRUE(ended) << "reader " << i << " was not woken";
    EXPECT_FALSE(readers[i].get()) << i;
    EXPECT_TRUE(clients[i].WaitClosed(10s)) << i;
  }
}

}  // namespace
}  // namespace quarv
