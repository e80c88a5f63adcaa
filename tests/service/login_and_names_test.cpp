// The pieces under the protocol: challenge, token comparison, name rules, base prefix.
#include <cstring>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "common/md5.h"
#include "platform/paths.h"
#include "service/file_names.h"
#include "service/file_server.h"
#include "service/login.h"

namespace quarv {
namespace {

TEST(ChallengeTest, SixteenLettersFromAToYAndEveryLetterOccurs) {
  std::set<char> letters;
  std::set<std::string> challenges;
  for (int i = 0; i < 400; ++i) {
    char challenge[kChallengeBufferSize];
    std::memset(challenge, '#', sizeof challenge);
    ASSERT_TRUE(FileServer::MakeChallenge(challenge));
    ASSERT_EQ(std::strlen(challenge), 16u);
    for (int j = 0; j < 16; ++j) {
      ASSERT_GE(challenge[j], 'a');
      ASSERT_LE(challenge[j], 'y');
      letters.insert(challenge[j]);
    }
    challenges.insert(challenge);
  }
  // 6400 letters: all 25 show up (a missing one would be a broken draw), none repeats a whole
  // challenge.
  EXPECT_EQ(letters.size(), 25u);
  EXPECT_EQ(challenges.size(), 400u);
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
