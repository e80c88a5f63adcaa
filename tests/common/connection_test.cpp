// Connection over real loopback sockets: the line rules, raw reads after a line, and closing
// from another thread.
#include "common/connection.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/test_support.h"

namespace quarv {
namespace {

// The names this program's resolver knows: one stands for 127.0.0.1, the other for ::1 and
// then 127.0.0.1 (a name of both families).
constexpr char kTestHostName[] = "quarv-test-host";
constexpr char kBothFamiliesName[] = "quarv-test-both";

std::mutex lookupMutex;
std::vector<std::string> lookedUp;

// The names looked up since the last call.
std::vector<std::string> LookedUpNames() {
  std::lock_guard<std::mutex> lock(lookupMutex);
  return std::exchange(lookedUp, {});
}

}  // namespace

// This program's name lookup, linked in place of the system's (platform/net.h): it notes each
// name Connection asks for and knows only kTestHostName and kBothFamiliesName.
bool platform::LookupHost(const char* name, std::vector<SocketAddress>* addresses) {
  {
    std::lock_guard<std::mutex> lock(lookupMutex);
    lookedUp.emplace_back(name);
  }
  addresses->clear();
  std::vector<const char*> texts;
  if (std::strcmp(name, kTestHostName) == 0) texts = {"127.0.0.1"};
  if (std::strcmp(name, kBothFamiliesName) == 0) texts = {"::1", "127.0.0.1"};
  for (const char* text : texts) {
    SocketAddress address;
    if (!ParseNumericAddress(text, 0, &address)) return false;
    addresses->push_back(address);
  }
  return !addresses->empty();
}

namespace {

using namespace std::chrono_literals;

// A connection accepted by the code under test, with a raw client at the other end. As in the
// programs, the listening connection starts the socket library (nothing to do on POSIX; Windows
// sockets need it).
struct Pair {
  Connection listener;
  Connection server;
  test::RawClient client;

  Pair() {
    EXPECT_TRUE(listener.Startup(1, 1));
    EXPECT_TRUE(listener.Listen(0, "127.0.0.1"));
    EXPECT_TRUE(client.Connect(listener.LocalPort()));
    EXPECT_TRUE(listener.Accept(server));
  }
};

std::string Line(Connection& connection, std::int32_t limit = 200) {
  std::array<char, 1024> buffer{};
  if (!connection.ReadLine(buffer.data(), limit)) return "<false>";
  return buffer.data();
}

TEST(ConnectionTest, LineEndsAreLfCrLfOrCrAndAnyByte) {
  Pair pair;
  pair.client.Send("HELO\r\nHELO\nWORD\rXnext\r\n\r\nlast\r\n");
  EXPECT_EQ(Line(pair.server), "HELO");
  EXPECT_EQ(Line(pair.server), "HELO");
  EXPECT_EQ(Line(pair.server), "WORD");  // the X after CR is swallowed
  EXPECT_EQ(Line(pair.server), "next");
  EXPECT_EQ(Line(pair.server), "");
  EXPECT_EQ(Line(pair.server), "last");
}

TEST(ConnectionTest, LineLimitKeepsTwoBytesForTheEnd) {
  Pair pair;
  const std::string fits(198, 'a');
  pair.client.Send(fits + "\r\n" + std::string(199, 'b') + "\r\n");
  EXPECT_EQ(Line(pair.server), fits);

  std::array<char, 256> buffer;
  buffer.fill('#');
  EXPECT_FALSE(pair.server.ReadLine(buffer.data(), 200));
  EXPECT_EQ(buffer[198], 'b');  // the 199th byte was taken ...
  EXPECT_EQ(buffer[199], '#');  // ... and nothing was written past limit - 2
}

TEST(ConnectionTest, NoLineWhenThePeerClosesMidLineOrAfterCr) {
  {
    Pair pair;
    pair.client.Send("HEL");
    pair.client.Close();
    EXPECT_EQ(Line(pair.server), "<false>");
  }
  {
    Pair pair;
    pair.client.Send("HELO\r");
    pair.client.Close();
    EXPECT_EQ(Line(pair.server), "<false>");
  }
}

TEST(ConnectionTest, RawBytesAfterALineComeOutOfTheNextReceive) {
  Pair pair;
  std::string raw("abc\0\r\ndef", 9);
  pair.client.Send("FileSize: 9 0\r\n\r\n" + raw + "0123456789abcdef");
  EXPECT_EQ(Line(pair.server), "FileSize: 9 0");
  EXPECT_EQ(Line(pair.server), "");
  std::array<char, 9> body{};
  std::uint32_t count = 0;
  ASSERT_TRUE(pair.server.Receive(body.data(), 9, &count));
  EXPECT_EQ(count, 9u);
  EXPECT_EQ(std::string(body.data(), 9), raw);
  std::array<char, 16> trailer{};
  ASSERT_TRUE(pair.server.Receive(trailer.data(), 16, &count));
  EXPECT_EQ(std::string(trailer.data(), 16), "0123456789abcdef");
}

TEST(ConnectionTest, ShortReceivesKeepWhatCameBehindThemForTheNextReads) {
  Pair pair;
  // A small body, its digest and the next reply in one piece: each read gets exactly its part.
  const std::string body = test::PatternBytes(1000, 3);
  pair.client.Send(body + "0123456789abcdef" + "200 File Transfer.\r\nFileSize: 5 0\r\n\r\n" +
                   "tail!");
  std::string got(1000, '\0');
  std::uint32_t count = 0;
  ASSERT_TRUE(pair.server.Receive(got.data(), 1000, &count));
  EXPECT_EQ(count, 1000u);
  EXPECT_EQ(got, body);
  std::array<char, 16> trailer{};
  ASSERT_TRUE(pair.server.Receive(trailer.data(), 16, &count));
  EXPECT_EQ(std::string(trailer.data(), 16), "0123456789abcdef");
  EXPECT_EQ(Line(pair.server), "200 File Transfer.");
  EXPECT_EQ(Line(pair.server), "FileSize: 5 0");
  EXPECT_EQ(Line(pair.server), "");
  // A short read that arrives in pieces is gathered whole; a long one after it gets the rest
  // of the buffered bytes first, then the socket's.
  std::array<char, 12> twelve{};
  std::thread pieces([&pair] {
    pair.client.Send("tai");
    std::this_thread::sleep_for(50ms);
    pair.client.Send("l2");
    std::this_thread::sleep_for(50ms);
    pair.client.Send("and more" + std::string(40000, 'x'));
  });
  ASSERT_TRUE(pair.server.Receive(twelve.data(), 12, &count));
  EXPECT_EQ(std::string(twelve.data(), count), "tail!tail2an");
  pieces.join();
  std::string rest(6 + 40000, '\0');
  ASSERT_TRUE(pair.server.Receive(rest.data(), static_cast<std::uint32_t>(rest.size()), &count));
  EXPECT_EQ(count, rest.size());
  EXPECT_EQ(rest, "d more" + std::string(40000, 'x'));
}

TEST(ConnectionTest, ReceiveCountsWhatArrivedBeforeTheClose) {
  {
    Pair pair;
    pair.client.Send(std::string(100, 'x'));
    pair.client.Close();
    std::array<char, 10240> buffer{};
    std::uint32_t count = 0;
    EXPECT_TRUE(pair.server.Receive(buffer.data(), 10240, &count));
    EXPECT_EQ(count, 100u);
  }
  {
    Pair pair;
    pair.client.Close();
    std::array<char, 16> buffer{};
    std::uint32_t count = 12345;
    EXPECT_FALSE(pair.server.Receive(buffer.data(), 16, &count));
    EXPECT_EQ(count, 12345u);
    EXPECT_FALSE(pair.server.Receive(buffer.data(), 0, &count));
  }
}

TEST(ConnectionTest, SendingToAGonePeerIsNoticedOnlyByTheNextReceive) {
  Pair pair;
  pair.client.Close();
  const std::string big(std::size_t{256} * 1024, 'z');
  for (int i = 0; i < 4; ++i) pair.server.SendText(big.c_str());
  std::array<char, 8> buffer{};
  EXPECT_FALSE(pair.server.Receive(buffer.data(), 8));
}

TEST(ConnectionTest, SendAllDeliversEveryByte) {
  Pair pair;
  const std::string data = test::PatternBytes(std::size_t{3} * 1024 * 1024);
  auto reader =
      std::async(std::launch::async, [&] { return pair.client.ReadBytes(data.size(), 30s); });
  EXPECT_TRUE(pair.server.SendAll(data.data(), static_cast<std::int32_t>(data.size())));
  EXPECT_TRUE(reader.get() == data);
}

// Queued bytes leave while a receive waits: with far more than the socket buffers hold going
// both ways, and a peer that reads only after it has sent everything (as a service answering
// requests before it reads the next ones), neither side waits for the other for ever.
TEST(ConnectionTest, QueuedBytesLeaveWhileAReceiveWaitsSoNeitherSideWaitsForEver) {
  Pair pair;
  const std::string requests(16 * 1024 * 1024, 'r');
  const std::string replies(16 * 1024 * 1024, 'a');
  auto peer = std::async(std::launch::async, [&] {
    return pair.client.Send(replies) ? pair.client.ReadBytes(requests.size(), 30s) : "";
  });
  auto receiver = std::async(std::launch::async, [&] {
    pair.server.Queue(requests);
    std::string got(replies.size(), '\0');
    std::uint32_t count = 0;
    const bool received =
        pair.server.Receive(got.data(), static_cast<std::uint32_t>(got.size()), &count);
    return received && count == got.size() && got == replies && pair.server.Flush();
  });
  const bool ended = receiver.wait_for(30s) == std::future_status::ready;
  if (!ended) pair.server.Close();  // ends both blocked sides, so that even a failing test ends
  ASSERT_TRUE(ended) << "the queued bytes and the reply waited for each other";
  EXPECT_TRUE(receiver.get());
  EXPECT_EQ(peer.get(), requests);
}

TEST(ConnectionTest, ListenOnAPortInUseFails) {
  Connection first;
  ASSERT_TRUE(first.Startup(1, 1));
  ASSERT_TRUE(first.Listen(0, "127.0.0.1"));
  Connection second;
  platform::NetError error;
  EXPECT_FALSE(second.Listen(first.LocalPort(), "127.0.0.1", &error));
  EXPECT_FALSE(second.IsOpen());
  // The system's reason comes back (EADDRINUSE, WSAEADDRINUSE), with its text.
  EXPECT_NE(error.code, 0u);
  EXPECT_FALSE(error.text.empty());
  second.Close();
}

TEST(ConnectionTest, OnlyHostNamesAreLookedUp) {
  Connection listener;
  ASSERT_TRUE(listener.Startup(1, 1));
  ASSERT_TRUE(listener.Listen(0, "127.0.0.1"));
  LookedUpNames();  // forget the lookups of earlier tests
  Connection client;
  EXPECT_TRUE(client.Connect("127.0.0.1", listener.LocalPort()));
  EXPECT_TRUE(LookedUpNames().empty());

  // A name is looked up, and the address it gives is the one connected to.
  Connection named;
  EXPECT_TRUE(named.Connect(kTestHostName, listener.LocalPort()));
  // The all-ones address converts to "none" and is therefore looked up as a name.
  Connection other;
  other.Connect("255.255.255.255", 1);
  EXPECT_EQ(LookedUpNames(), (std::vector<std::string>{kTestHostName, "255.255.255.255"}));

  Connection unresolvable;
  EXPECT_FALSE(unresolvable.Connect("no-such-host.invalid", 1));
  EXPECT_FALSE(unresolvable.IsOpen());  // no socket was created
}

// IPv6: a listener on ::1, reached by its address with or without brackets (never looked up),
// lines both ways, and each end's address as the log writes it.
TEST(ConnectionTest, Ipv6LoopbackCarriesLinesBothWays) {
  Connection listener;
  ASSERT_TRUE(listener.Startup(1, 1));
  ASSERT_TRUE(listener.Listen(0, "::1"));
  LookedUpNames();
  for (const char* host : {"::1", "[::1]"}) {
    Connection client;
    ASSERT_TRUE(client.Connect(host, listener.LocalPort())) << host;
    Connection accepted;
    ASSERT_TRUE(listener.Accept(accepted));
    client.SendText("PING\r\n");
    EXPECT_EQ(Line(accepted), "PING");
    accepted.SendText("PONG\r\n");
    EXPECT_EQ(Line(client), "PONG");
    EXPECT_EQ(platform::FormatAddressAndPort(client.Address()),
              "[::1]:" + std::to_string(listener.LocalPort()));
    EXPECT_EQ(platform::FormatAddress(accepted.Address()), "::1");
  }
  EXPECT_TRUE(LookedUpNames().empty());
}

// An IPv6 listener takes IPv4 clients too (as "::" does for every interface); such a client's
// mapped address reads as the IPv4 address it is. Bound to the IPv4 loopback, mapped, so that
// the test listens on no other interface.
TEST(ConnectionTest, Ipv6ListenerTakesIpv4ClientsShownAsIpv4) {
  Connection listener;
  ASSERT_TRUE(listener.Startup(1, 1));
  ASSERT_TRUE(listener.Listen(0, "::ffff:127.0.0.1"));
  Connection client;
  ASSERT_TRUE(client.Connect("127.0.0.1", listener.LocalPort()));
  Connection accepted;
  ASSERT_TRUE(listener.Accept(accepted));
  EXPECT_EQ(platform::FormatAddress(accepted.Address()), "127.0.0.1");
  EXPECT_EQ(platform::FormatAddressAndPort(accepted.Address()).rfind("127.0.0.1:", 0), 0u);
  client.SendText("PING\r\n");
  EXPECT_EQ(Line(accepted), "PING");
}

// A name of both families whose first address (::1) refuses: the next one (127.0.0.1) is tried
// and connects.
TEST(ConnectionTest, EachAddressOfANameIsTriedUntilOneConnects) {
  Connection listener;
  ASSERT_TRUE(listener.Startup(1, 1));
  ASSERT_TRUE(listener.Listen(0, "127.0.0.1"));
  LookedUpNames();
  Connection client;
  ASSERT_TRUE(client.Connect(kBothFamiliesName, listener.LocalPort()));
  EXPECT_EQ(LookedUpNames(), std::vector<std::string>{kBothFamiliesName});
  EXPECT_EQ(platform::FormatAddress(client.Address()), "127.0.0.1");
  Connection accepted;
  ASSERT_TRUE(listener.Accept(accepted));
  client.SendText("PING\r\n");
  EXPECT_EQ(Line(accepted), "PING");
}

TEST(ConnectionTest, ConnectAgainAfterClose) {
  Connection listener;
  ASSERT_TRUE(listener.Startup(1, 1));
  ASSERT_TRUE(listener.Listen(0, "127.0.0.1"));
  Connection client;
  for (int pass = 0; pass < 3; ++pass) {
    ASSERT_TRUE(client.Connect("127.0.0.1", listener.LocalPort()));
    Connection accepted;
    ASSERT_TRUE(listener.Accept(accepted));
    client.SendText("PING\r\n");
    EXPECT_EQ(Line(accepted), "PING");
    client.Close();
    EXPECT_EQ(Line(accepted), "<false>");
  }
}

TEST(ConnectionTest, CloseFromAnotherThreadWakesABlockedRead) {
  Pair pair;
  auto reader = std::async(std::launch::async, [&] { return Line(pair.server); });
  std::this_thread::sleep_for(100ms);
  pair.server.Close();
  ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(reader.get(), "<false>");
  pair.server.Close();  // the owner's own close afterwards is harmless
  EXPECT_TRUE(pair.client.WaitClosed(10s));
}

TEST(ConnectionTest, CloseFromAnotherThreadWakesABlockedAccept) {
  Connection listener;
  ASSERT_TRUE(listener.Startup(1, 1));
  ASSERT_TRUE(listener.Listen(0, "127.0.0.1"));
  auto acceptor = std::async(std::launch::async, [&] {
    Connection target;
    return listener.Accept(target);
  });
  std::this_thread::sleep_for(100ms);
  listener.Close();
  ASSERT_EQ(acceptor.wait_for(10s), std::future_status::ready);
  EXPECT_FALSE(acceptor.get());
}

TEST(ConnectionTest, ASecondCloseNeverReachesASocketThatReusedTheDescriptor) {
  Connection never;
  never.Close();  // no socket yet
  Pair pair;
  pair.server.Close();
  // A new connection now most likely holds the descriptor number just released.
  Pair fresh;
  pair.server.Close();
  fresh.client.Send("STILL\r\n");
  EXPECT_EQ(Line(fresh.server), "STILL");
  fresh.server.SendText("OK\r\n");
  EXPECT_EQ(fresh.client.ReadLine(), "OK\r\n");
}

TEST(ConnectionTest, ClosedConnectionHandsOutNoBufferedLine) {
  Pair pair;
  pair.client.Send("ONE\r\nTWO\r\n");
  EXPECT_EQ(Line(pair.server), "ONE");  // TWO now waits in the line buffer
  pair.server.Close();
  EXPECT_EQ(Line(pair.server), "<false>");
}

TEST(NetLibraryTest, StartsOnlyTheVersionAskedFor) {
  NetLibrary library;
  EXPECT_TRUE(library.Startup(1, 1));
  EXPECT_TRUE(library.IsStarted());
  EXPECT_TRUE(library.Startup(1, 1));  // a second start-up restarts
  // A version that no socket library returns (Windows offers up to 2.2, POSIX only 1.1).
  EXPECT_FALSE(library.Startup(3, 3));
  EXPECT_FALSE(library.IsStarted());
  library.Cleanup();
  NetLibrary never;
  never.Cleanup();
}

}  // namespace
}  // namespace quarv
