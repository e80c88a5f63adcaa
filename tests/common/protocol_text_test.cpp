// The small text rules of the protocol: cutting a line at its first blank, the numbers, and the
// reply lines that carry a value.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/protocol.h"
#include "common/split_token.h"
#include "common/wire_number.h"

namespace quarv {
namespace {

TEST(SplitTokenTest, CutsAtTheFirstBlankOnly) {
  char line[] = "GET my file.txt";
  const char* rest = SplitToken(line);
  ASSERT_NE(rest, nullptr);
  EXPECT_STREQ(line, "GET");
  EXPECT_STREQ(rest, "my file.txt");

  char trailing[] = "ENTER ";
  rest = SplitToken(trailing);
  ASSERT_NE(rest, nullptr);
  EXPECT_STREQ(trailing, "ENTER");
  EXPECT_STREQ(rest, "");

  char tab[] = "QUIT\tnow";
  EXPECT_EQ(SplitToken(tab), nullptr);
  EXPECT_STREQ(tab, "QUIT\tnow");
}

TEST(WireNumberTest, DecimalReadingRule) {
  EXPECT_EQ(ParseWord("5999"), 5999u);
  EXPECT_EQ(ParseWord("  \t42abc"), 42u);
  EXPECT_EQ(ParseWord("+7"), 7u);
  EXPECT_EQ(ParseWord("abc"), 0u);
  EXPECT_EQ(ParseWord(""), 0u);
  EXPECT_EQ(ParseWord("- 5"), 0u);
  EXPECT_EQ(ParseWord("4294967295"), 4294967295u);
  EXPECT_EQ(ParseWord("4294967296"), 0u);  // modulo 2^32
  EXPECT_EQ(ParseWord("4294967301"), 5u);
  EXPECT_EQ(ParseWord("-1"), 4294967295u);
  EXPECT_EQ(ParseInt("-1"), -1);
  EXPECT_EQ(ParseInt("0"), 0);
  EXPECT_EQ(ParseInt(" 65536x"), 65536);
}

TEST(WireNumberTest, WordsLowFirst) {
  const std::uint64_t fiveGiB = 5ull << 30;
  EXPECT_EQ(FormatWords(fiveGiB), "1073741824 1");
  EXPECT_EQ(FormatWords(0), "0 0");
  EXPECT_EQ(FormatWords(~0ull), "4294967295 4294967295");

  std::uint32_t low = 9, high = 9;
  EXPECT_TRUE(ParseWords("1073741824 1", &low, &high));
  EXPECT_EQ(low, 1073741824u);
  EXPECT_EQ(high, 1u);
  // The first blank separates, as the line cut does: a leading blank leaves the low word empty.
  EXPECT_TRUE(ParseWords(" 12 34", &low, &high));
  EXPECT_EQ(low, 0u);
  EXPECT_EQ(high, 12u);
  low = high = 9;
  EXPECT_FALSE(ParseWords("12", &low, &high));  // no second number: untouched
  EXPECT_EQ(low, 9u);
  EXPECT_EQ(high, 9u);
}

TEST(ProtocolTextTest, RepliesThatCarryAValue) {
  EXPECT_EQ(ChallengeReply("abcdefghijklmnop"), "200 abcdefghijklmnop\r\n");
  EXPECT_EQ(KeyLine(kSizeKey, FormatWords(5ull << 30)), "FileSize: 1073741824 1\r\n");
  // The text after the code is cut to 100 bytes, so that the line stays short.
  const std::string text(150, 't');
  EXPECT_EQ(UnknownErrorReply(5, text.c_str()),
            "404 Unknown Error=5," + text.substr(0, 100) + "\r\n");
  EXPECT_EQ(UnknownErrorReply(4294967295u, ""), "404 Unknown Error=4294967295,\r\n");
  EXPECT_EQ(ReplyText(kNameTooLarge), "413 File Name Too Large.");
}

}  // namespace
}  // namespace quarv
