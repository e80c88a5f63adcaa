// The pieces under the protocol: challenge, token comparison, name rules, base prefix.
#include <array>
#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/md5.h"
#include "platform/paths.h"
#include "service/file_names.h"
#include "service/file_server.h"
#include "service/login.h"

namespace quarv {
namespace {

// 100,000 challenges: 1.6 million letters, 64,000 of each expected (standard deviation about
// 250). Each count must lie within 3 % (about 7.7 deviations: a false alarm about once in 10^13
// runs). A draw that keeps one byte value it should reject makes one letter 11/251 instead of
// 1/25 likely (+9.6 %, about 25 deviations); a plain modulo of every byte makes six letters
// 11/256 likely (+7.4 %, about 19 deviations).
TEST(ChallengeTest, SixteenLettersFromAToYEachEquallyLikely) {
  constexpr int kChallenges = 100000;
  constexpr double kExpected = kChallenges * 16.0 / 25;
  std::array<int, 25> counts{};
  std::set<std::string> challenges;
  for (int i = 0; i < kChallenges; ++i) {
    char challenge[kChallengeBufferSize];
    std::memset(challenge, '#', sizeof challenge);
    ASSERT_TRUE(FileServer::MakeChallenge(challenge));
    ASSERT_EQ(std::strlen(challenge), 16u);
    for (int j = 0; j < 16; ++j) {
      ASSERT_GE(challenge[j], 'a');
      ASSERT_LE(challenge[j], 'y');
      ++counts[static_cast<std::size_t>(challenge[j] - 'a')];
    }
    if (i < 400) challenges.insert(challenge);
  }
  for (std::size_t letter = 0; letter < counts.size(); ++letter) {
    EXPECT_NEAR(counts[letter], kExpected, kExpected * 0.03) << static_cast<char>('a' + letter);
  }
  EXPECT_EQ(challenges.size(), 400u);  // no whole challenge repeats
}

TEST(TokenTest, TokenIsUpperCaseMd5OfChallengeColonPassword) {
  const std::string text = "abcdefghijklmnop:secret";
  EXPECT_EQ(LoginToken("abcdefghijklmnop", "secret"),
            Md5HexOf(text.data(), static_cast<std::uint32_t>(text.size())));
  // MD5 of "a:" is known independently of this code base.
  EXPECT_EQ(LoginToken("a", ""), "357503986951B80E896B8616A418A4D6");
}

TEST(TokenTest, OnlyTheExactTokenMatches) {
  const std::string token = "0123456789ABCDEF0123456789ABCDEF";
  EXPECT_TRUE(TokenMatches(token.c_str(), token));
  EXPECT_FALSE(TokenMatches("0123456789abcdef0123456789abcdef", token));
  EXPECT_FALSE(TokenMatches((token + " ").c_str(), token));
  EXPECT_FALSE(TokenMatches(token.substr(0, 31).c_str(), token));
  EXPECT_FALSE(TokenMatches("", token));
  EXPECT_FALSE(TokenMatches("1123456789ABCDEF0123456789ABCDEF", token));
  EXPECT_FALSE(TokenMatches("0123456789ABCDEF0123456789ABCDEE", token));
  EXPECT_FALSE(TokenMatches("", ""));  // no token formed: nothing matches
}

TEST(FailedLoginPacerTest, TurnsComeOneIntervalApartAndStopEndsEveryWaitAtOnce) {
  using namespace std::chrono_literals;
  FailedLoginPacer pacer(25ms);
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> sessions;
  for (int session = 0; session < 3; ++session) {
    sessions.emplace_back([&pacer] {
      for (int turn = 0; turn < 3; ++turn) EXPECT_TRUE(pacer.AwaitTurn());
    });
  }
  for (auto& session : sessions) session.join();
  // Nine turns: the first at once, then one every 25 ms.
  EXPECT_GE(std::chrono::steady_clock::now() - start, 8 * 25ms);

  FailedLoginPacer slow(1h);
  EXPECT_TRUE(slow.AwaitTurn());  // nobody failed before: at once
  bool turn = true;
  std::thread waiting([&] { turn = slow.AwaitTurn(); });
  std::this_thread::sleep_for(50ms);
  const auto stopping = std::chrono::steady_clock::now();
  slow.Stop();
  waiting.join();
  EXPECT_FALSE(turn);
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, 5s);
  EXPECT_FALSE(slow.AwaitTurn());  // stopped: no waiting
}

TEST(NameRulesTest, NamesLeavingTheBase) {
  for (const char* name :
       {"..", "../x", "a/../../x", "a/..", "/etc/passwd", "/", "a/../b", "x/y/../../.."}) {
    EXPECT_TRUE(NameLeavesBase(name)) << name;
  }
  for (const char* name :
       {"", "file", "a/b", "..x", "x..", "a..b/c", "./x", ".", "...", "a\\..\\b", "sub dir/f"}) {
    EXPECT_FALSE(NameLeavesBase(name)) << name;
  }
}

TEST(NameRulesTest, PrefixAndNameMustStayBelow245Bytes) {
  EXPECT_TRUE(NameFits(200, std::string(44, 'n').c_str()));
  EXPECT_FALSE(NameFits(200, std::string(45, 'n').c_str()));
  EXPECT_TRUE(NameFits(1, ""));
}

TEST(BasePrefixTest, OneClosingSlashAndNoOverflow) {
  char prefix[260];
  ASSERT_TRUE(platform::FormBasePrefix("/srv/files", prefix, sizeof prefix));
  EXPECT_STREQ(prefix, "/srv/files/");
  ASSERT_TRUE(platform::FormBasePrefix("/srv/files/", prefix, sizeof prefix));
  EXPECT_STREQ(prefix, "/srv/files/");
  ASSERT_TRUE(platform::FormBasePrefix("", prefix, sizeof prefix));
  EXPECT_STREQ(prefix, "/");
  EXPECT_STREQ(platform::DefaultBase(), "/");
  char small[7];
  EXPECT_TRUE(platform::FormBasePrefix("/abcd", small, sizeof small));
  EXPECT_STREQ(small, "/abcd/");
  EXPECT_FALSE(platform::FormBasePrefix("/abcde", small, sizeof small));
  EXPECT_STREQ(small, "");
}

}  // namespace
}  // namespace quarv
