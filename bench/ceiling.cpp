// The ceiling of a transfer on this machine: the least work any program must do to move a file
// with a digest over TCP on 127.0.0.1, without a protocol. A sender process reads the source in
// blocks, digests and sends them, then sends the 16-byte digest; a receiver process takes the
// bytes in blocks, digests and writes them to the destination, and compares the digests. Both
// use this project's MD5 (whose speed against OpenSSL's is measured on its own).
//
// Usage: quarv_ceiling SOURCE DESTINATION [BLOCK_BYTES]
// Prints one line: "ceiling bytes=N seconds=S mbps=M block=B". Exit status 0 when the copy
// arrived whole with a matching digest. The destination is written but not synced.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench/socket_io.h"
#include "common/md5.h"

namespace {

using quarv::bench::SendAll;

constexpr std::size_t kDefaultBlock = 10240;
constexpr std::size_t kMaxBlock = 64u << 20;
constexpr mode_t kFileMode = 0644;

bool WriteAll(int fd, const char* data, std::size_t length) {
  while (length > 0) {
    const ssize_t done = ::write(fd, data, length);
    if (done <= 0) return false;
    data += done;
    length -= static_cast<std::size_t>(done);
  }
  return true;
}

// The sender: accepts one connection, reads, digests and sends the file, then the digest.
int RunSender(int listener, const char* source, std::size_t block) {
  const int peer = ::accept(listener, nullptr, nullptr);
  const int file = ::open(source, O_RDONLY);
  if (peer < 0 || file < 0) return 1;
  std::vector<char> buffer(block);
  quarv::Md5Context digest;
  quarv::Md5Init(&digest);
  for (;;) {
    const ssize_t got = ::read(file, buffer.data(), block);
    if (got < 0) return 1;
    if (got == 0) break;
    quarv::Md5Update(&digest, buffer.data(), static_cast<std::uint32_t>(got));
    if (!SendAll(peer, buffer.data(), static_cast<std::size_t>(got))) return 1;
  }
  quarv::Md5Final(&digest);
  if (!SendAll(peer, reinterpret_cast<const char*>(digest.digest), quarv::kMd5DigestSize)) {
    return 1;
  }
  ::close(file);
  ::close(peer);
  return 0;
}

// The receiver: takes `size` bytes, digests and writes them, then checks the digest.
bool RunReceiver(std::uint16_t port, const char* destination, std::uint64_t size,
                 std::size_t block) {
  const int peer = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(peer, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return false;
  const int file = ::open(destination, O_WRONLY | O_CREAT | O_TRUNC, kFileMode);
  if (file < 0) return false;
  std::vector<char> buffer(block);
  quarv::Md5Context digest;
  quarv::Md5Init(&digest);
  std::uint64_t remaining = size;
  while (remaining > 0) {
    const std::size_t want = remaining < block ? static_cast<std::size_t>(remaining) : block;
    const ssize_t got = ::recv(peer, buffer.data(), want, 0);
    if (got <= 0) return false;
    if (!WriteAll(file, buffer.data(), static_cast<std::size_t>(got))) return false;
    quarv::Md5Update(&digest, buffer.data(), static_cast<std::uint32_t>(got));
    remaining -= static_cast<std::uint64_t>(got);
  }
  quarv::Md5Final(&digest);
  std::uint8_t trailer[quarv::kMd5DigestSize];
  std::size_t have = 0;
  while (have < sizeof trailer) {
    const ssize_t got = ::recv(peer, trailer + have, sizeof trailer - have, 0);
    if (got <= 0) return false;
    have += static_cast<std::size_t>(got);
  }
  ::close(file);
  ::close(peer);
  return std::memcmp(trailer, digest.digest, sizeof trailer) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s SOURCE DESTINATION [BLOCK_BYTES]\n", argv[0]);
    return 2;
  }
  const std::size_t block = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : kDefaultBlock;
  if (block == 0 || block > kMaxBlock) {
    std::fprintf(stderr, "block size out of range\n");
    return 2;
  }
  struct stat info {};
  if (::stat(argv[1], &info) != 0) {
    std::perror(argv[1]);
    return 2;
  }
  const auto size = static_cast<std::uint64_t>(info.st_size);

  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 1) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::perror("listen");
    return 2;
  }

  const auto start = std::chrono::steady_clock::now();
  const pid_t sender = ::fork();
  if (sender < 0) return 2;
  if (sender == 0) ::_exit(RunSender(listener, argv[1], block));
  ::close(listener);
  const bool received = RunReceiver(ntohs(address.sin_port), argv[2], size, block);
  int status = 0;
  ::waitpid(sender, &status, 0);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const bool ok = received && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  std::printf("ceiling bytes=%llu seconds=%.4f mbps=%.1f block=%zu ok=%d\n",
              static_cast<unsigned long long>(size), seconds,
              static_cast<double>(size) / 1e6 / seconds, block, ok ? 1 : 0);
  return ok ? 0 : 1;
}
