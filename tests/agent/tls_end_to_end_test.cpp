// The two real programs over TLS: a fetch with the service's certificate pinned, and every way
// in which no protocol byte may pass: an impostor with another certificate, a plain peer on
// either side, a pin that is missing.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <future>
#include <memory>
#include <regex>
#include <string>

#include "common/connection.h"
#include "platform/tls.h"
#include "tests/support/agent_process.h"
#include "tests/support/service_process.h"
#include "tests/support/test_support.h"

namespace quarv::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr char kPassword[] = "over-tls";
constexpr platform::FileTime kTime = 132537600001234567;
constexpr char kFingerprintLine[] = "QuarvSvc: TLS certificate SHA-256 fingerprint ";

// The fingerprint the service logged at its start, or "".
std::string LoggedFingerprint(ServiceProcess& service) {
  const std::string log = service.process().Stderr();
  const std::size_t at = log.find(kFingerprintLine);
  if (at == std::string::npos) return "";
  const std::size_t start = at + sizeof kFingerprintLine - 1;
  return log.substr(start, log.find('\n', start) - start);
}

class TlsEndToEndTest : public ::testing::Test {
 protected:
  void Serve(const std::string& name, const std::string& content) const {
    WriteFile(service.served() / name, content);
    SetFileTime(service.served() / name, kTime);
  }
  void Configure(std::uint16_t port, const std::string& more) const {
    agent.WriteSettingsFor(port, kPassword, "TRY=1\n" + more);
  }
  std::string Log() { return service.process().Stderr(); }

  ServiceProcess service{kPassword};
  AgentProcess agent;
};

TEST_F(TlsEndToEndTest, FilesArriveOverTlsWithTheServiceCertificatePinned) {
  ASSERT_TRUE(service.StartWith("TLS=Yes\n")) << Log();
  const std::string fingerprint = LoggedFingerprint(service);
  ASSERT_EQ(fingerprint.size(), 95u) << Log();
  const std::string big = PatternBytes(std::size_t{3} * 1024 * 1024 + 5);
  Serve("a.txt", "over the wire, sealed");
  Serve("b.bin", big);
  // The pin as an operator may paste it: lower case, blanks for colons.
  std::string pasted = fingerprint;
  for (char& c : pasted) c = c == ':' ? ' ' : static_cast<char>(std::tolower(c));
  Configure(service.port(), "TLS=Yes\nFINGERPRINT=" + pasted + "\n");

  const std::string out = agent.Run();
  EXPECT_TRUE(
      std::regex_search(out, std::regex("\nTLSで接続しました（TLSv1\\.3 TLS_[A-Z0-9_]+）。\n"
                                        "ログインしています...\n")))
      << out;
  EXPECT_TRUE(out.ends_with("\n転送は成功しました。\n転送したファイルは 2個 です。\n")) << out;
  EXPECT_EQ(ReadFile(agent.base() / "a.txt"), "over the wire, sealed");
  EXPECT_TRUE(ReadFile(agent.base() / "b.bin") == big);
  EXPECT_EQ(GetFileTime(agent.base() / "b.bin"), kTime);
  EXPECT_TRUE(std::regex_search(
      Log(), std::regex("\nQuarvSvc: login from 127\\.0\\.0\\.1:[0-9]+ over TLSv1\\.3 ")))
      << Log();
}

// An impostor between the agent and the service, with a certificate of its own: the handshake
// succeeds, but the agent compares the pin before the protocol's first byte and hangs up. The
// impostor decrypts what it gets: nothing.
TEST_F(TlsEndToEndTest, AnImpostorWithAnotherCertificateReceivesNoProtocolByte) {
  std::string certificate, key, error, impostorPrint;
  ASSERT_TRUE(platform::MakeSelfSignedIdentity("localhost", &certificate, &key, &error)) << error;
  ASSERT_TRUE(platform::CheckIdentity(certificate, key, &impostorPrint, &error)) << error;
  const auto context = platform::TlsContext::ForServer(certificate, key, &error);
  ASSERT_NE(context, nullptr) << error;
  Connection listener;
  ASSERT_TRUE(listener.Startup(1, 1));
  ASSERT_TRUE(listener.Listen(0, "127.0.0.1"));
  auto impostor = std::async(std::launch::async, [&] {
    Connection session;
    std::string why;
    if (!listener.Accept(session) || !session.StartTls(*context, &why)) return std::string("-");
    std::array<char, 4096> got{};
    std::uint32_t count = 0;
    std::string received;
    while (session.Receive(got.data(), static_cast<std::uint32_t>(got.size()), &count)) {
      received.append(got.data(), count);
    }
    return received;
  });
  const std::string pinned(
      "00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF:00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:"
      "EE:FF");
  Configure(listener.LocalPort(), "TLS=Yes\nFINGERPRINT=" + pinned + "\n");

  const std::string out = agent.Run();
  listener.Close();  // ends the impostor's accept, should the agent never have come
  ASSERT_EQ(impostor.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(impostor.get(), "");
  EXPECT_TRUE(Contains(out,
                       "サーバの証明書がFINGERPRINTと一致しません。切断します。\n"
                       "サーバの証明書: " +
                           impostorPrint + "\nFINGERPRINT:    " + pinned + "\n"))
      << out;
  EXPECT_FALSE(Contains(out, "ログインしています")) << out;
  EXPECT_TRUE(out.ends_with("転送したファイルは 0個 です。\n")) << out;
  EXPECT_TRUE(fs::is_empty(agent.base()));
}

// A plain agent to a TLS service, and a TLS agent to a plain service: no exchange either way.
TEST_F(TlsEndToEndTest, PlainAndTlsProgramsNeverTalkTheProtocol) {
  Serve("a.txt", "never sent");
  ASSERT_TRUE(service.StartWith("TLS=Yes\n")) << Log();
  Configure(service.port(), "");
  std::string out = agent.Run();
  EXPECT_TRUE(Contains(out, "ログインしています...\nファイルの取得中にエラーが発生しました。\n"))
      << out;
  ASSERT_TRUE(service.process().StderrShows("QuarvSvc: TLS handshake failed from 127.0.0.1:"))
      << Log();
  EXPECT_FALSE(Contains(Log(), "login from")) << Log();
  EXPECT_EQ(service.Terminate(), 0);

  ASSERT_TRUE(service.Start());
  Configure(service.port(), "TLS=Yes\nFINGERPRINT=" + std::string(64, 'a') + "\n");
  out = agent.Run();
  EXPECT_TRUE(Contains(out, "とのTLSハンドシェイクに失敗しました。")) << out;
  EXPECT_FALSE(Contains(out, "ログインしています")) << out;
  EXPECT_FALSE(Contains(Log(), "login from")) << Log();
  EXPECT_TRUE(fs::is_empty(agent.base()));
}

// TLS without a pin to check the service against: the run says why and connects to nothing.
TEST_F(TlsEndToEndTest, TlsWithoutAValidFingerprintFetchesNothing) {
  for (const std::string& pin : {std::string(), std::string(63, 'a'), std::string(64, 'g')}) {
    Configure(1, "TLS=Yes\nFINGERPRINT=" + pin + "\n");
    EXPECT_EQ(agent.Run(),
              "TLS=Yesですが、FINGERPRINTにサーバ証明書のSHA-256フィンガープリント"
              "（16進数64桁）がありません。終了します。\n")
        << pin;
  }
}

}  // namespace
}  // namespace quarv::test
