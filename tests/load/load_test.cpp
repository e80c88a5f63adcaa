// Load and resources against the real QuarvSvc: ten sessions streaming while every further
// client is refused; ten thousand connect/login/quit cycles after which the service holds no
// more descriptors and threads than before; clients that never send (the login timer frees
// their places) and clients that send every byte on its own.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/md5.h"
#include "tests/support/programs.h"

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

std::string Digest(const std::string& bytes) {
  Md5Context context;
  Md5Init(&context);
  Md5Update(&context, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  Md5Final(&context);
  return std::string(reinterpret_cast<const char*>(context.digest), kMd5DigestSize);
}

std::size_t Entries(const fs::path& dir) {
  std::error_code error;
  return static_cast<std::size_t>(
      std::distance(fs::directory_iterator(dir, error), fs::directory_iterator()));
}

class LoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ServiceProcess::Available()) GTEST_SKIP() << "QuarvSvc was not built";
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
           client.ReadBytes(kMd5DigestSize) == Digest(content);
  }

  // The service's descriptor and thread counts once they have stayed the same for a while
  // (bounded): then the session of the readiness probe has ended and holds no place.
  std::pair<std::size_t, std::size_t> SteadyCounts() const {
    std::size_t fds = 0, threads = 0;
    for (int wait = 0, steady = 0; wait < 500 && steady < 10; ++wait) {
      const std::size_t fdsNow = Entries(Proc("fd")), threadsNow = Entries(Proc("task"));
      steady = fdsNow == fds && threadsNow == threads ? steady + 1 : 0;
      fds = fdsNow;
      threads = threadsNow;
      std::this_thread::sleep_for(10ms);
    }
    return {fds, threads};
  }

  fs::path Proc(const char* what) const {
    return fs::path("/proc") / std::to_string(service.pid()) / what;
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
  SteadyCounts();  // all ten places are free
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
  const auto [fds, threads] = SteadyCounts();
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    RawClient client;
    ASSERT_TRUE(client.Connect(service.port())) << "cycle " << cycle;
    ASSERT_TRUE(client.Login(kPassword)) << "cycle " << cycle;
    ASSERT_TRUE(client.Send("QUIT\r\n"));
    ASSERT_EQ(client.ReadLine(), "200 GoodBye.\r\n") << "cycle " << cycle;
    ASSERT_TRUE(client.WaitClosed(10s)) << "cycle " << cycle;
  }
  std::size_t fdsAfter = 0, threadsAfter = 0;
  for (int wait = 0; wait < 1000; ++wait) {
    fdsAfter = Entries(Proc("fd"));
    threadsAfter = Entries(Proc("task"));
    if (fdsAfter == fds && threadsAfter == threads) break;
    std::this_thread::sleep_for(10ms);
  }
  std::cout << "after " << kCycles << " cycles: descriptors " << fds << " -> " << fdsAfter
            << ", threads " << threads << " -> " << threadsAfter << std::endl;
  EXPECT_EQ(fdsAfter, fds);
  EXPECT_EQ(threadsAfter, threads);
}

// A client that sends each byte in a segment of its own (no Nagle coalescing).
class ByteByByteClient {
 public:
  explicit ByteByByteClient(std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~ByteByByteClient() { ::close(fd_); }
  ByteByByteClient(const ByteByByteClient&) = delete;
  ByteByByteClient& operator=(const ByteByByteClient&) = delete;

  bool connected() const { return connected_; }
  bool Send(const std::string& text) {
    for (const char byte : text) {
      if (::send(fd_, &byte, 1, MSG_NOSIGNAL) != 1) return false;
      std::this_thread::sleep_for(200us);
    }
    return true;
  }
  // Exactly `count` bytes, or what came before the close or the time limit.
  std::string Read(std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (pending_.size() < count && std::chrono::steady_clock::now() < deadline) {
      pollfd waiter{fd_, POLLIN, 0};
      if (::poll(&waiter, 1, 100) <= 0) continue;
      char chunk[4096];
      const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
      if (got <= 0) break;
      pending_.append(chunk, static_cast<std::size_t>(got));
    }
    const std::string out = pending_.substr(0, count);
    pending_.erase(0, out.size());
    return out;
  }
  std::string ReadLine() {
    std::string line;
    while (line.empty() || line.back() != '\n') {
      const std::string byte = Read(1);
      if (byte.empty()) break;
      line += byte;
    }
    return line;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
  std::string pending_;
};

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
      ByteByByteClient client(service.port());
      if (!client.connected() || !client.Send("HELO\r\n")) return;
      const std::string challenge = client.ReadLine();
      if (challenge.size() != 22) return;
      const std::string text = challenge.substr(4, 16) + ":" + kPassword;
      const std::string token = Md5HexOf(text.data(), static_cast<std::uint32_t>(text.size()));
      if (!client.Send("ENTER " + token + "\r\n") || client.ReadLine() != "200 Welcome.\r\n") {
        return;
      }
      if (!client.Send("GET " + Name(i) + "\r\n")) return;
      std::string header;
      for (int line = 0; line < 4; ++line) header += client.ReadLine();
      if (header.rfind("200 File Transfer.\r\n", 0) != 0) return;
      if (!client.Send("Offset: 299990 0\r\n")) return;
      const std::string tail = content.substr(299990);
      if (client.Read(10) != tail || client.Read(16) != Digest(tail)) return;
      if (!client.Send("QUIT\r\n") || client.ReadLine() != "200 GoodBye.\r\n") return;
      ++served;
    });
  }
  for (auto& client : clients) client.join();
  EXPECT_EQ(served.load(), kPlaces);
}

}  // namespace
}  // namespace quarv::test
