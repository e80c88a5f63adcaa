// The QuarvSvc program as users run it: beside its own QuarvSvc.ini, in the foreground or under
// systemd (its notification socket stood in for by a test socket), controlled by signals.
#include <signal.h>

#include <cstdlib>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/connection.h"
#include "common/protocol.h"
#include "platform/net.h"
#include "platform/tls.h"
#include "tests/service/service_test_support.h"
#include "tests/support/service_process.h"

namespace quarv::test {
namespace {

std::vector<std::string> LinesOf(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t at = 0, end = 0; (end = text.find('\n', at)) != std::string::npos;
       at = end + 1) {
    lines.push_back(text.substr(at, end - at));
  }
  return lines;
}

class ProgramTest : public testing::Test {
 protected:
  ProgramTest() : notify_(service_.dir() / "notify.sock") {
    WriteFile(base() / "hello.txt", "hello");
  }
  const fs::path& base() const { return service_.served(); }
  std::uint16_t port() const { return service_.port(); }
  Process& process() { return service_.process(); }
  void WriteSettings(const std::string& lines) { service_.WriteSettings(lines); }
  bool Serving(std::uint16_t port, const std::string& password = kPassword) {
    RawClient client;
    return client.Connect(port) && client.Login(password);
  }
  // Messages up to and including the one that holds `text`.
  std::vector<std::string> MessagesThrough(const std::string& text) {
    std::vector<std::string> seen;
    EXPECT_TRUE(notify_.WaitFor(text, &seen)) << "no message with " << text;
    return seen;
  }

  ServiceProcess service_{kPassword};
  NotifyListener notify_;
};

TEST_F(ProgramTest, UnderSystemdReportsEveryStateAndFollowsTheSignals) {
  WriteSettings(ServiceSettings(port(), base(), kPassword));
  ASSERT_TRUE(notify_.bound());
  ASSERT_TRUE(service_.Launch(&notify_));
  EXPECT_EQ(MessagesThrough("READY=1"),
            (std::vector<std::string>{"STATUS=starting", "STATUS=starting", "STATUS=starting",
                                      "READY=1\nSTATUS=running"}));
  EXPECT_TRUE(Serving(port()));

  process().Signal(SIGUSR1);  // pause
  EXPECT_EQ(MessagesThrough("STATUS=paused"),
            (std::vector<std::string>{"STATUS=pausing", "STATUS=paused"}));
  EXPECT_FALSE(Serving(port()));

  process().Signal(SIGHUP);  // interrogate
  EXPECT_EQ(notify_.Next(), "STATUS=paused");

  process().Signal(SIGUSR2);  // continue
  EXPECT_EQ(MessagesThrough("READY=1"),
            (std::vector<std::string>{"STATUS=continuing", "READY=1\nSTATUS=running"}));
  EXPECT_TRUE(Serving(port()));

  RawClient idle;
  ASSERT_TRUE(idle.Connect(port()));
  ASSERT_TRUE(idle.Login(kPassword));
  EXPECT_EQ(service_.Terminate(SIGTERM), 0);
  EXPECT_EQ(MessagesThrough("STATUS=stopped"),
            (std::vector<std::string>{"STOPPING=1\nSTATUS=stopping", "STATUS=stopped"}));
  EXPECT_TRUE(idle.WaitClosed(10s));
  EXPECT_EQ(process().Stdout(), "");
  // The log (plain lines: standard error is not the journal's here) tells every change of state.
  const std::string started =
      "QuarvSvc: started: listening on 127.0.0.1:" + std::to_string(port()) + ", BASE " +
      base().string();
  std::vector<std::string> states;
  for (const std::string& line : LinesOf(process().Stderr())) {
    for (const char* state : {"started", "paused", "continued", "stopped"}) {
      if (line.rfind(std::string("QuarvSvc: ") + state, 0) == 0) states.push_back(line);
    }
  }
  EXPECT_EQ(states, (std::vector<std::string>{started, "QuarvSvc: paused: the port is closed",
                                              "QuarvSvc: continued: reading the settings again",
                                              started, "QuarvSvc: stopped"}));
}

TEST_F(ProgramTest, AbstractNotifySocketNameIsUnderstood) {
  WriteSettings(ServiceSettings(port(), base(), kPassword));
  NotifyListener abstract("@quarv-test-notify-" + std::to_string(::getpid()));
  ASSERT_TRUE(abstract.bound());
  ASSERT_TRUE(service_.Launch(&abstract));
  EXPECT_TRUE(abstract.WaitFor("READY=1"));
  EXPECT_EQ(service_.Terminate(SIGINT), 0);
  EXPECT_TRUE(abstract.WaitFor("STOPPING=1"));
}

TEST_F(ProgramTest, StartedByHandItRunsInTheForegroundUntilCtrlC) {
  ASSERT_TRUE(service_.Start());  // no NOTIFY_SOCKET
  RawClient client;
  ASSERT_TRUE(client.Connect(port()));
  ASSERT_TRUE(client.Login(kPassword));
  EXPECT_EQ(service_.Terminate(SIGINT), 0);
  EXPECT_TRUE(client.WaitClosed(10s));
  EXPECT_EQ(process().Stdout(), "");
  EXPECT_EQ(process().Stderr().find(kPassword), std::string::npos);
}

// Starts the program on `settings` and expects it to give up: no READY=1, a stopped report with
// an exit code (the report to `stopped` when given), and a prompt end.
void ExpectRefusedStart(ServiceProcess& service, NotifyListener& notify, const std::string& why,
                        std::string* stopped = nullptr) {
  ASSERT_TRUE(service.Launch(&notify)) << why;
  std::vector<std::string> seen;
  EXPECT_TRUE(notify.WaitFor("STATUS=stopped", &seen)) << why;
  for (const auto& message : seen) {
    EXPECT_EQ(message.find("READY=1"), std::string::npos) << why;
  }
  ASSERT_FALSE(seen.empty());
  EXPECT_NE(seen.back().find("(exit code "), std::string::npos) << why << ": " << seen.back();
  if (stopped != nullptr) *stopped = seen.back();
  int code = -1;
  EXPECT_TRUE(service.process().Wait(20s, &code)) << why;
  EXPECT_EQ(code, 0) << why;
}

TEST_F(ProgramTest, PortThatIsNotAPositiveNumberRefusesToStart) {
  for (const char* port : {"0", "-5999", "abc", "", "70000"}) {
    WriteSettings(std::string("PORT=") + port + "\r\nADDRESS=127.0.0.1\r\nBASE=" + base().string() +
                  "\r\n");
    ExpectRefusedStart(service_, notify_, std::string("PORT=") + port);
    EXPECT_EQ(process().Stderr().rfind(std::string("QuarvSvc: not started: PORT \"") + port +
                                           "\" is not a port number (1 to 65535) in ",
                                       0),
              0u)
        << process().Stderr();
  }
}

TEST_F(ProgramTest, WithoutAPasswordItRefusesToStartAndSaysWhy) {
  const std::uint16_t port = service_.port();
  const std::string ini = (fs::canonical(service_.dir()) / "QuarvSvc.ini").string();
  const std::string rest =
      "PORT=" + std::to_string(port) + "\r\nADDRESS=127.0.0.1\r\nBASE=" + base().string() + "\r\n";
  for (const std::string& password :
       {std::string(), std::string("PASSWORD=\r\n"), std::string("password = \"\"\r\n")}) {
    WriteSettings(rest + password);
    std::string stopped;
    ExpectRefusedStart(service_, notify_, "password line: " + password, &stopped);
    EXPECT_EQ(stopped, "STATUS=stopped (exit code 1066, service-specific code 1)") << password;
    EXPECT_EQ(process().Stderr(), "QuarvSvc: not started: PASSWORD is empty in " + ini + "\n")
        << password;
    EXPECT_FALSE(Serving(port, "")) << password;
  }
}

TEST_F(ProgramTest, PortWithTrailingCharactersUsesItsDigits) {
  const std::uint16_t port = service_.port();
  WriteSettings("port = \"  " + std::to_string(port) + "th\"\r\naddress=127.0.0.1\r\nbase=" +
                base().string() + "\r\npassword=" + kPassword + "\r\n");
  ASSERT_TRUE(service_.Launch(&notify_));
  ASSERT_TRUE(notify_.WaitFor("READY=1"));
  EXPECT_TRUE(Serving(port));
}

TEST_F(ProgramTest, PortInUseRefusesToStart) {
  const std::uint16_t port = service_.port();
  WriteSettings(ServiceSettings(port, base(), kPassword));
  ServiceProcess first(kPassword);
  first.WriteSettings(ServiceSettings(port, first.served(), kPassword));
  NotifyListener firstNotify(first.dir() / "notify.sock");
  ASSERT_TRUE(first.Launch(&firstNotify));
  ASSERT_TRUE(firstNotify.WaitFor("READY=1"));
  ExpectRefusedStart(service_, notify_, "port in use");
  // The system's reason, not a guess.
  EXPECT_EQ(process().Stderr(), "QuarvSvc: not started: cannot listen on ADDRESS 127.0.0.1 PORT " +
                                    std::to_string(port) + " (Address already in use, error 98)\n");
  EXPECT_TRUE(Serving(port));
  EXPECT_EQ(first.Terminate(), 0);
}

TEST_F(ProgramTest, PasswordOf82CharactersWorksAndLongerRefusesToStart) {
  const std::string longest(82, 'p');
  const std::uint16_t port = service_.port();
  WriteSettings(ServiceSettings(port, base(), longest + "q"));
  ExpectRefusedStart(service_, notify_, "83-character password");
  EXPECT_EQ(process().Stderr(), "QuarvSvc: not started: PASSWORD is longer than 82 characters in " +
                                    (fs::canonical(service_.dir()) / "QuarvSvc.ini").string() +
                                    "\n");

  WriteSettings(ServiceSettings(port, base(), longest));
  ASSERT_TRUE(service_.Launch(&notify_));
  ASSERT_TRUE(notify_.WaitFor("READY=1"));
  EXPECT_TRUE(Serving(port, longest));
  EXPECT_FALSE(Serving(port, longest.substr(1)));
}

// Waits until the program's standard error holds `text` (at most ten seconds).
bool LogShows(Process& child, const std::string& text) {
  return child.StderrShows(text);
}

std::string RegexQuoted(const std::string& text) {
  return std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

// The log of two sessions, read back from the program's standard error made the journal's
// stream (JOURNAL_STREAM names it), so that each line carries its level: a refused and an
// accepted login, LIST, a GET cut by the client, a whole GET, DELE and QUIT.
TEST_F(ProgramTest, SessionEventsAreLoggedInOrderWithTheirLevelsAndNoSecret) {
  const std::uint16_t port = service_.port();
  WriteSettings(ServiceSettings(port, base(), kPassword));
  WriteFile(base() / "big.bin", std::string(std::size_t{16} << 20, 'b'));  // more than sockets hold
  Process& child = process();
  LaunchOptions options;
  options.environment.emplace_back("NOTIFY_SOCKET", notify_.name());
  ASSERT_TRUE(child.Start(
      {"/bin/sh", "-c", "export JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2); exec \"$0\"",
       (service_.dir() / ServiceProcess::Executable().filename()).string()},
      service_.dir(), options));
  ASSERT_TRUE(notify_.WaitFor("READY=1"));

  std::string token;
  {
    RawClient client;
    ASSERT_TRUE(client.Connect(port));
    ASSERT_TRUE(client.Send("HELO\r\n"));
    const std::string challenge = client.ReadLine();
    token = TokenFor(challenge, kPassword);
    ASSERT_TRUE(client.Send("ENTER " + TokenFor(challenge, "a guess") + "\r\n"));
    EXPECT_EQ(client.ReadLine(), "401 Unauthorized.\r\n");
    ASSERT_TRUE(client.Send("ENTER " + token + "\r\nLIST\r\n"));
    EXPECT_EQ(client.ReadLine(), "200 Welcome.\r\n");
    ReadListing(client);
    ASSERT_TRUE(client.Send("GET big.bin\r\nOffset: 0 0\r\n"));
    EXPECT_EQ(ReadGetHeader(client), GetHeaderOf(base() / "big.bin"));
    EXPECT_EQ(client.ReadBytes(1000).size(), 1000u);
  }  // closed with most of the body unread
  ASSERT_TRUE(LogShows(child, "ended: closed")) << child.Stderr();
  {
    RawClient client;
    ASSERT_TRUE(client.Connect(port));
    ASSERT_TRUE(client.Login(kPassword));
    ASSERT_TRUE(client.Send("GET hello.txt\r\nOffset: 0 0\r\n"));
    EXPECT_EQ(ReadGetHeader(client), GetHeaderOf(base() / "hello.txt"));
    EXPECT_EQ(client.ReadBytes(5 + 16), "hello" + Md5Raw("hello"));
    ASSERT_TRUE(client.Send("DELE hello.txt\r\nQUIT\r\n"));
    EXPECT_EQ(client.ReadLine(), "200 File Deleted.\r\n");
    EXPECT_EQ(client.ReadLine(), "200 GoodBye.\r\n");
  }
  ASSERT_TRUE(LogShows(child, "ended: QUIT")) << child.Stderr();
  EXPECT_EQ(service_.Terminate(), 0);

  const std::string log = child.Stderr();
  EXPECT_EQ(log.find(kPassword), std::string::npos);
  EXPECT_EQ(log.find(token), std::string::npos);
  // The clients' ports, the times and the rates differ from run to run.
  const std::string peer = R"(127\.0\.0\.1:[0-9]+)";
  const std::string took = R"( bytes sent in [0-9]+\.[0-9]{3} s \([0-9]+\.[0-9] [KM]B/s\), )";
  const std::vector<std::string> expected = {
      RegexQuoted("<5>started: listening on 127.0.0.1:" + std::to_string(port) + ", BASE " +
                  base().string()),
      "<6>session from " + peer + " opened",
      "<4>login refused from " + peer,
      "<5>login from " + peer,
      "<6>LIST from " + peer + ": 2 files",
      R"(<6>GET "big\.bin" from )" + peer + ": offset 0, [0-9]+" + took + "cut",
      "<6>session from " + peer + " ended: closed",
      "<6>session from " + peer + " opened",
      "<5>login from " + peer,
      R"(<6>GET "hello\.txt" from )" + peer + ": offset 0, 5" + took + "completed",
      R"(<5>DELE "hello\.txt" from )" + peer + ": deleted",
      "<6>session from " + peer + " ended: QUIT",
      "<5>stopped"};
  const std::vector<std::string> lines = LinesOf(log);
  ASSERT_EQ(lines.size(), expected.size()) << log;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_TRUE(std::regex_match(lines[i], std::regex(expected[i]))) << lines[i] << "\n" << log;
  }
}

// On IPv6 (ADDRESS=::1) the log writes the service's address and each peer in brackets before
// the port; the start's probe is the first session.
TEST_F(ProgramTest, Ipv6PeersAreLoggedInBrackets) {
  ASSERT_TRUE(service_.Start("::1"));
  RawClient client;
  ASSERT_TRUE(client.Connect(port(), "::1"));
  ASSERT_TRUE(client.Login(kPassword));
  ASSERT_TRUE(LogShows(process(), "login from [::1]:")) << process().Stderr();
  const std::string log = process().Stderr();
  EXPECT_TRUE(
      Contains(log, "QuarvSvc: started: listening on [::1]:" + std::to_string(port()) + ", BASE "))
      << log;
  EXPECT_TRUE(
      std::regex_search(log, std::regex(R"(\nQuarvSvc: session from \[::1\]:[0-9]+ opened\n)")))
      << log;
}

// A producer renames a new version over a file after the agent fetched it: the agent's DELE
// leaves the new version, and the log says why.
TEST_F(ProgramTest, DeleLeavesANewVersionRenamedOverTheFileThatWasSent) {
  ASSERT_TRUE(service_.Start());
  RawClient client;
  ASSERT_TRUE(client.Connect(port()));
  ASSERT_TRUE(client.Login(kPassword));
  ASSERT_TRUE(FetchWhole(client, base() / "hello.txt", "hello.txt"));
  WriteFile(base() / "hello.txt.new", "hello again");
  fs::rename(base() / "hello.txt.new", base() / "hello.txt");
  ASSERT_TRUE(client.Send("DELE hello.txt\r\n"));
  EXPECT_EQ(client.ReadLine(), "500 File Cannot Delete.\r\n");
  EXPECT_EQ(ReadFile(base() / "hello.txt"), "hello again");
  EXPECT_TRUE(LogShows(process(), "not deleted (changed since it was sent)")) << process().Stderr();
  EXPECT_TRUE(std::regex_search(
      process().Stderr(),
      std::regex(R"(DELE "hello\.txt" from 127\.0\.0\.1:[0-9]+: not deleted \(changed since)")))
      << process().Stderr();
  EXPECT_EQ(service_.Terminate(), 0);
}

// A certificate and its key made as the service makes them, as PEM text.
struct Identity {
  std::string certificate;
  std::string key;
};
Identity NewIdentity() {
  Identity identity;
  std::string error;
  EXPECT_TRUE(
      platform::MakeSelfSignedIdentity("localhost", &identity.certificate, &identity.key, &error))
      << error;
  return identity;
}

constexpr fs::perms kOwnerOnly = fs::perms::owner_read | fs::perms::owner_write;

// With TLS, a certificate or key that cannot be used keeps the service from starting, with the
// reason in one line; nothing is made in place of what is there.
TEST_F(ProgramTest, TlsRefusesToStartOnAnUnusableCertificateOrKey) {
  const fs::path dir = fs::canonical(service_.dir());
  const std::string settings = ServiceSettings(port(), base(), kPassword) + "TLS=Yes\r\n";
  const Identity identity = NewIdentity();
  const std::string refused = "QuarvSvc: not started: TLS: ";
  const auto expectRefused = [&](const std::string& why, const std::string& line) {
    std::string stopped;
    ExpectRefusedStart(service_, notify_, why, &stopped);
    EXPECT_EQ(stopped, "STATUS=stopped (exit code 1066, service-specific code 2)") << why;
    EXPECT_EQ(process().Stderr(), refused + line + "\n") << why;
  };
  const fs::path certificate = dir / "QuarvSvc.crt";
  const fs::path key = dir / "QuarvSvc.key";

  WriteSettings(settings);
  WriteFile(certificate, identity.certificate);
  expectRefused("certificate without its key",
                "the certificate " + certificate.string() + " is there but its key " +
                    key.string() +
                    " is missing: restore the key, or remove the certificate to have a new pair "
                    "made");
  EXPECT_FALSE(fs::exists(key));
  EXPECT_EQ(ReadFile(certificate), identity.certificate);

  WriteFile(key, identity.key);
  fs::permissions(key, kOwnerOnly | fs::perms::group_read | fs::perms::others_read);
  expectRefused("key readable by others", "the key " + key.string() +
                                              " can be read by others (mode 0644): make it "
                                              "readable by the service only");
  fs::permissions(key, kOwnerOnly | fs::perms::group_read);
  expectRefused("key readable by its group", "the key " + key.string() +
                                                 " can be read by others (mode 0640): make it "
                                                 "readable by the service only");

  // CERTIFICATE and KEY relative to the settings file's directory.
  fs::create_directory(dir / "tls");
  const fs::path otherCertificate = dir / "tls" / "service.pem";
  const fs::path otherKey = dir / "tls" / "service.key";
  WriteSettings(settings + "CERTIFICATE=tls/service.pem\r\nKEY=tls/service.key\r\n");
  WriteFile(otherCertificate, "-----BEGIN CERTIFICATE-----\ngarbage\n-----END CERTIFICATE-----\n");
  WriteFile(otherKey, identity.key);
  fs::permissions(otherKey, kOwnerOnly);
  const std::string pair = "the certificate " + otherCertificate.string() + " and the key " +
                           otherKey.string() + " cannot be used: ";
  ExpectRefusedStart(service_, notify_, "garbage certificate");
  EXPECT_EQ(process().Stderr().rfind(refused + pair + "the certificate is not PEM", 0), 0u)
      << process().Stderr();
  EXPECT_EQ(Count(process().Stderr(), "\n"), 1) << process().Stderr();

  WriteFile(otherCertificate, NewIdentity().certificate);
  expectRefused("key of another certificate", pair + "the key does not match the certificate");
  EXPECT_FALSE(fs::exists(certificate.parent_path() / "tls" / "QuarvSvc.key"));
}

// The fingerprint in the start's log line, or "" when there is none.
std::string LoggedFingerprint(const std::string& log) {
  std::smatch match;
  static const std::regex line(
      "QuarvSvc: TLS certificate SHA-256 fingerprint ((?:[0-9A-F]{2}:){31}[0-9A-F]{2})\n");
  return std::regex_search(log, match, line) ? match[1].str() : std::string();
}

// The first start with TLS makes the certificate and a key only the service's user can read,
// and logs the fingerprint that a client then sees; the next start serves the same pair.
TEST_F(ProgramTest, TlsFirstStartMakesItsIdentityAndTheNextStartKeepsIt) {
  const fs::path dir = fs::canonical(service_.dir());
  const fs::path certificate = dir / "QuarvSvc.crt";
  const fs::path key = dir / "QuarvSvc.key";
  WriteSettings(ServiceSettings(port(), base(), kPassword) + "TLS=yes\r\n");
  ASSERT_TRUE(service_.Launch(&notify_));
  ASSERT_TRUE(notify_.WaitFor("READY=1")) << process().Stderr();
  EXPECT_EQ((fs::status(key).permissions() & fs::perms::all), kOwnerOnly);
  const std::string pem = ReadFile(certificate);
  const std::string keyPem = ReadFile(key);
  std::string fingerprint;
  std::string error;
  ASSERT_TRUE(platform::CheckIdentity(pem, keyPem, &fingerprint, &error)) << error;
  EXPECT_TRUE(Contains(process().Stderr(),
                       "QuarvSvc: TLS: made the certificate " + certificate.string() +
                           " (CN=" + platform::HostName() + ") and its key " + key.string() + "\n"))
      << process().Stderr();
  EXPECT_EQ(LoggedFingerprint(process().Stderr()), fingerprint) << process().Stderr();
  EXPECT_FALSE(Serving(port())) << "a plain login to a TLS service";
  EXPECT_EQ(service_.Terminate(), 0);

  ASSERT_TRUE(service_.Launch(&notify_));
  ASSERT_TRUE(notify_.WaitFor("READY=1")) << process().Stderr();
  EXPECT_FALSE(Contains(process().Stderr(), "made the certificate")) << process().Stderr();
  EXPECT_EQ(LoggedFingerprint(process().Stderr()), fingerprint) << process().Stderr();
  EXPECT_EQ(ReadFile(certificate), pem);
  EXPECT_EQ(ReadFile(key), keyPem);

  // A client sees the logged fingerprint, and its login line tells the session's TLS.
  std::unique_ptr<platform::TlsContext> client = platform::TlsContext::ForClient(&error);
  ASSERT_NE(client, nullptr) << error;
  Connection connection;
  ASSERT_TRUE(connection.SetReceiveTimeout(10000));
  ASSERT_TRUE(connection.Connect("127.0.0.1", port()));
  ASSERT_TRUE(connection.StartTls(*client, &error)) << error;
  EXPECT_EQ(connection.PeerFingerprint(), fingerprint);
  connection.SendText("HELO\r\n");
  char line[kLineLimit] = {};
  ASSERT_TRUE(connection.ReadLine(line, kLineLimit)) << process().Stderr();
  connection.SendText(
      ("ENTER " + TokenFor(std::string(line) + "\r\n", kPassword) + "\r\n").c_str());
  ASSERT_TRUE(connection.ReadLine(line, kLineLimit));
  EXPECT_STREQ(line, "200 Welcome.");
  ASSERT_TRUE(LogShows(process(), " over " + connection.TlsDescription() + "\n"))
      << process().Stderr();
  EXPECT_TRUE(std::regex_search(
      process().Stderr(),
      std::regex(R"(\nQuarvSvc: login from 127\.0\.0\.1:[0-9]+ over TLSv1\.3 TLS_[A-Z0-9_]+\n)")))
      << process().Stderr();
  connection.Close();
  EXPECT_EQ(service_.Terminate(), 0);
}

// Where the helper below writes the process id of the service it started.
constexpr char kServicePidVariable[] = "QUARV_TEST_SERVICE_PID_FILE";

// Whether `pid` names a process that has not ended (a zombie has).
bool Alive(int pid) {
  const std::string stat = ReadFile(fs::path("/proc") / std::to_string(pid) / "stat");
  const std::size_t name = stat.rfind(')');
  return name != std::string::npos && name + 2 < stat.size() && stat[name + 2] != 'Z' &&
         stat[name + 2] != 'X';
}

// Run only by the test below, in a process of its own: starts the service, tells its process
// id, and waits to be killed.
TEST(ChildProcessTest, DISABLED_HelperStartsTheServiceAndWaitsToBeKilled) {
  const char* pidFile = std::getenv(kServicePidVariable);
  if (pidFile == nullptr) GTEST_SKIP() << "a helper of ChildProcessTest";
  ServiceProcess service(kPassword);
  ASSERT_TRUE(service.Start());
  const std::string written = std::string(pidFile) + ".new";
  WriteFile(written, std::to_string(service.pid()));
  fs::rename(written, pidFile);
  std::this_thread::sleep_for(60s);
}

// A test killed (by a time limit, say) takes the service it started with it.
TEST(ChildProcessTest, TheServiceEndsWithTheTestThatStartedIt) {
  TempDir dir;
  const fs::path pidFile = dir.path() / "service.pid";
  LaunchOptions options;
  // What the helper makes under the temporary directory lies in `dir`, which is removed here:
  // the killed helper removes nothing.
  options.environment = {{"TMPDIR", dir.str()},
                         {kServicePidVariable, pidFile.string()},
                         {"GTEST_TOTAL_SHARDS", std::nullopt},
                         {"GTEST_SHARD_INDEX", std::nullopt}};
  Process helper;
  ASSERT_TRUE(helper.Start(
      {fs::read_symlink("/proc/self/exe").string(),
       "--gtest_filter=ChildProcessTest.DISABLED_Helper*", "--gtest_also_run_disabled_tests"},
      dir.path(), options));
  for (int wait = 0; wait < 3000 && !fs::exists(pidFile) && helper.Running(); ++wait) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_TRUE(fs::exists(pidFile)) << helper.Stdout();
  const int service = std::stoi(ReadFile(pidFile));
  ASSERT_TRUE(Alive(service));
  helper.Kill();
  bool ended = false;
  for (int wait = 0; wait < 1000 && !ended; ++wait) {
    ended = !Alive(service);
    if (!ended) std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(ended) << "the service outlived the test that started it";
  if (!ended) ::kill(service, SIGKILL);
}

}  // namespace
}  // namespace quarv::test
