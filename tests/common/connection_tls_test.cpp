// A connection over TLS: the same lines and raw bytes as in the clear, requests queued far
// ahead of the replies, and handshakes that fail or stall without a protocol byte.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <future>
#include <memory>
#include <string>

#include "common/connection.h"
#include "platform/tls.h"
#include "tests/support/test_support.h"

namespace quarv {
namespace {

using namespace std::chrono_literals;

struct Identity {
  std::string certificate, key, fingerprint;
};

Identity MakeIdentity() {
  Identity identity;
  std::string error;
  EXPECT_TRUE(
      platform::MakeSelfSignedIdentity("localhost", &identity.certificate, &identity.key, &error))
      << error;
  EXPECT_TRUE(
      platform::CheckIdentity(identity.certificate, identity.key, &identity.fingerprint, &error))
      << error;
  return identity;
}

// A listening connection on 127.0.0.1 with the service's TLS settings, and the agent's.
struct TlsSides {
  Identity identity = MakeIdentity();
  std::string error;
  std::unique_ptr<platform::TlsContext> serverContext =
      platform::TlsContext::ForServer(identity.certificate, identity.key, &error);
  std::unique_ptr<platform::TlsContext> clientContext = platform::TlsContext::ForClient(&error);
  Connection listener;

  TlsSides() {
    EXPECT_TRUE(serverContext && clientContext) << error;
    EXPECT_TRUE(listener.Startup(1, 1));
    EXPECT_TRUE(listener.Listen(0, "127.0.0.1"));
  }
};

// Both ends of one connection, the handshake done.
struct TlsPair : TlsSides {
  Connection server;
  Connection client;

  TlsPair() {
    auto accepted = std::async(std::launch::async, [&] {
      std::string why;
      return listener.Accept(server) && server.StartTls(*serverContext, &why);
    });
    std::string why;
    EXPECT_TRUE(client.Connect("127.0.0.1", listener.LocalPort()));
    EXPECT_TRUE(client.StartTls(*clientContext, &why)) << why;
    EXPECT_TRUE(accepted.get());
    // A byte that never comes fails the test instead of holding it up.
    server.SetReceiveTimeout(kNoByteFor);
    client.SetReceiveTimeout(kNoByteFor);
  }
  static constexpr std::uint32_t kNoByteFor = 30000;  // milliseconds
};

std::string Line(Connection& connection) {
  std::array<char, 1024> buffer{};
  return connection.ReadLine(buffer.data(), static_cast<std::int32_t>(buffer.size()))
             ? buffer.data()
             : "<false>";
}

TEST(ConnectionTlsTest, LinesAndRawBytesPassAsInTheClearAndThePeerShowsItsCertificate) {
  TlsPair pair;
  EXPECT_EQ(pair.client.PeerFingerprint(), pair.identity.fingerprint);
  EXPECT_EQ(pair.client.TlsDescription().rfind("TLSv1.3 ", 0), 0u) << pair.client.TlsDescription();
  EXPECT_EQ(pair.server.TlsDescription(), pair.client.TlsDescription());

  // A reply as the service sends one: the header queued, then a body in sends of their own (the
  // first one short, sealed together with the header), then a digest and a line queued and
  // flushed; read as the agent reads it, with the line reader's buffer holding what follows each
  // line.
  const std::string body = test::PatternBytes(std::size_t{3} * 1024 * 1024 + 7);
  auto sender = std::async(std::launch::async, [&] {
    pair.server.Queue("200 File Transfer.\r\nFileSize: 7 0\r\n\r\n");
    bool sent = pair.server.SendAll(body.data(), 7);
    for (std::size_t at = 7; sent && at < body.size(); at += 128 * 1024) {
      const std::size_t part = std::min<std::size_t>(128 * 1024, body.size() - at);
      sent = pair.server.SendAll(body.data() + at, static_cast<std::int32_t>(part));
    }
    pair.server.Queue("0123456789abcdef");
    pair.server.Queue("QUIT\r\n");
    return pair.server.Flush() && sent;
  });
  EXPECT_EQ(Line(pair.client), "200 File Transfer.");
  EXPECT_EQ(Line(pair.client), "FileSize: 7 0");
  EXPECT_EQ(Line(pair.client), "");
  std::string got(body.size() + 16, '\0');
  std::uint32_t count = 0;
  ASSERT_TRUE(pair.client.Receive(got.data(), static_cast<std::uint32_t>(got.size()), &count));
  EXPECT_EQ(count, got.size());
  EXPECT_TRUE(got == body + "0123456789abcdef");
  EXPECT_EQ(Line(pair.client), "QUIT");
  EXPECT_TRUE(sender.get());
}

// As in the clear: far more than the socket buffers hold, queued both ways, and a peer that
// reads only after it has sent everything. With TLS the queued text is sealed when a receive
// starts, and a receive must take what the session holds already before it waits on the socket.
TEST(ConnectionTlsTest, QueuedRecordsLeaveWhileAReceiveWaitsSoNeitherSideWaitsForEver) {
  TlsPair pair;
  const std::string requests(8 * 1024 * 1024, 'r');
  const std::string replies(8 * 1024 * 1024, 'a');
  auto peer = std::async(std::launch::async, [&] {
    std::string got(requests.size(), '\0');
    std::uint32_t count = 0;
    return pair.server.SendAll(replies.data(), static_cast<std::int32_t>(replies.size())) &&
                   pair.server.Receive(got.data(), static_cast<std::uint32_t>(got.size()),
                                       &count) &&
                   count == got.size()
               ? got
               : std::string();
  });
  auto receiver = std::async(std::launch::async, [&] {
    // Many small queued requests, as the agent sends them ahead.
    for (std::size_t at = 0; at < requests.size(); at += 64 * 1024) {
      pair.client.Queue(requests.substr(at, 64 * 1024));
    }
    std::string got(replies.size(), '\0');
    std::uint32_t count = 0;
    const bool received =
        pair.client.Receive(got.data(), static_cast<std::uint32_t>(got.size()), &count);
    return received && count == got.size() && got == replies && pair.client.Flush();
  });
  const bool ended = receiver.wait_for(60s) == std::future_status::ready;
  if (!ended) {
    pair.client.Close();  // ends both blocked sides, so that even a failing test ends
    pair.server.Close();
  }
  ASSERT_TRUE(ended) << "the queued records and the reply waited for each other";
  EXPECT_TRUE(receiver.get());
  EXPECT_TRUE(peer.get() == requests);
}

// A plain client gets no protocol byte from a TLS end, and a TLS client none from a plain one:
// each handshake fails with a reason.
TEST(ConnectionTlsTest, PlainAndTlsEndsNeverTalkTheProtocol) {
  TlsSides sides;
  {
    Connection server;
    test::RawClient plain;
    ASSERT_TRUE(plain.Connect(sides.listener.LocalPort()));
    ASSERT_TRUE(sides.listener.Accept(server));
    ASSERT_TRUE(plain.Send("HELO\r\n"));
    std::string why;
    EXPECT_FALSE(server.StartTls(*sides.serverContext, &why));
    EXPECT_FALSE(why.empty());
    server.Close();
    const std::string answer = plain.ReadAll(5s);
    EXPECT_EQ(answer.find("200"), std::string::npos) << answer;
  }
  {
    // A plain service answers the ClientHello as a line it does not know, and closes.
    Connection server, client;
    auto plainService = std::async(std::launch::async, [&] {
      std::array<char, 200> line{};
      if (!sides.listener.Accept(server)) return;
      (void)server.ReadLine(line.data(), static_cast<std::int32_t>(line.size()));
      server.SendText("500 Unknown Command.\r\n");
      server.Close();
    });
    ASSERT_TRUE(client.Connect("127.0.0.1", sides.listener.LocalPort()));
    std::string why;
    EXPECT_FALSE(client.StartTls(*sides.clientContext, &why));
    EXPECT_FALSE(why.empty());
    plainService.get();
  }
}

// A client that begins a handshake and stalls: the handshake waits until a Close from another
// thread (the service's login timer) ends it, at once.
TEST(ConnectionTlsTest, AStalledHandshakeEndsWhenTheConnectionIsClosed) {
  TlsSides sides;
  Connection server;
  test::RawClient stalling;
  ASSERT_TRUE(stalling.Connect(sides.listener.LocalPort()));
  ASSERT_TRUE(sides.listener.Accept(server));
  // The first bytes of a TLS record carrying a ClientHello, and nothing more.
  ASSERT_TRUE(stalling.Send(std::string("\x16\x03\x01\x02\x00\x01", 6)));
  auto handshake = std::async(std::launch::async, [&] {
    std::string why;
    return server.StartTls(*sides.serverContext, &why);
  });
  EXPECT_EQ(handshake.wait_for(300ms), std::future_status::timeout);
  const auto closed = std::chrono::steady_clock::now();
  server.Close();
  ASSERT_EQ(handshake.wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(handshake.get());
  EXPECT_LT(std::chrono::steady_clock::now() - closed, 2s);
}

}  // namespace
}  // namespace quarv
