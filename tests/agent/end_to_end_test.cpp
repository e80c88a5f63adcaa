// The two real programs, each copied into a temporary directory beside its settings file: the
// service on 127.0.0.1, the agent fetching from it.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/support/agent_process.h"
#include "tests/support/fake_service.h"
#include "tests/support/service_process.h"
#include "tests/support/settings_file.h"

namespace quarv::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr char kPassword[] = "end-to-end";
constexpr platform::FileTime kTime = 132537600001234567;
constexpr platform::FileTime kOtherTime = 132600000009876543;

class EndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(service.Start()); }

  // A file on the service with the given content and last-write time.
  void Serve(const std::string& name, const std::string& content,
             platform::FileTime time = kTime) const {
    WriteFile(service.served() / name, content);
    SetFileTime(service.served() / name, time);
  }
  void Configure(const std::string& more = "") const {
    agent.WriteSettingsFor(service.port(), kPassword, more);
  }
  std::string Connecting() const {
    return "127.0.0.1:" + std::to_string(service.port()) + "に接続しています...\n";
  }

  ServiceProcess service{kPassword};
  AgentProcess agent;
};

TEST_F(EndToEndTest, FreshTransferOfOneHundredBytesPrintsExactlyThis) {
  const std::string content = PatternBytes(100, 11);
  Serve("hundred.bin", content);
  Configure();

  const std::string out = agent.Run();
  const std::string digest = Md5Hex(content);
  EXPECT_EQ(out, "----------------------------\nTry[1/5]\n" + Connecting() +
                     "ログインしています...\n"
                     "ログインしました。\n\n"
                     "ファイルの一覧を取得しています...\n"
                     "1個のファイルが転送待ちです。\n"
                     "\nhundred.binを転送します。\n"
                     "ファイルサイズ Low:100 High:0 （約100B）\n"
                     "ファイルの転送を開始します...\n"
                     "0%       20%       40%       60%       80%      100%\n"
                     "|.........|.........|.........|.........|.........|\n" +
                     std::string(50, '*') + "*\nファイルの転送が完了しました。\n" + digest + "\n" +
                     digest +
                     "\n"
                     "切断しました。\n"
                     "\n転送は成功しました。\n"
                     "転送したファイルは 1個 です。\n");
  EXPECT_EQ(ReadFile(agent.base() / "hundred.bin"), content);
  EXPECT_EQ(GetFileTime(agent.base() / "hundred.bin"), kTime);
  // Nothing else is left behind, and the service keeps its copy.
  EXPECT_EQ(std::distance(fs::directory_iterator(agent.base()), fs::directory_iterator()), 1);
  EXPECT_TRUE(fs::exists(service.served() / "hundred.bin"));
}

TEST_F(EndToEndTest, SeveralFilesArriveWithTheirContentAndTimes) {
  const std::string blocks = PatternBytes(std::size_t{3} * 10240, 12);
  const std::string large = PatternBytes(3 * 1024 * 1024 + 17, 13);
  Serve("three blocks.bin", blocks, kTime);
  Serve("大きい.dat", large, kOtherTime);
  Serve("one", "1", kTime + 1);
  Configure("TRY=2\n");

  const std::string out = agent.Run();
  EXPECT_TRUE(Contains(out, "3個のファイルが転送待ちです。\n")) << out;
  EXPECT_TRUE(Contains(out,
                       "\nthree blocks.binを転送します。\n"
                       "ファイルサイズ Low:30720 High:0 （約30KB）\n"))
      << out;
  EXPECT_TRUE(Contains(out, "ファイルサイズ Low:3145745 High:0 （約3MB）\n")) << out;
  EXPECT_EQ(Count(out, "*\nファイルの転送が完了しました。\n"), 3);
  EXPECT_EQ(Count(out, std::string(50, '*') + "*\n"), 3);
  EXPECT_TRUE(out.ends_with("\n転送は成功しました。\n転送したファイルは 3個 です。\n")) << out;
  EXPECT_EQ(ReadFile(agent.base() / "three blocks.bin"), blocks);
  EXPECT_EQ(ReadFile(agent.base() / "大きい.dat"), large);
  EXPECT_EQ(ReadFile(agent.base() / "one"), "1");
  EXPECT_EQ(GetFileTime(agent.base() / "three blocks.bin"), kTime);
  EXPECT_EQ(GetFileTime(agent.base() / "大きい.dat"), kOtherTime);
  EXPECT_EQ(GetFileTime(agent.base() / "one"), kTime + 1);
  EXPECT_EQ(std::distance(fs::directory_iterator(agent.base()), fs::directory_iterator()), 3);
}

TEST_F(EndToEndTest, TimeCheckDecidesWhetherALocalFileIsPresent) {
  Serve("a.txt", "service version", kTime);
  WriteFile(agent.base() / "a.txt", "local version");
  SetFileTime(agent.base() / "a.txt", kOtherTime);
  Serve("folder", "a file on the service", kTime);
  fs::create_directory(agent.base() / "folder");

  // Without the check any entry of the name counts, a directory included; with nothing to fetch
  // the first try is the only one.
  Configure("CHECKFILETIME=No\n");
  std::string out = agent.Run();
  EXPECT_TRUE(
      out.ends_with("2個のファイルは既に存在します。\n0個のファイルが転送待ちです。\n"
                    "切断しました。\n"
                    "\n有効な転送は行われませんでした。\n転送したファイルは 0個 です。\n"))
      << out;
  EXPECT_EQ(Count(out, "Try["), 1) << out;
  EXPECT_EQ(ReadFile(agent.base() / "a.txt"), "local version");

  // With it, a file of another time is fetched again and replaces the local one; the directory
  // cannot be replaced.
  Configure("CHECKFILETIME=Yes\nTRY=1\n");
  out = agent.Run();
  EXPECT_TRUE(Contains(out, "2個のファイルが転送待ちです。\n")) << out;
  EXPECT_TRUE(Contains(out, "ファイルのリネームに失敗しました。スキップします。")) << out;
  // The file that could not take its name does not count as fetched: no success is said.
  EXPECT_TRUE(
      out.ends_with("\n転送できなかったファイルが 1個 あります。\n転送したファイルは 1個 です。\n"))
      << out;
  EXPECT_EQ(ReadFile(agent.base() / "a.txt"), "service version");
  EXPECT_EQ(GetFileTime(agent.base() / "a.txt"), kTime);
  EXPECT_TRUE(fs::is_directory(agent.base() / "folder"));

  fs::remove_all(agent.base() / "folder");
  fs::remove(agent.base() / "_incomplete_folder");
  out = agent.Run();
  EXPECT_TRUE(Contains(out, "1個のファイルは既に存在します。\n1個のファイルが転送待ちです。\n"))
      << out;
  EXPECT_EQ(ReadFile(agent.base() / "folder"), "a file on the service");
}

TEST_F(EndToEndTest, EmptyFilesAreSkippedUnlessPresent) {
  Serve("empty.txt", "", kTime);
  Serve("full.txt", "content", kTime);
  Configure();

  std::string out = agent.Run();
  EXPECT_TRUE(Contains(out,
                       "ファイルの一覧を取得しています...\n"
                       "empty.txtは内容が無いのでスキップします。\n"
                       "1個のファイルが転送待ちです。\n"))
      << out;
  EXPECT_FALSE(Contains(out, "empty.txtを転送します"));
  EXPECT_FALSE(fs::exists(agent.base() / "empty.txt"));

  WriteFile(agent.base() / "empty.txt", "");
  SetFileTime(agent.base() / "empty.txt", kTime);
  out = agent.Run();
  EXPECT_TRUE(Contains(out,
                       "ファイルの一覧を取得しています...\n"
                       "2個のファイルは既に存在します。\n0個のファイルが転送待ちです。\n"))
      << out;
  EXPECT_FALSE(Contains(out, "スキップ"));
}

TEST_F(EndToEndTest, WrongPasswordFailsEveryTry) {
  agent.WriteSettingsFor(service.port(), "not the password", "TRY=2\n");
  const std::string out = agent.Run();
  const std::string pass = Connecting() +
                           "ログインしています...\n"
                           "ログインに失敗しました。\n"
                           "ファイルの取得中にエラーが発生しました。\n";
  EXPECT_EQ(out, "----------------------------\nTry[1/2]\n" + pass +
                     "----------------------------\nTry[2/2]\n" + pass +
                     "\n転送できなかったファイルの数は不明です。\n"
                     "転送したファイルは 0個 です。\n");
}

// RATE= paces the bodies the agent reads, in KiB per second, after a burst of a quarter of a
// second's worth; the bounds are generous (the machine may be busy), far from the tenth of a
// second the bodies take unpaced. At 16 KiB/s a body comes in pieces below a block, and its bar
// still ends with every mark.
TEST_F(EndToEndTest, RateLimitPacesTheBodies) {
  struct Case {
    const char* name;
    std::size_t size;
    int kib;
  };
  for (const Case c : {Case{"six MiB.bin", std::size_t{6} * 1024 * 1024, 2048},
                       Case{"two and a half blocks.bin", 2 * 10240 + 5000, 16}}) {
    const std::string content = PatternBytes(c.size, 15);
    Serve(c.name, content);  // the one file pending: the earlier one is present
    Configure("TRY=1\nRATE=" + std::to_string(c.kib) + "\n");
    const double rate = c.kib * 1024.0;
    const std::chrono::duration<double> expected((static_cast<double>(c.size) - rate / 4) / rate);
    const auto start = std::chrono::steady_clock::now();
    const std::string out = agent.Run();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 0.8 * expected) << c.name << ": " << took.count() << " s";
    EXPECT_LE(took, 3 * expected) << c.name << ": " << took.count() << " s";
    EXPECT_EQ(Count(out, std::string(50, '*') + "*\n"), 1) << out;
    EXPECT_TRUE(out.ends_with("\n転送は成功しました。\n転送したファイルは 1個 です。\n")) << out;
    EXPECT_EQ(ReadFile(agent.base() / c.name), content);
  }
}

// HOST may be an IPv6 address: the agent fetches from the service on ::1, and its messages show
// the address in brackets before the port.
TEST(Ipv6EndToEndTest, AgentFetchesFromTheServiceOnIpv6Loopback) {
  ServiceProcess service{kPassword};
  ASSERT_TRUE(service.Start("::1"));
  const std::string content = PatternBytes(2000, 14);
  WriteFile(service.served() / "over-ipv6.bin", content);
  AgentProcess agent;
  agent.WriteSettings("HOST=::1\nPORT=" + std::to_string(service.port()) +
                      "\nPASSWORD=" + kPassword + "\nBASE=" + agent.base().string() + "\n");
  const std::string out = agent.Run();
  EXPECT_TRUE(Contains(out, "[::1]:" + std::to_string(service.port()) + "に接続しています...\n"))
      << out;
  EXPECT_TRUE(Contains(out, "転送したファイルは 1個 です。\n")) << out;
  EXPECT_EQ(ReadFile(agent.base() / "over-ipv6.bin"), content);
}

// The agent alone, without a service to talk to.
class AgentAloneTest : public ::testing::Test {
 protected:
  AgentProcess agent;
};

TEST_F(AgentAloneTest, UnreachableServiceIsTriedFiveTimes) {
  const std::uint16_t port = FreeLoopbackPort();  // nobody listens there
  agent.WriteSettings("HOST=127.0.0.1\nPORT=" + std::to_string(port) +
                      "\nBASE=" + agent.base().string() + "\n");
  const std::string address = "127.0.0.1:" + std::to_string(port);
  std::string expected;
  for (int i = 1; i <= 5; ++i) {
    expected += "----------------------------\nTry[" + std::to_string(i) + "/5]\n" + address +
                "に接続しています...\n" + address + "に接続できませんでした。\n";
  }
  expected += "\n転送できなかったファイルの数は不明です。\n転送したファイルは 0個 です。\n";
  EXPECT_EQ(agent.Run(), expected);
}

TEST_F(AgentAloneTest, PortThatIsNoPortNumberPrintsNothing) {
  // Above 65535 the port is refused as the service refuses it, never cut to 16 bits (70000
  // would be 4464).
  for (const char* port : {"0", "-5", "abc", "", "65536", "70000"}) {
    agent.WriteSettings(std::string("HOST=127.0.0.1\nPORT=") + port + "\nTRY=1\n");
    EXPECT_EQ(agent.Run(), "") << "PORT=" << port;
  }
}

TEST_F(AgentAloneTest, SettingsBesideAnExecutableInATooLongDirectoryAreNeverLookedForElsewhere) {
  // Both programs in a directory whose path leaves no room for the settings file's name, started
  // in a directory that holds settings of their own name: those must not be read.
  const fs::path longDir = agent.dir() / std::string(120, 'l') / std::string(120, 'm');
  fs::create_directories(longDir);
  FakeService service(kPassword);
  agent.WriteSettingsFor(service.port(), kPassword, "TRY=1\n");  // in agent.dir(), the cwd
  const fs::path exe = CopyExecutable(AgentProcess::Executable(), longDir);
  int exitCode = -1;
  EXPECT_EQ(RunToEnd({exe.string()}, agent.dir(), kAgentTimeout, &exitCode), "");
  EXPECT_EQ(exitCode, 0);
  EXPECT_EQ(service.Connections(), 0);

  const std::uint16_t port = FreeLoopbackPort();
  WriteServiceSettings(agent.dir(), ServiceSettings(port, agent.base(), "x"));
  Process svc;
  ASSERT_TRUE(
      svc.Start({CopyExecutable(ServiceProcess::Executable(), longDir).string()}, agent.dir()));
  // A refused start: the service ends at once, saying why, and never listens.
  EXPECT_TRUE(svc.Wait(std::chrono::seconds(10))) << "the service started";
  EXPECT_NE(svc.Stderr().find("too long"), std::string::npos) << svc.Stderr();
  EXPECT_FALSE(RawClient().Connect(port));
}

// One agent at a time into one BASE; agents into different BASEs run side by side.
TEST_F(AgentAloneTest, SecondAgentIntoTheSameBaseEndsAtOnceAndOneIntoAnotherRunsBeside) {
  // As under cron: no runtime directory; another user took the places under /tmp and the
  // abstract socket name that anyone can take first.
  const ScopedEnvironment noRuntime("XDG_RUNTIME_DIR", nullptr);
  const ScopedEnvironment home("HOME", agent.dir().c_str());
  const SquattedLockPlaces squatted("ZelQuarvAgent");
  FakeService service(kPassword);
  service.Put("a.txt", FakeFile::Of("held", kTime));
  service.Hold();
  agent.WriteSettingsFor(service.port(), kPassword, "TRY=1\n");
  Process first;
  ASSERT_TRUE(agent.Start(&first));
  // Connected, so it holds the single-instance guard.
  ASSERT_TRUE(service.WaitForConnections(1, std::chrono::seconds(30)));

  AgentProcess same;
  same.WriteSettings(AgentSettings(service.port(), kPassword, agent.base()) + "TRY=1\n");
  EXPECT_EQ(same.Run(), "２重起動です。終了します。\n");
  // The same directory by another path is the same BASE.
  same.WriteSettings(AgentSettings(service.port(), kPassword, agent.base() / ".") + "TRY=1\n");
  EXPECT_EQ(same.Run(), "２重起動です。終了します。\n");

  // Into a BASE of its own, a second agent runs to its end while the first still waits for its
  // service.
  FakeService other(kPassword);
  other.Put("a.txt", FakeFile::Of("held", kTime));
  AgentProcess beside;
  beside.WriteSettingsFor(other.port(), kPassword, "TRY=1\n");
  Process second;
  ASSERT_TRUE(beside.Start(&second));
  int exitCode = -1;
  ASSERT_TRUE(second.Wait(std::chrono::seconds(60), &exitCode));
  EXPECT_TRUE(first.Running());
  service.Release();
  ASSERT_TRUE(first.Wait(std::chrono::seconds(60), &exitCode));
  for (const Process* run : {&first, &second}) {
    EXPECT_TRUE(run->Stdout().ends_with("\n転送は成功しました。\n転送したファイルは 1個 です。\n"))
        << run->Stdout();
  }
  EXPECT_EQ(ReadFile(agent.base() / "a.txt"), "held");
  EXPECT_EQ(ReadFile(beside.base() / "a.txt"), "held");
}

}  // namespace
}  // namespace quarv::test
