// The QuarvSvc program as users run it: beside its own QuarvSvc.ini, in the foreground or under
// systemd (its notification socket stood in for by a test socket), controlled by signals.
#include <signal.h>

#include <string>
#include <vector>

#include "tests/service/service_test_support.h"

namespace quarv::test {
namespace {

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
  EXPECT_EQ(program_.child().Stderr(), "");
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
  EXPECT_EQ(program_.child().Stderr(), "");
}

// Starts the program on `settings` and expects it to give up: no READY=1, a stopped report with
// an exit code, and a prompt end.
void ExpectRefusedStart(ServiceProgram& program, NotifyListener& notify, const std::string& why) {
  ASSERT_TRUE(program.Start(&notify)) << why;
  std::vector<std::string> seen;
  EXPECT_TRUE(notify.WaitFor("STATUS=stopped", &seen)) << why;
  for (const auto& message : seen) {
    EXPECT_EQ(message.find("READY=1"), std::string::npos) << why;
  }
  ASSERT_FALSE(seen.empty());
  EXPECT_NE(seen.back().find("(exit code "), std::string::npos) << why << ": " << seen.back();
  int code = -1;
  EXPECT_TRUE(program.child().Wait(20s, &code)) << why;
  EXPECT_EQ(code, 0) << why;
}

TEST_F(ProgramTest, PortThatIsNotAPositiveNumberRefusesToStart) {
  for (const char* port : {"0", "-5999", "abc", "", "70000"}) {
    WriteSettings(std::string("PORT=") + port + "\r\nADDRESS=127.0.0.1\r\nBASE=" + base_.string() +
                  "\r\n");
    ExpectRefusedStart(program_, notify_, std::string("PORT=") + port);
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
  EXPECT_TRUE(Serving(port));
  EXPECT_EQ(first.Terminate(), 0);
}

TEST_F(ProgramTest, PasswordOf82CharactersWorksAndLongerRefusesToStart) {
  const std::string longest(82, 'p');
  const std::uint16_t port = FreeLoopbackPort();
  WriteSettings(StandardSettings(port, base_, longest + "q"));
  ExpectRefusedStart(program_, notify_, "83-character password");

  WriteSettings(StandardSettings(port, base_, longest));
  ASSERT_TRUE(program_.Start(&notify_));
  ASSERT_TRUE(notify_.WaitFor("READY=1"));
  EXPECT_TRUE(Serving(port, longest));
  EXPECT_FALSE(Serving(port, longest.substr(1)));
}

}  // namespace
}  // namespace quarv::test
