// Helpers of the service tests: a file server in this process to talk to, and readers for LIST
// and GET replies. The real QuarvSvc program is in tests/support/service_process.h.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "common/md5.h"
#include "platform/file_time.h"
#include "service/file_server.h"
#include "tests/support/service_process.h"
#include "tests/support/settings_file.h"
#include "tests/support/test_support.h"

namespace quarv::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline constexpr char kPassword[] = "open sesame";

// A FileServer in this process, serving a fresh directory named kBaseName on 127.0.0.1 at a
// port of the system's choosing.
class InProcessServer {
 public:
  InProcessServer() : base_(dir_.path() / kBaseName) { fs::create_directory(base_); }
  bool Start(const std::string& password) {
    ServerSettings settings;
    settings.port = 0;
    std::strcpy(settings.base, base_.c_str());
    std::strcpy(settings.password, password.c_str());
    std::strcpy(settings.address, "127.0.0.1");
    if (!server_.Start(settings)) return false;
    port_ = server_.LocalPort();
    return port_ != 0;
  }
  void Stop() { server_.Stop(); }
  FileServer& server() { return server_; }

  std::uint16_t port() const { return port_; }
  const fs::path& base() const { return base_; }
  // Length of the base prefix the server puts before a name.
  std::size_t prefixLength() const { return base_.string().size() + 1; }

 private:
  TempDir dir_;
  fs::path base_;
  std::uint16_t port_ = 0;
  FileServer server_;
};

// A fixture with a started server.
class ServerTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.Start(kPassword)); }
  const fs::path& base() const { return server_.base(); }
  std::uint16_t port() const { return server_.port(); }

  // A client connected and logged in.
  std::unique_ptr<RawClient> LoggedIn() {
    auto client = std::make_unique<RawClient>();
    EXPECT_TRUE(client->Connect(port()));
    EXPECT_TRUE(client->Login(kPassword));
    return client;
  }

  InProcessServer server_;
};

inline std::string Words(std::uint64_t value) {
  return std::to_string(platform::LowWord(value)) + " " + std::to_string(platform::HighWord(value));
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

// GETs `name` whole, which stands for `file`: true when the header announced the file as it is
// and its bytes and their digest followed. Not for an empty file.
inline bool FetchWhole(RawClient& client, const fs::path& file, const std::string& name) {
  if (!client.Send("GET " + name + "\r\nOffset: 0 0\r\n")) return false;
  if (ReadGetHeader(client) != GetHeaderOf(file)) return false;
  const std::string content = ReadFile(file);
  return client.ReadBytes(content.size() + kMd5DigestSize) == content + Md5Raw(content);
}

}  // namespace quarv::test
