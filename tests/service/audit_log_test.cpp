// The service log's summarising of bursts, on a clock the test moves.
#include "service/audit_log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quarv {
namespace {

using namespace std::chrono_literals;

class AuditLogTest : public testing::Test {
 protected:
  AuditLogTest()
      : log_([this](LogLevel, const std::string& line) { lines_.push_back(line); },
             [this] { return now_; }) {}

  void Refuse(const std::string& address, int times) {
    for (int i = 0; i < times; ++i) {
      log_.WriteRepeatable(LogLevel::Warning, "login refused", address,
                           "login refused from " + address + ":4000");
    }
  }

  std::chrono::steady_clock::time_point now_{};
  std::vector<std::string> lines_;
  AuditLog log_;
};

TEST_F(AuditLogTest, ABurstIsWrittenOneByOneThenSummarisedOncePerInterval) {
  Refuse("127.0.0.1", 3);
  Refuse("10.0.0.2", 1);  // another address keeps its own count
  now_ += 10s;
  Refuse("127.0.0.1", 525);
  log_.Write(LogLevel::Info, "login from 10.0.0.3:5000");  // other events go straight through
  ASSERT_EQ(lines_.size(), 7u);
  EXPECT_EQ(lines_[4], "login refused from 127.0.0.1:4000");
  EXPECT_EQ(lines_[5], "login refused from 127.0.0.1:4000");
  EXPECT_EQ(lines_[6], "login from 10.0.0.3:5000");

  now_ += 49s;  // not yet a full interval since the first
  log_.Flush();
  EXPECT_EQ(lines_.size(), 7u);
  now_ += 1s;
  log_.Flush();
  ASSERT_EQ(lines_.size(), 8u);
  EXPECT_EQ(lines_[7], "login refused 523 more times from 127.0.0.1 in the last 60 s");
  log_.Flush();  // said once; 10.0.0.2 had nothing left to summarise
  EXPECT_EQ(lines_.size(), 8u);

  // The next interval starts afresh; a stop writes what is pending at once.
  Refuse("127.0.0.1", 7);
  EXPECT_EQ(lines_.size(), 13u);
  now_ += 2500ms;
  log_.Flush(true);
  ASSERT_EQ(lines_.size(), 14u);
  EXPECT_EQ(lines_.back(), "login refused 2 more times from 127.0.0.1 in the last 3 s");
}

TEST(AuditLogText, NamesAndAddressesAreShownSafely) {
  EXPECT_EQ(QuotedName("a \"b\"\\c\x1b\x7f\xe3\x81\x82"),
            "\"a \\\"b\\\"\\\\c\\x1B\\x7F\xe3\x81\x82\"");
  platform::SocketAddress address;
  ASSERT_TRUE(platform::ParseNumericAddress("192.168.1.20", 40312, &address));
  EXPECT_EQ(PeerText(address), "192.168.1.20:40312");
  ASSERT_TRUE(platform::ParseNumericAddress("::1", 40312, &address));
  EXPECT_EQ(PeerText(address), "[::1]:40312");
  EXPECT_EQ(AddressText(address), "::1");
}

}  // namespace
}  // namespace quarv
