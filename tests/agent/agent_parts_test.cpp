// The agent's small parts: reply codes, size texts, the name rule, the settings, the decision
// after a pass, the pacing of the rate limit, and the message table's console bytes.
#include <gtest/gtest.h>
#include <iconv.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "agent/agent_run.h"
#include "agent/console_output.h"
#include "agent/fetch_agent.h"
#include "agent/messages.h"
#include "agent/rate_limit.h"
#include "platform/net.h"
#include "tests/support/settings_file.h"
#include "tests/support/test_support.h"

namespace quarv::agent {
namespace {

TEST(ReplyCodeTest, OnlyTwoHundredsAreAccepted) {
  EXPECT_EQ(FetchAgent::ReplyCode("200 Welcome."), 200);
  EXPECT_EQ(FetchAgent::ReplyCode("404 File Not Found"), 404);
  EXPECT_EQ(FetchAgent::ReplyCode("2"), 2);
  EXPECT_EQ(FetchAgent::ReplyCode(" 20x"), 20);
  EXPECT_EQ(FetchAgent::ReplyCode("-25 no"), -25);
  EXPECT_EQ(FetchAgent::ReplyCode("OK"), 0);
  EXPECT_EQ(FetchAgent::ReplyCode(""), 0);
  // Only the first three characters count.
  EXPECT_EQ(FetchAgent::ReplyCode("2001"), 200);

  for (const char* accepted : {"200 x", "299", "250 List"}) {
    EXPECT_TRUE(FetchAgent::IsAccepted(accepted)) << accepted;
  }
  for (const char* refused :
       {"199 x", "300", "503 Service Unavailable", "20 x", "", "abc", "-200"}) {
    EXPECT_FALSE(FetchAgent::IsAccepted(refused)) << refused;
  }
}

TEST(SizeTextTest, UnitsChangeAtEachPowerOf1024AndTruncate) {
  struct Case {
    std::uint64_t size;
    const char* text;
  };
  const Case cases[] = {
      {0, "0B"},
      {1023, "1023B"},
      {1024, "1KB"},
      {1536, "1KB"},
      {1048575, "1023KB"},
      {1048576, "1MB"},
      {(std::uint64_t{1} << 30) - 1, "1023MB"},
      {std::uint64_t{1} << 30, "1GB"},
      {(std::uint64_t{1} << 32) + 5000, "4GB"},
      {(std::uint64_t{1} << 40) - 1, "1023GB"},
      {std::uint64_t{1} << 40, "1TB"},
      {~std::uint64_t{0}, "16777215TB"},
  };
  for (const Case& c : cases) {
    char buffer[kSizeTextCapacity];
    EXPECT_STREQ(FetchAgent::SizeText(buffer, sizeof buffer, platform::LowWord(c.size),
                                      platform::HighWord(c.size)),
                 c.text)
        << c.size;
  }
}

TEST(LocalNameTest, OnlyPlainEntriesOfTheBaseAreSafe) {
  for (const char* safe : {"a.txt", "name with blanks", "...", ".hidden", "a..b", "日本語.txt",
                           "_incomplete", "x_incomplete_x", "~"}) {
    EXPECT_TRUE(FetchAgent::IsSafeLocalName(safe)) << safe;
  }
  // A name with the partial-file prefix would be taken for the partial file of another name.
  for (const char* unsafe : {"", ".", "..", "../x", "a/b", "/etc/passwd", "a\\b", "..\\x", "c:\\x",
                             "a\tb", "a\x7f", "line\x01", "_incomplete_x", "_Incomplete_x"}) {
    EXPECT_FALSE(FetchAgent::IsSafeLocalName(unsafe)) << unsafe;
  }
}

// The agent's HOST goes through the system's resolver (the common suite links a recording one
// in its place): a name comes back as its addresses, 127.0.0.1 among those of localhost.
TEST(HostLookupTest, TheSystemResolverGivesLocalhostItsAddress) {
  std::vector<platform::SocketAddress> addresses;
  ASSERT_TRUE(platform::LookupHost("localhost", &addresses));
  std::vector<std::string> texts;
  for (const platform::SocketAddress& address : addresses) {
    texts.push_back(platform::FormatAddress(address));
  }
  EXPECT_NE(std::find(texts.begin(), texts.end(), "127.0.0.1"), texts.end());
}

TEST(AgentSettingsTest, DefaultsWithoutAFile) {
  test::TempDir dir;
  const AgentSettings settings = ReadAgentSettings((dir.path() / "QuarvAgent.ini").c_str());
  EXPECT_EQ(settings.port, 5999);
  EXPECT_EQ(settings.base, "/");
  EXPECT_EQ(settings.host, "");
  EXPECT_EQ(settings.password, "");
  EXPECT_EQ(settings.tries, 5);
  EXPECT_TRUE(settings.checkFileTime);
  EXPECT_FALSE(settings.deleteFile);
}

TEST(AgentSettingsTest, ValuesAreParsedAndCutToTheirBuffers) {
  test::TempDir dir;
  const auto path = dir.path() / "QuarvAgent.ini";
  test::WriteAgentSettings(dir.path(),
                           "PORT= 6001x\nHOST=files.example\nPASSWORD=" + std::string(150, 'p') +
                               "\nTRY=-3\nCHECKFILETIME=yes\n"
                               "DELETEFILE=Yeah\nBASE=/srv/in\n");
  AgentSettings settings = ReadAgentSettings(path.c_str());
  EXPECT_EQ(settings.port, 6001);
  EXPECT_EQ(settings.host, "files.example");
  EXPECT_EQ(settings.password, std::string(99, 'p'));
  EXPECT_EQ(settings.tries, 1);
  EXPECT_FALSE(settings.checkFileTime);  // a lower-case y does not count
  EXPECT_TRUE(settings.deleteFile);
  EXPECT_EQ(settings.base, "/srv/in");
  EXPECT_EQ(settings.rateKib, 0);  // absent: no limit

  test::WriteAgentSettings(dir.path(), "TRY=abc\nCHECKFILETIME=No\nDELETEFILE=Y\nRATE=-64\n");
  settings = ReadAgentSettings(path.c_str());
  EXPECT_EQ(settings.tries, 1);
  EXPECT_FALSE(settings.checkFileTime);
  EXPECT_TRUE(settings.deleteFile);
  EXPECT_EQ(settings.rateKib, 0);  // a negative rate is no limit, never a huge or wrapped one

  test::WriteAgentSettings(dir.path(), "RATE= 2048 KiB\n");
  EXPECT_EQ(ReadAgentSettings(path.c_str()).rateKib, 2048);
}

using namespace std::chrono_literals;
using std::chrono::nanoseconds;

// A clock that moves only when slept on, each sleep `overshoot` longer than asked (as a real
// sleep may be); it counts its readings.
class FakePacingClock final : public PacingClock {
 public:
  explicit FakePacingClock(nanoseconds overshoot = 0ns) : overshoot_(overshoot) {}
  nanoseconds Now() override {
    ++readings;
    return now;
  }
  void Sleep(nanoseconds duration) override {
    now += duration + overshoot_;
    slept += duration;
  }

  nanoseconds now = 1h;
  nanoseconds slept = 0ns;
  int readings = 0;

 private:
  nanoseconds overshoot_;
};

// A long body through the pacer, each receive as large as the agent asks for: over every window
// of ten seconds (the first one too, with the burst) the rate stays within 5 % of the limit, and
// receives follow each other at least four times a second, also below one block a second's worth
// and with sleeps that overshoot.
TEST(RateLimitTest, LongBodyKeepsTheRateOverEveryTenSeconds) {
  for (const std::uint64_t kib : {8u, 100u, 2048u}) {
    for (const nanoseconds overshoot : {0ns, nanoseconds(20ms)}) {
      SCOPED_TRACE(std::to_string(kib) + " KiB/s, overshoot " + std::to_string(overshoot.count()) +
                   " ns");
      FakePacingClock clock(overshoot);
      const std::uint64_t rate = kib * 1024;
      RateLimit pace(rate, kBlockSize, clock);
      ASSERT_TRUE(pace.Limited());
      const nanoseconds start = clock.now;
      std::vector<std::pair<nanoseconds, std::uint32_t>> receives;  // since start, bytes
      while (clock.now - start < 60s && receives.size() < 100000) {
        const std::uint32_t got = pace.Take(kReceiveSize);
        ASSERT_GE(got, 1u);
        ASSERT_LE(got, kReceiveSize);
        if (!receives.empty()) {
          ASSERT_LE(clock.now - start - receives.back().first, 250ms);
        }
        receives.emplace_back(clock.now - start, got);
      }
      for (nanoseconds from = 0ns; from + 10s <= 60s; from += 250ms) {
        std::uint64_t bytes = 0;
        for (const auto& [at, got] : receives) {
          if (at >= from && at < from + 10s) bytes += got;
        }
        const double ratio = static_cast<double>(bytes) / static_cast<double>(rate * 10);
        EXPECT_NEAR(ratio, 1.0, 0.05) << "window from " << from.count() / 1000000 << " ms";
      }
    }
  }
}

// The budget carries over between the bodies of a pass and fills during idle time, up to the
// burst: a small file after a pause goes at once, a larger one waits only for what the burst
// does not cover, however long the pause was.
TEST(RateLimitTest, SmallBodyAfterIdleTimeIsNotDelayedBeyondTheBurst) {
  FakePacingClock clock;
  const std::uint64_t rate = 100 * 1024;  // a burst of 25600 bytes
  RateLimit pace(rate, kBlockSize, clock);
  const auto receive = [&](std::uint64_t length) {
    const nanoseconds before = clock.slept;
    while (length > 0) {
      length -=
          pace.Take(static_cast<std::uint32_t>(std::min<std::uint64_t>(length, kReceiveSize)));
    }
    return clock.slept - before;
  };
  EXPECT_EQ(receive(20000), 0ns);  // the first body of a pass
  receive(1024 * 1024);            // the budget spent
  clock.now += 2s;
  EXPECT_EQ(receive(20000), 0ns);
  // Ten minutes idle still leave only the burst: 100 KiB wait for the 75 KiB beyond it.
  clock.now += 600s;
  const nanoseconds waited = receive(100 * 1024);
  EXPECT_GE(waited, 740ms);
  EXPECT_LE(waited, 760ms);
}

TEST(RateLimitTest, WithoutALimitTakesAreWholeAndTheClockIsNeverRead) {
  FakePacingClock clock;
  RateLimit pace(0, kBlockSize, clock);
  EXPECT_FALSE(pace.Limited());
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(pace.Take(kReceiveSize), kReceiveSize);
  EXPECT_EQ(RateLimit().Take(kBlockSize), kBlockSize);
  EXPECT_EQ(clock.readings, 0);
  EXPECT_EQ(clock.slept, 0ns);
}

TEST(MessageTest, FormattingPassesArgumentsThrough) {
  EXPECT_EQ(FormatMessage(Message::TryBanner, 2, 5), "----------------------------\nTry[2/5]\n");
  EXPECT_EQ(FormatMessage(Message::FileSizeLine, 100u, 0u, "100B"),
            "ファイルサイズ Low:100 High:0 （約100B）\n");
  EXPECT_EQ(FormatMessage(Message::RulerScale),
            "0%       20%       40%       60%       80%      100%\n");
  EXPECT_EQ(FormatMessage(Message::RulerScale).size(), 52u + 1);
  EXPECT_EQ(FormatMessage(Message::RulerBar).size(), 51u + 1);
  EXPECT_EQ(FormatMessage(Message::GetRefused, "名前 100%.txt", "404 File Not Found"),
            "ファイル名前 100%.txtの転送に失敗しました。404 File Not Found\n");
  // Numbers print as %u and %d print them, across the whole range of each.
  EXPECT_EQ(FormatMessage(Message::Resuming, 4294967295u, 2147483648u),
            "受信済みのファイルがあります。位置、4294967295,2147483648から再開します。\n");
  EXPECT_EQ(FormatMessage(Message::NotFetchedCount, -2147483647 - 1),
            "\n転送できなかったファイルが -2147483648個 あります。\n");
}

// Whether `format` takes arguments of the given kinds, as the check of every call sees it.
template <typename... Kinds>
constexpr bool Takes(const char* format, Kinds... kinds) {
  const std::array<ArgumentKind, sizeof...(Kinds)> list{kinds...};
  return ConversionsMatch(format, list);
}

TEST(MessageTest, CallsAreCheckedAgainstTheConversions) {
  constexpr auto kInt = ArgumentKind::Int;
  constexpr auto kUnsigned = ArgumentKind::Unsigned;
  constexpr auto kText = ArgumentKind::Text;
  static_assert(Takes(MessageText(Message::TryBanner), kInt, kInt));
  static_assert(Takes(MessageText(Message::FileSizeLine), kUnsigned, kUnsigned, kText));
  static_assert(Takes(MessageText(Message::RulerScale)));  // "%%" takes nothing
  // Too few, too many, the wrong kind, the wrong order: rejected.
  EXPECT_FALSE(Takes(MessageText(Message::TryBanner), kInt));
  EXPECT_FALSE(Takes(MessageText(Message::TryBanner), kInt, kInt, kInt));
  EXPECT_FALSE(Takes(MessageText(Message::Resuming), kInt, kUnsigned));
  EXPECT_FALSE(Takes(MessageText(Message::Connecting), kInt, kText));
  EXPECT_FALSE(Takes(MessageText(Message::FileBanner)));
  // A directive the formatting does not know is never taken.
  EXPECT_FALSE(Takes("%5d", kInt));
  EXPECT_FALSE(Takes("%x", kUnsigned));
  EXPECT_FALSE(Takes("ends in %", kText));
}

// Converts UTF-8 to code page 932 with the C library; false when a character has no CP932 form.
bool ToCp932(const std::string& utf8, std::string* out) {
  iconv_t converter = ::iconv_open("CP932", "UTF-8");
  if (converter == reinterpret_cast<iconv_t>(-1)) return false;
  std::string input = utf8;
  std::string output(input.size() * 2 + 16, '\0');
  char* in = input.data();
  char* o = output.data();
  std::size_t inLeft = input.size();
  std::size_t outLeft = output.size();
  const bool ok = ::iconv(converter, &in, &inLeft, &o, &outLeft) != static_cast<std::size_t>(-1);
  ::iconv_close(converter);
  output.resize(output.size() - outLeft);
  *out = output;
  return ok && inLeft == 0;
}

TEST(MessageTest, EveryMessageHasCodePage932Bytes) {
  std::string bytes;
  ASSERT_TRUE(ToCp932("テスト", &bytes)) << "the C library has no CP932 converter";
  for (const MessageEntry& entry : AllMessages()) {
    EXPECT_TRUE(ToCp932(entry.text, &bytes)) << entry.text;
    // No byte of a converted message may be read as a format directive or a line end by mistake.
    std::string ascii;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      const auto byte = static_cast<unsigned char>(bytes[i]);
      if ((byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC)) {
        ++i;  // a lead byte and its trail byte
        continue;
      }
      ascii.push_back(bytes[i]);
    }
    std::string utf8Ascii;
    for (const char c : std::string(entry.text)) {
      if (static_cast<unsigned char>(c) < 0x80) utf8Ascii.push_back(c);
    }
    EXPECT_EQ(ascii, utf8Ascii) << entry.text;
  }
  // Spot checks of the bytes: a full-width digit, full-width parentheses.
  ASSERT_TRUE(ToCp932(MessageText(Message::AlreadyRunning), &bytes));
  EXPECT_EQ(bytes.substr(0, 4), "\x82\x51\x8f\x64");  // "２重"
  ASSERT_TRUE(ToCp932(MessageText(Message::FileSizeLine), &bytes));
  EXPECT_NE(bytes.find("\x81\x69\x96\xf1%s\x81\x6a"), std::string::npos);  // "（約%s）"
}

}  // namespace
}  // namespace quarv::agent
