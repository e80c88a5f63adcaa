// The session layer: challenge, login, status lines by state, QUIT, line rules.
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/tls.h"
#include "service/server_session.h"
#include "tests/service/service_test_support.h"

namespace quarv::test {
namespace {

using SessionTest = ServerTest;

TEST_F(SessionTest, ChallengeIsSixteenLettersFixedForTheSessionAndDrawnPerSession) {
  RawClient first;
  RawClient second;
  ASSERT_TRUE(first.Connect(port()));
  ASSERT_TRUE(second.Connect(port()));
  ASSERT_TRUE(first.Send("HELO\r\n"));
  const std::string challenge = first.ReadLine();
  EXPECT_TRUE(std::regex_match(challenge, std::regex("200 [a-y]{16}\r\n"))) << challenge;
  ASSERT_TRUE(first.Send("HELO again\r\n"));
  EXPECT_EQ(first.ReadLine(), challenge);
  // Two sessions started in the same second get different challenges.
  ASSERT_TRUE(second.Send("HELO\r\n"));
  const std::string other = second.ReadLine();
  EXPECT_TRUE(std::regex_match(other, std::regex("200 [a-y]{16}\r\n"))) << other;
  EXPECT_NE(other, challenge);
}

TEST_F(SessionTest, RightTokenLogsInAndWrongTokensMayBeRetried) {
  RawClient client;
  ASSERT_TRUE(client.Connect(port()));
  ASSERT_TRUE(client.Send("HELO\r\n"));
  const std::string challenge = client.ReadLine();
  const std::string token = TokenFor(challenge, kPassword);
  std::string lower = token;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  ASSERT_NE(lower, token);  // the digest has letters
  const std::string wrongPassword = TokenFor(challenge, "open sesamE");

  const char* unauthorized = "401 Unauthorized.\r\n";
  ASSERT_TRUE(client.Send("ENTER " + lower + "\r\n"));
  EXPECT_EQ(client.ReadLine(), unauthorized);
  ASSERT_TRUE(client.Send("ENTER " + token + " \r\n"));
  EXPECT_EQ(client.ReadLine(), unauthorized);
  ASSERT_TRUE(client.Send("ENTER " + token.substr(0, 31) + "\r\n"));
  EXPECT_EQ(client.ReadLine(), unauthorized);
  ASSERT_TRUE(client.Send("ENTER " + wrongPassword + "\r\n"));
  EXPECT_EQ(client.ReadLine(), unauthorized);
  ASSERT_TRUE(client.Send("ENTER \r\n"));
  EXPECT_EQ(client.ReadLine(), unauthorized);
  ASSERT_TRUE(client.Send("ENTER\r\n"));
  EXPECT_EQ(client.ReadLine(), "400 Bad Request.\r\n");
  ASSERT_TRUE(client.Send("ENTER " + token + "\r\n"));
  EXPECT_EQ(client.ReadLine(), "200 Welcome.\r\n");
  ASSERT_TRUE(client.Send("LIST\r\n"));
  EXPECT_EQ(client.ReadLine(), "200 List of files.\r\n");
}

TEST_F(SessionTest, EnterIsJudgedAgainstTheSessionsOwnChallenge) {
  RawClient client;
  ASSERT_TRUE(client.Connect(port()));
  // ENTER needs no HELO before it: it is judged at once.
  ASSERT_TRUE(client.Send("ENTER 0123456789ABCDEF0123456789ABCDEF\r\n"));
  EXPECT_EQ(client.ReadLine(), "401 Unauthorized.\r\n");
  ASSERT_TRUE(client.Send("HELO\r\n"));
  const std::string token = TokenFor(client.ReadLine(), kPassword);
  // A token seen in one session does not log in another.
  RawClient other;
  ASSERT_TRUE(other.Connect(port()));
  ASSERT_TRUE(other.Send("ENTER " + token + "\r\n"));
  EXPECT_EQ(other.ReadLine(), "401 Unauthorized.\r\n");
  ASSERT_TRUE(client.Send("ENTER " + token + "\r\n"));
  EXPECT_EQ(client.ReadLine(), "200 Welcome.\r\n");
}

TEST_F(SessionTest, StatusLinesDependOnTheState) {
  RawClient client;
  ASSERT_TRUE(client.Connect(port()));
  const char* unknown = "400 Unknown Message.\r\n";
  for (const char* line : {"LIST\r\n", "GET a\r\n", "DELE a\r\n", "GET\r\n", "\r\n", "quit\r\n",
                           "QUIT\tnow\r\n", "HELLO\r\n", "Helo\r\n"}) {
    ASSERT_TRUE(client.Send(line));
    EXPECT_EQ(client.ReadLine(), unknown) << "before login: " << line;
  }
  ASSERT_TRUE(client.Login(kPassword));
  for (const char* line :
       {"HELO\r\n", "ENTER x\r\n", "ENTER\r\n", "list\r\n", "\r\n", "NOOP\r\n"}) {
    ASSERT_TRUE(client.Send(line));
    EXPECT_EQ(client.ReadLine(), unknown) << "after login: " << line;
  }
  for (const char* line : {"GET\r\n", "DELE\r\n"}) {
    ASSERT_TRUE(client.Send(line));
    EXPECT_EQ(client.ReadLine(), "400 Bad Request.\r\n") << line;
  }
  // The session is still usable.
  ASSERT_TRUE(client.Send("LIST ignored words\r\n"));
  EXPECT_EQ(ReadListing(client), "200 List of files.\r\n.\r\n");
}

TEST_F(SessionTest, QuitInEitherStateSaysGoodByeAndCloses) {
  RawClient before;
  ASSERT_TRUE(before.Connect(port()));
  ASSERT_TRUE(before.Send("QUIT\r\n"));
  EXPECT_EQ(before.ReadLine(), "200 GoodBye.\r\n");
  EXPECT_TRUE(before.WaitClosed(10s));

  auto after = LoggedIn();
  ASSERT_TRUE(after->Send("QUIT and some words\r\n"));
  EXPECT_EQ(after->ReadLine(), "200 GoodBye.\r\n");
  EXPECT_TRUE(after->WaitClosed(10s));
}

TEST_F(SessionTest, LineOf198BytesIsReadAnd199BytesEndTheSessionWithoutReply) {
  RawClient client;
  ASSERT_TRUE(client.Connect(port()));
  ASSERT_TRUE(client.Send(std::string(198, 'X') + "\r\n"));
  EXPECT_EQ(client.ReadLine(), "400 Unknown Message.\r\n");
  ASSERT_TRUE(client.Send("QUIT " + std::string(193, 'x') + "\r\n"));  // 198 bytes: QUIT
  EXPECT_EQ(client.ReadLine(), "200 GoodBye.\r\n");

  RawClient tooLong;
  ASSERT_TRUE(tooLong.Connect(port()));
  ASSERT_TRUE(tooLong.Send("QUIT " + std::string(194, 'x') + "\r\n"));  // 199 bytes
  EXPECT_TRUE(tooLong.WaitClosed(10s));
  EXPECT_EQ(tooLong.ReadAll(1s), "");
}

TEST_F(SessionTest, BareLfEndsALineAndTheByteAfterCrIsSwallowed) {
  RawClient client;
  ASSERT_TRUE(client.Connect(port()));
  ASSERT_TRUE(client.Send("HELO\n"));
  const std::string challenge = client.ReadLine();
  EXPECT_EQ(challenge.size(), 22u);
  // "HELO" CR "Q": the Q is taken as the line end, so the next line is "QUIT", not "QQUIT".
  ASSERT_TRUE(client.Send("HELO\rQQUIT\r\n"));
  EXPECT_EQ(client.ReadLine(), challenge);
  EXPECT_EQ(client.ReadLine(), "200 GoodBye.\r\n");
  EXPECT_TRUE(client.WaitClosed(10s));
}

TEST_F(SessionTest, SeveralLinesInOneSendAreAnsweredInOrder) {
  RawClient client;
  ASSERT_TRUE(client.Connect(port()));
  ASSERT_TRUE(client.Send("HELO\r\nLIST\r\nHELO\r\n"));
  const std::string challenge = client.ReadLine();
  EXPECT_EQ(challenge.substr(0, 4), "200 ");
  EXPECT_EQ(client.ReadLine(), "400 Unknown Message.\r\n");
  EXPECT_EQ(client.ReadLine(), challenge);
}

TEST_F(SessionTest, LoginTimerClosesASilentClientAndSparesALoggedInOne) {
  // The logged-in client starts first, so that its timer would have run out before the others'.
  auto idle = LoggedIn();
  RawClient silent;
  RawClient failing;
  ASSERT_TRUE(silent.Connect(port()));
  ASSERT_TRUE(failing.Connect(port()));
  // Wrong tokens do not stop the timer.
  ASSERT_TRUE(failing.Send("ENTER 0123456789ABCDEF0123456789ABCDEF\r\n"));
  EXPECT_EQ(failing.ReadLine(), "401 Unauthorized.\r\n");
  // The timer runs about five seconds; both are closed well within the bound, without a byte.
  EXPECT_TRUE(silent.WaitClosed(20s));
  EXPECT_EQ(silent.ReadAll(100ms), "");
  EXPECT_TRUE(failing.WaitClosed(20s));
  // The logged-in client has been idle past the timer and is served still.
  std::this_thread::sleep_for(500ms);
  ASSERT_TRUE(idle->Send("LIST\r\n"));
  EXPECT_EQ(ReadListing(*idle), "200 List of files.\r\n.\r\n");
}

// With TLS the handshake runs under the login timer: a client that begins one (the first bytes
// of a ClientHello) and stalls is closed as a silent one is, without a byte, and its place is
// free again.
TEST(TlsSessionTest, AStalledHandshakeIsClosedByTheLoginTimer) {
  TempDir dir;
  const fs::path base = dir.path() / kBaseName;
  fs::create_directory(base);
  std::string certificate;
  std::string key;
  std::string error;
  ASSERT_TRUE(platform::MakeSelfSignedIdentity("localhost", &certificate, &key, &error)) << error;
  std::unique_ptr<platform::TlsContext> tls =
      platform::TlsContext::ForServer(certificate, key, &error);
  ASSERT_NE(tls, nullptr) << error;
  ServerSettings settings;
  std::strcpy(settings.base, base.c_str());
  std::strcpy(settings.password, kPassword);
  std::strcpy(settings.address, "127.0.0.1");
  FileServer server;
  ASSERT_TRUE(server.Start(settings, nullptr, std::move(tls)));
  RawClient stalled;
  ASSERT_TRUE(stalled.Connect(server.LocalPort()));
  // A handshake record header and the start of a ClientHello, of the 200 bytes announced.
  ASSERT_TRUE(stalled.Send(std::string("\x16\x03\x01\x00\xc8\x01\x00\x00\xc4\x03\x03", 11)));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(stalled.ReadAll(kLoginTime + 3s), "");
  EXPECT_LT(std::chrono::steady_clock::now() - start, kLoginTime + 3s) << "never closed";
  server.Stop();
}

// Sessions that pipeline wrong tokens get about 50 answers a second between them, while a
// client with the right password, arriving in the middle of it, is let in at once; a stop ends
// the waits at once.
TEST(LoginPacingTest, GuessingIsSlowedServiceWideAndTheRightTokenIsNot) {
  InProcessServer server;
  ASSERT_TRUE(server.Start(kPassword));
  constexpr int kGuessers = kMaxSessions - 1;  // one place is left for the right client
  // 8 KB a session, so that the sends never wait for the server to read.
  constexpr int kGuessesEach = 200;
  std::string guesses;
  for (int i = 0; i < kGuessesEach; ++i) guesses += "ENTER 0123456789ABCDEF0123456789ABCDEF\r\n";
  std::vector<std::unique_ptr<RawClient>> guessers;
  // Answers are counted from the first connect (a connect may take a while on a busy machine).
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kGuessers; ++i) {
    guessers.push_back(std::make_unique<RawClient>());
    ASSERT_TRUE(guessers.back()->Connect(server.port()));
    ASSERT_TRUE(guessers.back()->Send(guesses));
  }

  int answers = 0;
  bool rightClientDone = false;
  RawClient right;
  const auto reading = std::chrono::steady_clock::now();
  for (int round = 0; round < 100000 && std::chrono::steady_clock::now() - reading < 1s; ++round) {
    for (auto& guesser : guessers) {
      const std::string line = guesser->ReadLine(5ms);
      if (line.empty()) continue;
      ASSERT_EQ(line, "401 Unauthorized.\r\n");
      ++answers;
    }
    if (!rightClientDone && std::chrono::steady_clock::now() - reading > 500ms) {
      rightClientDone = true;
      ASSERT_TRUE(right.Connect(server.port()));
      ASSERT_TRUE(right.Send("HELO\r\n"));
      const std::string token = TokenFor(right.ReadLine(), kPassword);
      const auto asked = std::chrono::steady_clock::now();
      ASSERT_TRUE(right.Send("ENTER " + token + "\r\n"));
      EXPECT_EQ(right.ReadLine(), "200 Welcome.\r\n");
      EXPECT_LT(std::chrono::steady_clock::now() - asked, 300ms);
    }
  }
  // One answer per 20 ms in all, about 50 a second (unpaced, all 1800 would come at once).
  const auto turns = (std::chrono::steady_clock::now() - start) / kFailedLoginInterval;
  EXPECT_LE(answers, turns + 20);
  EXPECT_GE(answers, 10);
  EXPECT_TRUE(rightClientDone);

  const auto stopping = std::chrono::steady_clock::now();
  server.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, 1s);
}

// Wrong tokens booked far ahead put the next free turn seconds away (the sessions above can
// book only about 200 ms, too little to tell a waiting right token from a busy machine). The
// right token is let in at once all the same, a wrong one waits, and a stop ends every wait at
// once, the session's too.
TEST(LoginPacingTest, TheRightTokenSkipsTurnsBookedSecondsAheadAndAStopEndsEveryWait) {
  InProcessServer server;
  ASSERT_TRUE(server.Start(kPassword));
  RawClient right;
  RawClient wrong;
  ASSERT_TRUE(right.Connect(server.port()));
  ASSERT_TRUE(wrong.Connect(server.port()));
  ASSERT_TRUE(right.Send("HELO\r\n"));
  const std::string token = TokenFor(right.ReadLine(), kPassword);

  // Each thread holds one turn, as a session answering a wrong token does: 300 turns of 20 ms
  // put the next free one six seconds away.
  constexpr int kBooked = 300;
  std::atomic<int> calling{0};
  std::atomic<int> granted{0};
  std::vector<std::jthread> booked;
  for (int i = 0; i < kBooked; ++i) {
    booked.emplace_back([&] {
      ++calling;
      if (server.server().AwaitFailedLoginTurn()) ++granted;
    });
  }
  for (int wait = 0; wait < 1000 && calling.load() < kBooked; ++wait) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_EQ(calling.load(), kBooked);
  std::this_thread::sleep_for(200ms);  // the last callers take their turns

  const auto asked = std::chrono::steady_clock::now();
  ASSERT_TRUE(right.Send("ENTER " + token + "\r\n"));
  EXPECT_EQ(right.ReadLine(), "200 Welcome.\r\n");
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 1s);

  ASSERT_TRUE(wrong.Send("ENTER 0123456789ABCDEF0123456789ABCDEF\r\n"));
  EXPECT_EQ(wrong.ReadLine(1s), "");  // its turn comes after the booked ones

  const auto stopping = std::chrono::steady_clock::now();
  server.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, 2s);
  for (auto& thread : booked) thread.join();
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, 2s);
  EXPECT_LT(granted.load(), kBooked);  // the later turns were ended by the stop
  EXPECT_EQ(wrong.ReadAll(2s), "");    // closed without an answer
}

// A server started again after a stop (a pause and a continue) answers wrong tokens again,
// rather than ending their sessions as during the stop.
TEST(LoginPacingTest, AfterAStopAndAStartWrongTokensAreAnsweredAgain) {
  InProcessServer server;
  ASSERT_TRUE(server.Start(kPassword));
  server.Stop();
  ASSERT_TRUE(server.Start(kPassword));
  RawClient client;
  ASSERT_TRUE(client.Connect(server.port()));
  ASSERT_TRUE(client.Send("ENTER 0123456789ABCDEF0123456789ABCDEF\r\n"));
  EXPECT_EQ(client.ReadLine(), "401 Unauthorized.\r\n");
}

}  // namespace
}  // namespace quarv::test
