// No hang: a service that stops sending in the middle of a reply, and a peer that vanishes.
// The agent (in this process, with a short idle time-out in place of its minutes) must end the
// pass as if the connection were lost, keep what it received for a resume, and fetch the rest
// on the next pass. Both programs turn TCP keepalive on for their connections.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>
#include <sstream>
#include <string>

#include "agent/fetch_agent.h"
#include "tests/support/fault_proxy.h"
#include "tests/support/service_process.h"

namespace quarv::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr char kPassword[] = "no-hang";
constexpr platform::FileTime kTime = 132537600001234567;
// Far longer than any pass here takes: reaching it means the agent hung.
constexpr auto kHangLimit = std::chrono::seconds(120);

// The timer field ("tr") of the established TCP sockets in /proc/net/tcp whose local or remote
// port is `port`: 2 means a keepalive timer runs on the socket.
std::vector<int> TimersOf(std::uint16_t port, bool local) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // header
  std::vector<int> timers;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, localAddress, remoteAddress, state, queues, timer;
    fields >> slot >> localAddress >> remoteAddress >> state >> queues >> timer;
    const std::string& address = local ? localAddress : remoteAddress;
    const auto colon = address.find(':');
    if (state != "01" || colon == std::string::npos) continue;
    if (std::stoul(address.substr(colon + 1), nullptr, 16) != port) continue;
    timers.push_back(std::stoi(timer.substr(0, timer.find(':')), nullptr, 16));
  }
  return timers;
}

// Waits (bounded) until every established socket on `port` shows the keepalive timer.
bool KeepAliveOn(std::uint16_t port, bool local) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::vector<int> timers = TimersOf(port, local);
    if (!timers.empty() &&
        std::all_of(timers.begin(), timers.end(), [](int timer) { return timer == 2; })) {
      return true;
    }
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

class NoHangTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service.Start());
    proxy = std::make_unique<FaultProxy>(service.port());
    ASSERT_TRUE(agent.Startup());
    idleThreads = SteadyCounts(service.pid()).threads;
  }
  void TearDown() override { agent.Cleanup(); }

  // After a frozen connection is released, its session ends when it sees the close; until then
  // it still has the file open, and a new GET of it would rightly be refused as busy.
  bool WaitSessionsEnded() const {
    return WaitForCounts(service.pid(),
                         [this](const ResourceCounts& now) { return now.threads <= idleThreads; });
  }

  // One pass of the agent through the proxy; fails the test when it does not end.
  int Pass(int* notFetched) {
    auto pass = std::async(std::launch::async, [this, notFetched] {
      return agent.RunPass("127.0.0.1", proxy->port(), kPassword, base.str().c_str(), notFetched);
    });
    if (pass.wait_for(kHangLimit) != std::future_status::ready) {
      proxy->ReleaseFrozen();  // lets the pass end, so that the test can report
      ADD_FAILURE() << "the pass did not end";
    }
    return pass.get();
  }

  ServiceProcess service{kPassword};
  std::unique_ptr<FaultProxy> proxy;
  agent::FetchAgent agent;
  TempDir base;
  std::size_t idleThreads = 0;
};

TEST_F(NoHangTest, ServiceThatStopsSendingEndsThePassAndTheNextPassCompletes) {
  const std::string content = PatternBytes(40000, 3);
  struct Case {
    Region region;
    std::uint64_t offset;
    int notFetched;         // after the stalled pass
    std::uint64_t partial;  // bytes kept in the partial file (0: none)
  };
  const Case cases[] = {
      {Region::List, 25, -1, 0},        // the list block breaks off: nothing is known yet
      {Region::GetHeader, 30, 0, 0},    // a lost header is not counted
      {Region::Body, 12345, 1, 12345},  // the received bytes stay, with the service's time
      {Region::Trailer, 7, 1, 40000},   // the whole body stayed; the digest never came
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(RegionName(c.region));
    fs::remove_all(base.path());
    fs::create_directory(base.path());
    WriteFile(service.served() / "data.bin", content);
    SetFileTime(service.served() / "data.bin", kTime);
    agent.idleTimeout = std::chrono::milliseconds(300);
    proxy->Arm({c.region, c.offset, Action::Freeze});

    int notFetched = 99;
    EXPECT_EQ(Pass(&notFetched), 0);
    EXPECT_TRUE(proxy->Fired());
    EXPECT_EQ(notFetched, c.notFetched);
    const fs::path partial = base.path() / "_incomplete_data.bin";
    if (c.partial != 0) {
      ASSERT_TRUE(fs::exists(partial));
      EXPECT_EQ(fs::file_size(partial), c.partial);
      EXPECT_EQ(ReadFile(partial), content.substr(0, c.partial));
    }
    EXPECT_FALSE(fs::exists(base.path() / "data.bin"));
    proxy->ReleaseFrozen();
    ASSERT_TRUE(WaitSessionsEnded());

    // The stalled connection is gone; the next pass fetches (or resumes) the file.
    EXPECT_EQ(Pass(&notFetched), 1);
    EXPECT_EQ(notFetched, 0);
    EXPECT_EQ(ReadFile(base.path() / "data.bin"), content);
    EXPECT_EQ(GetFileTime(base.path() / "data.bin"), kTime);
    EXPECT_FALSE(fs::exists(partial));
  }
}

TEST_F(NoHangTest, BothEndsKeepTheirConnectionsAlive) {
  WriteFile(service.served() / "slow.bin", PatternBytes(30000, 4));
  SetFileTime(service.served() / "slow.bin", kTime);
  agent.idleTimeout = std::chrono::seconds(30);
  proxy->Arm({Region::Body, 100, Action::Freeze});
  auto pass = std::async(std::launch::async, [this] {
    int notFetched = 0;
    return agent.RunPass("127.0.0.1", proxy->port(), kPassword, base.str().c_str(), &notFetched);
  });
  ASSERT_TRUE(proxy->WaitFired(60s));
  // The agent waits on its connection to the proxy; the service's session on the proxy's.
  EXPECT_TRUE(KeepAliveOn(proxy->port(), /*local=*/false)) << "agent side";
  EXPECT_TRUE(KeepAliveOn(service.port(), /*local=*/true)) << "service side";
  proxy->ReleaseFrozen();
  ASSERT_EQ(pass.wait_for(kHangLimit), std::future_status::ready);
  EXPECT_EQ(pass.get(), 0);
}

}  // namespace
}  // namespace quarv::test
