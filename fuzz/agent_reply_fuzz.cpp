// Fuzz target: the agent's reading of the service's replies. Each input is what a service sends
// after the login and the "200 List of files." line: the LIST block, then the replies to the
// GETs the agent makes of it (status line, header, body, digest) and to its DELEs, all as one
// stream. A pass of the real FetchAgent runs against it into a scratch base directory, which
// holds one partial file to resume. The first byte of the input sets the agent's two switches.
// After the pass nothing may lie outside the base directory.
#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "agent/fetch_agent.h"
#include "fuzz/fuzz_support.h"

namespace {

namespace fs = std::filesystem;
constexpr char kPassword[] = "fuzz password";
constexpr char kOpening[] = "200 abcdefghijklmnop\r\n200 Welcome.\r\n200 List of files.\r\n";
// The last-write time the partial file carries (2020-01-01, FILETIME 3077887623 30858814).
constexpr std::int64_t kPartialSeconds = 1577836800;

class Harness {
 public:
  Harness() : scratch_(quarv::fuzz::ScratchDirectory("agent-fuzz")) {
    base_ = scratch_ / "base";
    fs::create_directory(base_);
    listener_ = quarv::fuzz::ListenLoopback(&port_);
    // The pass's console messages are not wanted.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    if (!agent_.Startup()) std::abort();
  }

  void Run(const std::uint8_t* data, std::size_t size) {
    quarv::fuzz::EmptyDirectory(base_);
    const std::string partial = (base_ / "_incomplete_a.txt").string();
    {
      FILE* file = std::fopen(partial.c_str(), "wb");
      std::fputs("hel", file);
      std::fclose(file);
      const timespec times[2] = {{kPartialSeconds, 0}, {kPartialSeconds, 0}};
      ::utimensat(AT_FDCWD, partial.c_str(), times, 0);
    }
    const std::uint8_t flags = size > 0 ? data[0] : 0;
    agent_.deleteFile = (flags & 1) != 0;
    agent_.checkFileTime = (flags & 2) == 0;
    agent_.idleTimeout = std::chrono::seconds(10);
    std::string script = kOpening;
    if (size > 1) script.append(reinterpret_cast<const char*>(data) + 1, size - 1);

    // The service's side: the whole stream at once, then the end of the connection.
    std::thread service([this, &script] {
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) std::abort();
      quarv::fuzz::Exchange(fd, script, nullptr, "the agent's pass");
      quarv::fuzz::CloseAbruptly(fd);
    });
    int notFetched = 0;
    agent_.RunPass("127.0.0.1", port_, kPassword, base_.c_str(), &notFetched);
    service.join();

    // Whatever the names said, every file the pass made lies directly in the base directory.
    for (const auto& entry : fs::directory_iterator(scratch_)) {
      if (entry.path() != base_) std::abort();
    }
    for (const auto& entry : fs::directory_iterator(base_)) {
      if (entry.is_directory()) std::abort();
    }
  }

 private:
  fs::path scratch_;
  fs::path base_;
  int listener_ = -1;
  std::uint16_t port_ = 0;
  quarv::agent::FetchAgent agent_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Harness* harness = new Harness();  // lives for the whole run
  harness->Run(data, size);
  return 0;
}
