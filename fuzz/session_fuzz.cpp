// Fuzz target: the service's session input. Each input is one client's byte stream into a
// session of a FileServer running in this process on 127.0.0.1: lines, commands, names,
// offsets. The first byte chooses whether the harness logs in first (with the right token for
// the session's challenge), so that the file commands are reached; the rest is sent as it is,
// then the client half-closes and reads until the session ends. A session that does not end
// is reported as a hang.
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/md5.h"
#include "fuzz/fuzz_support.h"
#include "service/file_server.h"

namespace {

namespace fs = std::filesystem;
constexpr char kPassword[] = "fuzz password";

// The served directory: a few files of different sizes (one over several send blocks) and a
// subdirectory. Files that an input deleted are put back before the next input.
struct ServedFile {
  const char* name;
  std::size_t size;
};
constexpr ServedFile kServed[] = {
    {"a.txt", 5}, {"big.bin", 30000}, {"empty", 0}, {"sub/inner.txt", 12}, {"name with blanks", 3}};

class Harness {
 public:
  Harness() : base_(quarv::fuzz::ScratchDirectory("session-fuzz")) {
    fs::create_directory(base_ / "sub");
    Restore();
    quarv::ServerSettings settings;
    std::strcpy(settings.base, base_.c_str());
    std::strcpy(settings.password, kPassword);
    std::strcpy(settings.address, "127.0.0.1");
    if (!server_.Start(settings)) std::abort();
    port_ = server_.LocalPort();
  }

  void Restore() const {
    for (const ServedFile& file : kServed) {
      const fs::path path = base_ / file.name;
      std::error_code error;
      if (fs::is_regular_file(path, error) && fs::file_size(path, error) == file.size) continue;
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      for (std::size_t i = 0; i < file.size; ++i) out.put(static_cast<char>('a' + i % 23));
    }
  }

  std::uint16_t port() const { return port_; }

 private:
  fs::path base_;
  quarv::FileServer server_;
  std::uint16_t port_ = 0;
};

Harness& TheHarness() {
  static Harness* harness = new Harness();  // lives for the whole run
  return *harness;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Harness& harness = TheHarness();
  harness.Restore();
  const int fd = quarv::fuzz::ConnectLoopback(harness.port());
  if (size > 0 && (data[0] & 1) != 0) {
    const std::string hello = "HELO\r\n";
    ::send(fd, hello.data(), hello.size(), MSG_NOSIGNAL);
    const std::string challengeLine = quarv::fuzz::ReadLine(fd, "HELO");
    if (challengeLine.size() != 4 + 16 + 2) std::abort();  // "200 " + 16 letters + CR LF
    const std::string text = challengeLine.substr(4, 16) + ":" + kPassword;
    const std::string enter =
        "ENTER " + quarv::Md5HexOf(text.data(), static_cast<std::uint32_t>(text.size())) + "\r\n";
    ::send(fd, enter.data(), enter.size(), MSG_NOSIGNAL);
    if (quarv::fuzz::ReadLine(fd, "ENTER") != "200 Welcome.\r\n") std::abort();
  }
  const std::string payload =
      size > 1 ? std::string(reinterpret_cast<const char*>(data) + 1, size - 1) : std::string();
  quarv::fuzz::Exchange(fd, payload, nullptr, "a session");
  quarv::fuzz::CloseAbruptly(fd);
  return 0;
}
