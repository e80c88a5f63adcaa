// Load and resources against the real QuarvSvc: ten sessions streaming while every further
// client is refused; ten thousand connect/login/quit cycles after which the service holds no
// more descriptors and threads than before; clients that never send (the login timer frees
// their places) and clients that send every byte on its own.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/md5.h"
#include "tests/support/service_process.h"

namespace quarv::test {
namespace {

constexpr char kPassword[] = "load";
constexpr int kPlaces = 10;
constexpr int kCycles = 10000;
// Whole GETs of each of the ten streaming clients; further clients are refused meanwhile (at
// most this many of them).
// Each streaming client makes at least kGetsPerClient GETs, and goes on (up to kMaxGetsPerClient)
// until kMinRefusals further clients have been refused while the ten stream.
constexpr int kGetsPerClient = 20;
constexpr int kMaxGetsPerClient = 2000;
constexpr int kMinRefusals = 50;
constexpr int kMaxRefusals = 100000;
constexpr char kRefusal[] = "503 Service Unavailable\r\n";

using namespace std::chrono_literals;

class LoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // One file per place: a file being sent is not sent to a second session at the same time.
    content = PatternBytes(300000, 9);
    for (int i = 0; i < kPlaces; ++i) WriteFile(service.served() / Name(i), content);
    ASSERT_TRUE(service.Start());
  }

  static std::string Name(int i) { return "stream" + std::to_string(i) + ".bin"; }

  // One whole GET on a logged-in client; true when the body and digest are right.
  bool Fetch(RawClient& client, int i) {
    if (!client.Send("GET " + Name(i) + "\r\n")) return false;
    std::string header;
    for (int line = 0; line < 4; ++line) header += client.ReadLine();
    if (header.rfind("200 File Transfer.\r\nFileSize: 300000 0\r\n", 0) != 0) return false;
    if (!client.Send("Offset: 0 0\r\n")) return false;
    return client.ReadBytes(content.size()) == content &&
           client.ReadBytes(kMd5DigestSize) == Md5Raw(content);
  }

  ServiceProcess service{kPassword};
  std::string content;
};

TEST_F(LoadTest, TenSessionsStreamWhileEveryFurtherClientIsRefused) {
  std::atomic<int> badFetches{0};
  std::atomic<int> fetches{0};
  std::atomic<int> loggedIn{0};
  std::atomic<int> finished{0};
  std::atomic<int> refusals{0};
  SteadyCounts(service.pid());  // all ten places are free
  std::vector<std::thread> streamers;
  for (int i = 0; i < kPlaces; ++i) {
    streamers.emplace_back([&, i] {
      RawClient client;
      const bool in = client.Connect(service.port()) && client.Login(kPassword);
      ++loggedIn;
      for (int get = 0; in && get < kMaxGetsPerClient; ++get) {
        if (get >= kGetsPerClient && refusals.load() >= kMinRefusals) break;
        if (!Fetch(client, i)) {
          ++badFetches;
          break;
        }
        ++fetches;
      }
      // No client leaves before all ten are in, so that the refusals meet ten sessions.
      for (int wait = 0; wait < 6000 && loggedIn.load() < kPlaces; ++wait) {
        std::this_thread::sleep_for(10ms);
      }
      if (!in || !client.Send("QUIT\r\n") || client.ReadLine() != "200 GoodBye.\r\n") {
        ++badFetches;
      }
      ++finished;
    });
  }
  for (int wait = 0; wait < 6000 && loggedIn.load() < kPlaces; ++wait) {
    std::this_thread::sleep_for(10ms);
  }
  // As long as the ten stream, every further client gets the refusal and the end of its
  // connection, nothing else.
  while (finished.load() == 0 && refusals.load() < kMaxRefusals) {
    RawClient extra;
    ASSERT_TRUE(extra.Connect(service.port()));
    const std::string reply = extra.ReadAll(20s);
    if (finished.load() != 0) break;  // a place may have come free meanwhile
    ASSERT_EQ(reply, kRefusal) << "after " << refusals.load() << " refusals";
    ++refusals;
  }
  for (auto& streamer : streamers) streamer.join();
  EXPECT_EQ(badFetches.load(), 0);
  EXPECT_GE(fetches.load(), kPlaces * kGetsPerClient);
  EXPECT_GE(refusals.load(), kMinRefusals);
  std::cout << "load: " << fetches.load() << " whole GETs of 300000 bytes by ten sessions while "
            << refusals.load() << " further clients were refused" << std::endl;
  // The places are free again.
  RawClient after;
  ASSERT_TRUE(after.Connect(service.port()));
  EXPECT_TRUE(after.Login(kPassword));
}

TEST_F(LoadTest, TenThousandLoginCyclesLeaveNoDescriptorOrThreadBehind) {
  const ResourceCounts before = SteadyCounts(service.pid());
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    RawClient client;
    ASSERT_TRUE(client.Connect(service.port())) << "cycle " << cycle;
    ASSERT_TRUE(client.Login(kPassword)) << "cycle " << cycle;
    ASSERT_TRUE(client.Send("QUIT\r\n"));
    ASSERT_EQ(client.ReadLine(), "200 GoodBye.\r\n") << "cycle " << cycle;
    ASSERT_TRUE(client.WaitClosed(10s)) << "cycle " << cycle;
  }
  ResourceCounts after;
  WaitForCounts(
      service.pid(), [&](const ResourceCounts& now) { return now == before; }, &after);
  std::cout << "after " << kCycles << " cycles: descriptors " << before.descriptors << " -> "
            << after.descriptors << ", threads " << before.threads << " -> " << after.threads
            << std::endl;
  EXPECT_EQ(after.descriptors, before.descriptors);
  EXPECT_EQ(after.threads, before.threads);
}

TEST_F(LoadTest, SilentClientsLoseTheirPlacesAndByteByByteClientsAreServed) {
  // Ten clients that connect and never send hold every place...
  std::vector<std::unique_ptr<RawClient>> silent;
  for (int i = 0; i < kPlaces; ++i) {
    silent.push_back(std::make_unique<RawClient>());
    ASSERT_TRUE(silent.back()->Connect(service.port()));
  }
  RawClient refused;
  ASSERT_TRUE(refused.Connect(service.port()));
  EXPECT_EQ(refused.ReadAll(20s), kRefusal);
  // ...until the login timer closes them, without a word.
  for (auto& client : silent) EXPECT_EQ(client->ReadAll(30s), "");

  // Ten clients that send every byte on its own then take the places and are served.
  std::atomic<int> served{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < kPlaces; ++i) {
    clients.emplace_back([&, i] {
      RawClient client;
      if (!client.Connect(service.port()) || !client.SendEachByte("HELO\r\n")) return;
      const std::string challenge = client.ReadLine(20s);
      if (challenge.size() != 22) return;
      if (!client.SendEachByte("ENTER " + TokenFor(challenge, kPassword) + "\r\n") ||
          client.ReadLine(20s) != "200 Welcome.\r\n") {
        return;
      }
      if (!client.SendEachByte("GET " + Name(i) + "\r\n")) return;
      std::string header;
      for (int line = 0; line < 4; ++line) header += client.ReadLine(20s);
      if (header.rfind("200 File Transfer.\r\n", 0) != 0) return;
      if (!client.SendEachByte("Offset: 299990 0\r\n")) return;
      const std::string tail = content.substr(299990);
      if (client.ReadBytes(10, 20s) != tail || client.ReadBytes(16, 20s) != Md5Raw(tail)) return;
      if (!client.SendEachByte("QUIT\r\n") || client.ReadLine(20s) != "200 GoodBye.\r\n") return;
      ++served;
    });
  }
  for (auto& client : clients) client.join();
  EXPECT_EQ(served.load(), kPlaces);
}

}  // namespace
}  // namespace quarv::test
