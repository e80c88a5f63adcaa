// Helpers of the service tests: a file server to talk to, either in this process or the real
// QuarvSvc program in a temporary directory beside its own QuarvSvc.ini; a listener for the
// readiness messages the program sends to systemd; and readers for LIST and GET replies.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/md5.h"
#include "platform/file_time.h"
#include "service/file_server.h"
#include "tests/support/test_support.h"

namespace quarv::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline constexpr char kPassword[] = "open sesame";
// The served directory's name: long enough that a request line of at most 198 bytes can name
// a file whose base prefix plus name reaches the 245-byte limit.
inline constexpr char kBaseName[] = "served-directory-with-a-name-long-enough-for-the-limit";

// A unix datagram socket standing in for systemd's notification socket.
class NotifyListener {
 public:
  explicit NotifyListener(const fs::path& path) : path_(path.string()) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    if (path_[0] == '@') address.sun_path[0] = '\0';
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path_.size());
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0;
  }
  ~NotifyListener() {
    ::close(fd_);
    if (path_[0] != '@') ::unlink(path_.c_str());
  }
  NotifyListener(const NotifyListener&) = delete;
  NotifyListener& operator=(const NotifyListener&) = delete;

  bool bound() const { return bound_; }
  const std::string& name() const { return path_; }

  // The next message, or "" when none came in time.
  std::string Next(std::chrono::milliseconds timeout = 20s) {
    pollfd waiter{fd_, POLLIN, 0};
    if (::poll(&waiter, 1, static_cast<int>(timeout.count())) <= 0) return {};
    char buffer[1024];
    const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
    return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : std::string();
  }
  // Reads messages until one contains `text`; every message seen goes to `seen` when given.
  bool WaitFor(const std::string& text, std::vector<std::string>* seen = nullptr,
               std::chrono::milliseconds timeout = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (int count = 0; count < 100; ++count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      const std::string message = Next(left);
      if (message.empty()) return false;
      if (seen != nullptr) seen->push_back(message);
      if (message.find(text) != std::string::npos) return true;
    }
    return false;
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
};

// Writes a QuarvSvc.ini into `dir`.
inline void WriteServiceSettings(const fs::path& dir, const std::string& body) {
  WriteFile(dir / "QuarvSvc.ini", "; written by a test\r\n[SERVER]\r\n" + body);
}

inline std::string StandardSettings(std::uint16_t port, const fs::path& base,
                                    const std::string& password) {
  return "PORT=" + std::to_string(port) + "\r\nADDRESS=127.0.0.1\r\nBASE=" + base.string() +
         "\r\nPASSWORD=" + password + "\r\n";
}

// The QuarvSvc program, copied into its own directory beside its own settings.
class ServiceProgram {
 public:
  ServiceProgram() : exe_(CopyExecutable(QUARV_SVC_EXE, dir_.path())) {}
  ~ServiceProgram() { child_.Kill(); }

  const fs::path& dir() const { return dir_.path(); }
  ChildProcess& child() { return child_; }

  // Starts the program with NOTIFY_SOCKET pointing at `notify`, so that its readiness can be
  // awaited.
  bool Start(NotifyListener* notify) {
    std::vector<std::string> argv = {"/usr/bin/env"};
    argv.push_back(notify != nullptr ? "NOTIFY_SOCKET=" + notify->name() : "-u");
    if (notify == nullptr) argv.push_back("NOTIFY_SOCKET");
    argv.push_back(exe_.string());
    return child_.Start(argv, dir_.path());
  }
  // SIGTERM, then the end; the exit code (or -1 when it did not end).
  int Terminate(int signalNumber = SIGTERM) {
    child_.Signal(signalNumber);
    int code = -1;
    if (!child_.Wait(20s, &code)) return -1;
    return code;
  }

 private:
  TempDir dir_;
  fs::path exe_;
  ChildProcess child_;
};

// A file server to run the protocol tests against.
class ServerUnderTest {
 public:
  virtual ~ServerUnderTest() = default;
  virtual bool Start(const std::string& password) = 0;
  // Ends the server: FileServer::Stop, or SIGTERM for the program (which must end with 0).
  virtual void Stop() = 0;
  virtual const char* kind() const = 0;

  std::uint16_t port() const { return port_; }
  // The served directory (created empty).
  const fs::path& base() const { return base_; }
  // Length of the base prefix the server puts before a name.
  std::size_t prefixLength() const { return base_.string().size() + 1; }

 protected:
  std::uint16_t port_ = 0;
  fs::path base_;
};

class InProcessServer : public ServerUnderTest {
 public:
  InProcessServer() {
    base_ = dir_.path() / kBaseName;
    fs::create_directory(base_);
  }
  bool Start(const std::string& password) override {
    ServerSettings settings;
    settings.port = 0;
    std::strcpy(settings.base, base_.c_str());
    std::strcpy(settings.password, password.c_str());
    std::strcpy(settings.address, "127.0.0.1");
    if (!server_.Start(settings)) return false;
    port_ = server_.LocalPort();
    return port_ != 0;
  }
  void Stop() override { server_.Stop(); }
  const char* kind() const override { return "in-process"; }
  FileServer& server() { return server_; }

 private:
  TempDir dir_;
  FileServer server_;
};

class ProgramServer : public ServerUnderTest {
 public:
  ProgramServer() : notify_(program_.dir() / "notify.sock") {
    base_ = program_.dir() / kBaseName;
    fs::create_directory(base_);
  }
  bool Start(const std::string& password) override {
    port_ = FreeLoopbackPort();
    WriteServiceSettings(program_.dir(), StandardSettings(port_, base_, password));
    return notify_.bound() && program_.Start(&notify_) && notify_.WaitFor("READY=1");
  }
  void Stop() override { EXPECT_EQ(program_.Terminate(), 0); }
  const char* kind() const override { return "program"; }

 private:
  ServiceProgram program_;
  NotifyListener notify_;
};

enum class ServerKind { InProcess, Program };

inline std::unique_ptr<ServerUnderTest> MakeServer(ServerKind kind) {
  if (kind == ServerKind::InProcess) return std::make_unique<InProcessServer>();
  return std::make_unique<ProgramServer>();
}

inline std::string KindName(const testing::TestParamInfo<ServerKind>& info) {
  return info.param == ServerKind::InProcess ? "InProcess" : "Program";
}

// A fixture with a started server of the kind given as the parameter.
class ServerTest : public testing::TestWithParam<ServerKind> {
 protected:
  void SetUp() override {
    server_ = MakeServer(GetParam());
    ASSERT_TRUE(server_->Start(kPassword)) << server_->kind();
  }
  const fs::path& base() const { return server_->base(); }
  std::uint16_t port() const { return server_->port(); }

  // A client connected and logged in.
  std::unique_ptr<RawClient> LoggedIn() {
    auto client = std::make_unique<RawClient>();
    EXPECT_TRUE(client->Connect(port()));
    EXPECT_TRUE(client->Login(kPassword));
    return client;
  }

  std::unique_ptr<ServerUnderTest> server_;
};

#define QUARV_SERVER_KINDS(fixture)          \
  INSTANTIATE_TEST_SUITE_P(Servers, fixture, \
                           testing::Values(ServerKind::InProcess, ServerKind::Program), KindName)

// The token for a challenge line "200 <challenge>\r\n".
inline std::string TokenFor(const std::string& challengeLine, const std::string& password) {
  const std::string challenge = challengeLine.substr(4, challengeLine.size() - 6);
  const std::string text = challenge + ":" + password;
  return Md5HexOf(text.data(), static_cast<std::uint32_t>(text.size()));
}

inline std::string Words(std::uint64_t value) {
  return std::to_string(platform::LowWord(value)) + " " + std::to_string(platform::HighWord(value));
}

inline std::string Md5Raw(const std::string& bytes) {
  Md5Context context;
  Md5Init(&context);
  Md5Update(&context, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  Md5Final(&context);
  return std::string(reinterpret_cast<const char*>(context.digest), kMd5DigestSize);
}

// Reads a LIST reply through its terminator; everything, status line included.
inline std::string ReadListing(RawClient& client) {
  std::string all;
  for (int lines = 0; lines < 10000; ++lines) {
    const std::string line = client.ReadLine();
    all += line;
    if (line.empty() || line == ".\r\n") break;
  }
  return all;
}

// The listing record of one file as the server must write it.
inline std::string RecordOf(const fs::path& file) {
  return "FileName: " + file.filename().string() + "\r\nFileSize: " + Words(fs::file_size(file)) +
         "\r\nLastWrite: " + Words(GetFileTime(file)) + "\r\n";
}

// The header lines of a successful GET for `file`.
inline std::string GetHeaderOf(const fs::path& file) {
  return "200 File Transfer.\r\nFileSize: " + Words(fs::file_size(file)) +
         "\r\nLastWrite: " + Words(GetFileTime(file)) + "\r\n\r\n";
}

// Reads the header block of a GET reply: the status line, and when it is 200 the rest through
// the empty line.
inline std::string ReadGetHeader(RawClient& client) {
  std::string header = client.ReadLine();
  if (header != "200 File Transfer.\r\n") return header;
  for (int lines = 0; lines < 3; ++lines) header += client.ReadLine();
  return header;
}

}  // namespace quarv::test
