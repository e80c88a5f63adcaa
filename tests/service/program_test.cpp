// The QuarvSvc program as users run it: beside its own QuarvSvc.ini, in the foreground or under
// systemd (its notification socket stood in for by a test socket), controlled by signals.
#include <signal.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/service/service_test_support.h"

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
  ProgramTest() : notify_(program_.dir() / "notify.sock") {
    base_ = program_.dir() / "base";
    fs::create_directory(base_);
    WriteFile(base_ / "hello.txt", "hello");
  }
  void WriteSettings(const std::string& body) { WriteServiceSettings(program_.dir(), body); }
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

  ServiceProgram program_;
  NotifyListener notify_;
  fs::path base_;
};

TEST_F(ProgramTest, UnderSystemdReportsEveryStateAndFollowsTheSignals) {
  const std::uint16_t port = FreeLoopbackPort();
  WriteSettings(StandardSettings(port, base_, kPassword));
  ASSERT_TRUE(notify_.bound());
  ASSERT_TRUE(program_.Start(&notify_));
  EXPECT_EQ(MessagesThrough("READY=1"),
            (std::vector<std::string>{"STATUS=starting", "STATUS=starting", "STATUS=starting",
                                      "READY=1\nSTATUS=running"}));
  EXPECT_TRUE(Serving(port));

  program_.child().Signal(SIGUSR1);  // pause
  EXPECT_EQ(MessagesThrough("STATUS=paused"),
            (std::vector<std::string>{"STATUS=pausing", "STATUS=paused"}));
  EXPECT_FALSE(Serving(port));

  program_.child().Signal(SIGHUP);  // interrogate
  EXPECT_EQ(notify_.Next(), "STATUS=paused");

  program_.child().Signal(SIGUSR2);  // continue
  EXPECT_EQ(MessagesThrough("READY=1"),
            (std::vector<std::string>{"STATUS=continuing", "READY=1\nSTATUS=running"}));
  EXPECT_TRUE(Serving(port));

  RawClient idle;
  ASSERT_TRUE(idle.Connect(port));
  ASSERT_TRUE(idle.Login(kPassword));
  EXPECT_EQ(program_.Terminate(SIGTERM), 0);
  EXPECT_EQ(MessagesThrough("STATUS=stopped"),
            (std::vector<std::string>{"STOPPING=1\nSTATUS=stopping", "STATUS=stopped"}));
  EXPECT_TRUE(idle.WaitClosed(10s));
  EXPECT_EQ(program_.child().Stdout(), "");
  // The log (plain lines: standard error is not the journal's here) tells every change of state.
  const std::string started = "QuarvSvc: started: listening on 127.0.0.1:" + std::to_string(port) +
                              ", BASE " + base_.string();
  std::vector<std::string> states;
  for (const std::string& line : LinesOf(program_.child().Stderr())) {
    for (const char* state : {"started", "paused", "continued", "stopped"}) {
      if (line.rfind(std::string("QuarvSvc: ") + state, 0) == 0) states.push_back(line);
    }
  }
  EXPECT_EQ(states, (std::vector<std::string>{started, "QuarvSvc: paused: the port is closed",
                                              "QuarvSvc: continued: reading the settings again",
                                              started, "QuarvSvc: stopped"}));
}

TEST_F(ProgramTest, AbstractNotifySocketNameIsUnderstood) {
  const std::uint16_t port = FreeLoopbackPort();
  WriteSettings(StandardSettings(port, base_, kPassword));
  NotifyListener abstract("@quarv-test-notify-" + std::to_string(::getpid()));
  ASSERT_TRUE(abstract.bound());
  ASSERT_TRUE(program_.Start(&abstract));
  EXPECT_TRUE(abstract.WaitFor("READY=1"));
  EXPECT_EQ(program_.Terminate(SIGINT), 0);
  EXPECT_TRUE(abstract.WaitFor("STOPPING=1"));
}

TEST_F(ProgramTest, StartedByHandItRunsInTheForegroundUntilCtrlC) {
  const std::uint16_t port = FreeLoopbackPort();
  WriteSettings(StandardSettings(port, base_, kPassword));
  ASSERT_TRUE(program_.Start(nullptr));
  bool serving = false;
  for (int i = 0; i < 400 && !serving; ++i) {
    serving = Serving(port);
    if (!serving) std::this_thread::sleep_for(25ms);
  }
  ASSERT_TRUE(serving);
  RawClient client;
  ASSERT_TRUE(client.Connect(port));
  ASSERT_TRUE(client.Login(kPassword));
  ASSERT_TRUE(client.Send("GET hello.txt\r\nOffset: 0 0\r\n"));
  EXPECT_EQ(ReadGetHeader(client), GetHeaderOf(base_ / "hello.txt"));
  EXPECT_EQ(client.ReadBytes(5 + 16), "hello" + Md5Raw("hello"));
  EXPECT_EQ(program_.Terminate(SIGINT), 0);
  EXPECT_TRUE(client.WaitClosed(10s));
  EXPECT_EQ(program_.child().Stdout(), "");
  EXPECT_EQ(program_.child().Stderr().find(kPassword), std::string::npos);
}

// Starts the program on `settings` and expects it to give up: no READY=1, a stopped report with
// an exit code (the report to `stopped` when given), and a prompt end.
void ExpectRefusedStart(ServiceProgram& program, NotifyListener& notify, const std::string& why,
                        std::string* stopped = nullptr) {
  ASSERT_TRUE(program.Start(&notify)) << why;
  std::vector<std::string> seen;
  EXPECT_TRUE(notify.WaitFor("STATUS=stopped", &seen)) << why;
  for (const auto& message : seen) {
    EXPECT_EQ(message.find("READY=1"), std::string::npos) << why;
  }
  ASSERT_FALSE(seen.empty());
  EXPECT_NE(seen.back().find("(exit code "), std::string::npos) << why << ": " << seen.back();
  if (stopped != nullptr) *stopped = seen.back();
  int code = -1;
  EXPECT_TRUE(program.child().Wait(20s, &code)) << why;
  EXPECT_EQ(code, 0) << why;
}

TEST_F(ProgramTest, PortThatIsNotAPositiveNumberRefusesToStart) {
  for (const char* port : {"0", "-5999", "abc", "", "70000"}) {
    WriteSettings(std::string("PORT=") + port + "\r\nADDRESS=127.0.0.1\r\nBASE=" + base_.string() +
                  "\r\n");
    ExpectRefusedStart(program_, notify_, std::string("PORT=") + port);
    EXPECT_EQ(program_.child().Stderr().rfind(std::string("QuarvSvc: not started: PORT \"") + port +
                                                  "\" is not a port number (1 to 65535) in ",
                                              0),
              0u)
        << program_.child().Stderr();
  }
}

TEST_F(ProgramTest, WithoutAPasswordItRefusesToStartAndSaysWhy) {
  const std::uint16_t port = FreeLoopbackPort();
  const std::string ini = (fs::canonical(program_.dir()) / "QuarvSvc.ini").string();
  const std::string rest =
      "PORT=" + std::to_string(port) + "\r\nADDRESS=127.0.0.1\r\nBASE=" + base_.string() + "\r\n";
  for (const std::string& password :
       {std::string(), std::string("PASSWORD=\r\n"), std::string("password = \"\"\r\n")}) {
    WriteSettings(rest + password);
    std::string stopped;
    ExpectRefusedStart(program_, notify_, "password line: " + password, &stopped);
    EXPECT_EQ(stopped, "STATUS=stopped (exit code 1066, service-specific code 1)") << password;
    EXPECT_EQ(program_.child().Stderr(),
              "QuarvSvc: not started: PASSWORD is empty in " + ini + "\n")
        << password;
    EXPECT_FALSE(Serving(port, "")) << password;
  }
}

TEST_F(ProgramTest, PortWithTrailingCharactersUsesItsDigits) {
  const std::uint16_t port = FreeLoopbackPort();
  WriteSettings("port = \"  " + std::to_string(port) + "th\"\r\naddress=127.0.0.1\r\nbase=" +
                base_.string() + "\r\npassword=" + kPassword + "\r\n");
  ASSERT_TRUE(program_.Start(&notify_));
  ASSERT_TRUE(notify_.WaitFor("READY=1"));
  EXPECT_TRUE(Serving(port));
}

TEST_F(ProgramTest, PortInUseRefusesToStart) {
  const std::uint16_t port = FreeLoopbackPort();
  WriteSettings(StandardSettings(port, base_, kPassword));
  ServiceProgram first;
  WriteServiceSettings(first.dir(), StandardSettings(port, base_, kPassword));
  NotifyListener firstNotify(first.dir() / "notify.sock");
  ASSERT_TRUE(first.Start(&firstNotify));
  ASSERT_TRUE(firstNotify.WaitFor("READY=1"));
  ExpectRefusedStart(program_, notify_, "port in use");
  EXPECT_EQ(program_.child().Stderr().rfind("QuarvSvc: not started: cannot listen on ADDRESS "
                                            "127.0.0.1 PORT " +
                                                std::to_string(port) + " (",
                                            0),
            0u)
      << program_.child().Stderr();
  EXPECT_TRUE(Serving(port));
  EXPECT_EQ(first.Terminate(), 0);
}

TEST_F(ProgramTest, PasswordOf82CharactersWorksAndLongerRefusesToStart) {
  const std::string longest(82, 'p');
  const std::uint16_t port = FreeLoopbackPort();
  WriteSettings(StandardSettings(port, base_, longest + "q"));
  ExpectRefusedStart(program_, notify_, "83-character password");
  EXPECT_EQ(program_.child().Stderr(),
            "QuarvSvc: not started: PASSWORD is longer than 82 characters in " +
                (fs::canonical(program_.dir()) / "QuarvSvc.ini").string() + "\n");

  WriteSettings(StandardSettings(port, base_, longest));
  ASSERT_TRUE(program_.Start(&notify_));
  ASSERT_TRUE(notify_.WaitFor("READY=1"));
  EXPECT_TRUE(Serving(port, longest));
  EXPECT_FALSE(Serving(port, longest.substr(1)));
}

// Waits until the program's standard error holds `text` (at most ten seconds).
bool LogShows(ChildProcess& child, const std::string& text) {
  for (int i = 0; i < 400; ++i) {
    if (child.Stderr().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(25ms);
  }
  return false;
}

std::string RegexQuoted(const std::string& text) {
  return std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

// The log of two sessions, read back from the program's standard error made the journal's
// stream (JOURNAL_STREAM names it), so that each line carries its level: a refused and an
// accepted login, LIST, a GET cut by the client, a whole GET, DELE and QUIT.
TEST_F(ProgramTest, SessionEventsAreLoggedInOrderWithTheirLevelsAndNoSecret) {
  const std::uint16_t port = FreeLoopbackPort();
  WriteSettings(StandardSettings(port, base_, kPassword));
  WriteFile(base_ / "big.bin", std::string(std::size_t{16} << 20, 'b'));  // more than sockets hold
  ChildProcess& child = program_.child();
  ASSERT_TRUE(child.Start({"/usr/bin/env", "NOTIFY_SOCKET=" + notify_.name(), "/bin/sh", "-c",
                           "export JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2); exec \"$0\"",
                           (program_.dir() / "QuarvSvc").string()},
                          program_.dir()));
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
    EXPECT_EQ(ReadGetHeader(client), GetHeaderOf(base_ / "big.bin"));
    EXPECT_EQ(client.ReadBytes(1000).size(), 1000u);
  }  // closed with most of the body unread
  ASSERT_TRUE(LogShows(child, "ended: closed")) << child.Stderr();
  {
    RawClient client;
    ASSERT_TRUE(client.Connect(port));
    ASSERT_TRUE(client.Login(kPassword));
    ASSERT_TRUE(client.Send("GET hello.txt\r\nOffset: 0 0\r\n"));
    EXPECT_EQ(ReadGetHeader(client), GetHeaderOf(base_ / "hello.txt"));
    EXPECT_EQ(client.ReadBytes(5 + 16), "hello" + Md5Raw("hello"));
    ASSERT_TRUE(client.Send("DELE hello.txt\r\nQUIT\r\n"));
    EXPECT_EQ(client.ReadLine(), "200 File Deleted.\r\n");
    EXPECT_EQ(client.ReadLine(), "200 GoodBye.\r\n");
  }
  ASSERT_TRUE(LogShows(child, "ended: QUIT")) << child.Stderr();
  EXPECT_EQ(program_.Terminate(), 0);

  const std::string log = child.Stderr();
  EXPECT_EQ(log.find(kPassword), std::string::npos);
  EXPECT_EQ(log.find(token), std::string::npos);
  // The clients' ports, the times and the rates differ from run to run.
  const std::string peer = R"(127\.0\.0\.1:[0-9]+)";
  const std::string took = R"( bytes sent in [0-9]+\.[0-9]{3} s \([0-9]+\.[0-9] [KM]B/s\), )";
  const std::vector<std::string> expected = {
      RegexQuoted("<5>started: listening on 127.0.0.1:" + std::to_string(port) + ", BASE " +
                  base_.string()),
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

}  // namespace
}  // namespace quarv::test
