// Each program alone: a peer that speaks the protocol but does no work of its own, so that the
// measured speed is the program's own (its reads, digest, writes and sends), not its peer's.
//
//   quarv_null_peers receive --port P --password X --name NAME --digest-of FILE
//                            [--tls-fingerprint FP]
//       A client of the service: logs in, asks for NAME from offset 0, reads the body and the
//       digest, discards the bytes and compares the digest with FILE's, computed before the
//       clock starts. Prints "null_receiver bytes=N seconds=S mbps=M ok=0|1" (the time from the
//       GET to the last byte of the digest). With --tls-fingerprint it speaks TLS, as the agent
//       does, to a service whose certificate has that SHA-256 fingerprint.
//   quarv_null_peers serve --password X --name NAME --size N [--tls] [--time-limit S]
//       A service for the agent: answers HELO, ENTER, LIST (one file: NAME of N bytes), GET,
//       DELE and QUIT, serving a body made in memory whose digest is computed before it listens.
//       Prints "listening PORT" once it accepts connections; serves one session at a time until
//       its time limit (default 3600 s) or until its parent ends. With --tls it speaks TLS, as the
//       service does, with a self-signed certificate of its own made at start, and prints
//       "fingerprint AB:CD:..." (the certificate's, for the agent's FINGERPRINT) before it listens.
//
// With TLS the sessions run through the programs' own Connection, so that the peer seals and
// opens records as they do; its cost (AES-GCM with the processor's instructions) is a small part
// of one core.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "bench/socket_io.h"
#include "common/connection.h"
#include "common/md5.h"
#include "common/wire_number.h"
#include "platform/tls.h"

namespace {

using quarv::bench::SendAll;

using Clock = std::chrono::steady_clock;

constexpr std::size_t kBlock = 1u << 20;         // read and send size
constexpr std::size_t kPatternBytes = 4u << 20;  // the served body repeats this many bytes
constexpr std::size_t kLongestLine = 4096;       // a peer sending more without a line end is cut
constexpr int kDefaultTimeLimit = 3600;
constexpr std::uint64_t kFileTime = 133000000000000000ull;  // a time in 2022, as FILETIME
constexpr char kChallenge[] = "qwertyuiopasdfgh";
constexpr char kCommonName[] = "quarv-null-peer";
// A TLS handshake that gets no answer for this long fails.
constexpr std::uint32_t kTlsTimeoutMs = 30000;

// One session's bytes: plain on the socket, lines and bytes through one buffer; or, with TLS,
// through a Connection that holds the session.
class Stream {
 public:
  explicit Stream(int fd) : fd_(fd) {}
  explicit Stream(quarv::Connection* tls) : fd_(-1), tls_(tls) {}

  bool Send(const char* data, std::size_t length) {
    if (tls_ != nullptr) return tls_->SendAll(data, static_cast<std::int32_t>(length));
    return SendAll(fd_, data, length);
  }
  bool Send(const std::string& text) { return Send(text.data(), text.size()); }

  std::optional<std::string> Line() {
    if (tls_ != nullptr) {
      std::array<char, kLongestLine> line{};
      if (!tls_->ReadLine(line.data(), static_cast<std::int32_t>(line.size()))) {
        return std::nullopt;
      }
      return std::string(line.data());
    }
    for (;;) {
      const std::size_t end = pending_.find('\n');
      if (end != std::string::npos) {
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return line;
      }
      if (pending_.size() > kLongestLine || !Fill()) return std::nullopt;
    }
  }

  // Reads `count` bytes and drops them, doing nothing else with them.
  bool Discard(std::uint64_t count, std::vector<char>* block) {
    if (tls_ != nullptr) {
      while (count > 0) {
        const auto want = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, block->size()));
        std::uint32_t got = 0;
        if (!tls_->Receive(block->data(), want, &got)) return false;
        count -= got;
      }
      return true;
    }
    const std::size_t buffered =
        static_cast<std::size_t>(std::min<std::uint64_t>(count, pending_.size()));
    pending_.erase(0, buffered);
    count -= buffered;
    while (count > 0) {
      const std::size_t want =
          static_cast<std::size_t>(std::min<std::uint64_t>(count, block->size()));
      const ssize_t got = ::recv(fd_, block->data(), want, 0);
      if (got <= 0) return false;
      count -= static_cast<std::uint64_t>(got);
    }
    return true;
  }

  bool Exact(char* out, std::size_t count) {
    if (tls_ != nullptr) {
      std::uint32_t got = 0;
      return tls_->Receive(out, static_cast<std::uint32_t>(count), &got) && got == count;
    }
    while (pending_.size() < count) {
      if (!Fill()) return false;
    }
    std::memcpy(out, pending_.data(), count);
    pending_.erase(0, count);
    return true;
  }

 private:
  bool Fill() {
    char chunk[65536];
    const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
    if (got <= 0) return false;
    pending_.append(chunk, static_cast<std::size_t>(got));
    return true;
  }

  const int fd_;
  quarv::Connection* const tls_ = nullptr;
  std::string pending_;
};

// The value of a "Key: <low> <high>" line, 0 when the line is not one.
std::uint64_t WordsValue(const std::string& line, const char* key) {
  const std::size_t length = std::strlen(key);
  if (line.compare(0, length, key) != 0) return 0;
  char* end = nullptr;
  const std::uint64_t low = std::strtoull(line.c_str() + length, &end, 10);
  const std::uint64_t high = std::strtoull(end, nullptr, 10);
  return (high << 32) | (low & 0xFFFFFFFFull);
}

// --- The receiver ---------------------------------------------------------------------------

bool DigestOfFile(const char* path, std::uint8_t* digest) {
  const int file = ::open(path, O_RDONLY | O_CLOEXEC);
  if (file < 0) return false;
  quarv::Md5Context context;
  quarv::Md5Init(&context);
  std::vector<char> block(kBlock);
  for (;;) {
    const ssize_t got = ::read(file, block.data(), block.size());
    if (got < 0) {
      ::close(file);
      return false;
    }
    if (got == 0) break;
    quarv::Md5Update(&context, block.data(), static_cast<std::uint32_t>(got));
  }
  ::close(file);
  quarv::Md5Final(&context);
  std::memcpy(digest, context.digest, quarv::kMd5DigestSize);
  return true;
}

// Logs in, fetches `name` whole and compares its digest with `expected`; prints the receiver's
// line. The exit status.
int FetchOnce(Stream& stream, const std::string& password, const std::string& name,
              const std::uint8_t* expected) {
  stream.Send("HELO\r\n");
  const std::optional<std::string> challenge = stream.Line();
  if (!challenge || challenge->compare(0, 4, "200 ") != 0) return 2;
  const std::string login = challenge->substr(4) + ":" + password;
  stream.Send("ENTER " + quarv::Md5HexOf(login.data(), static_cast<std::uint32_t>(login.size())) +
              "\r\n");
  const std::optional<std::string> welcome = stream.Line();
  if (!welcome || welcome->compare(0, 4, "200 ") != 0) {
    std::fprintf(stderr, "login refused\n");
    return 2;
  }

  const auto start = Clock::now();
  stream.Send("GET " + name + "\r\nOffset: 0 0\r\n");
  std::optional<std::string> line = stream.Line();
  if (!line || line->compare(0, 4, "200 ") != 0) {
    std::fprintf(stderr, "GET refused: %s\n", line ? line->c_str() : "(closed)");
    return 2;
  }
  std::uint64_t size = 0;
  while ((line = stream.Line()) && !line->empty()) {
    if (line->compare(0, 9, "FileSize:") == 0) size = WordsValue(*line, "FileSize:");
  }
  std::vector<char> block(kBlock);
  char trailer[quarv::kMd5DigestSize];
  const bool whole = line && stream.Discard(size, &block) && stream.Exact(trailer, sizeof trailer);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const bool ok = whole && std::memcmp(trailer, expected, sizeof trailer) == 0;
  stream.Send(ok ? "QUIT\r\n" : "");
  if (ok) stream.Line();
  std::printf("null_receiver bytes=%llu seconds=%.4f mbps=%.1f ok=%d\n",
              static_cast<unsigned long long>(size), seconds,
              static_cast<double>(size) / 1e6 / seconds, ok ? 1 : 0);
  return ok ? 0 : 1;
}

// Plain, or with TLS when `fingerprint` is not empty: the service's certificate must have it.
int Receive(int port, const std::string& password, const std::string& name, const char* file,
            const std::string& fingerprint) {
  std::uint8_t expected[quarv::kMd5DigestSize];
  if (!DigestOfFile(file, expected)) {
    std::perror(file);
    return 2;
  }
  if (fingerprint.empty()) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      std::perror("connect");
      return 2;
    }
    Stream stream(fd);
    const int status = FetchOnce(stream, password, name, expected);
    ::close(fd);
    return status;
  }
  std::string pinned, error;
  if (!quarv::platform::ParseFingerprint(fingerprint, &pinned)) {
    std::fprintf(stderr, "not a SHA-256 fingerprint: %s\n", fingerprint.c_str());
    return 2;
  }
  const std::unique_ptr<quarv::platform::TlsContext> context =
      quarv::platform::TlsContext::ForClient(&error);
  quarv::Connection connection;
  connection.SetReceiveTimeout(kTlsTimeoutMs);
  if (!context || !connection.Connect("127.0.0.1", static_cast<std::uint16_t>(port)) ||
      !connection.StartTls(*context, &error)) {
    std::fprintf(stderr, "no TLS session: %s\n", error.empty() ? "connect failed" : error.c_str());
    return 2;
  }
  if (connection.PeerFingerprint() != pinned) {
    std::fprintf(stderr, "the service's certificate is %s, not the one pinned\n",
                 connection.PeerFingerprint().c_str());
    return 2;
  }
  Stream stream(&connection);
  return FetchOnce(stream, password, name, expected);
}

// --- The sender -----------------------------------------------------------------------------

struct Body {
  std::vector<char> pattern;
  std::uint64_t size = 0;
  std::uint8_t digest[quarv::kMd5DigestSize] = {};

  // The digest of the body from `offset` on.
  void DigestFrom(std::uint64_t offset, std::uint8_t* out) const {
    quarv::Md5Context context;
    quarv::Md5Init(&context);
    for (std::uint64_t at = offset; at < size;) {
      const std::size_t in = static_cast<std::size_t>(at % pattern.size());
      const std::size_t part =
          static_cast<std::size_t>(std::min<std::uint64_t>(pattern.size() - in, size - at));
      quarv::Md5Update(&context, pattern.data() + in, static_cast<std::uint32_t>(part));
      at += part;
    }
    quarv::Md5Final(&context);
    std::memcpy(out, context.digest, quarv::kMd5DigestSize);
  }
};

bool SendBody(Stream& stream, const Body& body, std::uint64_t offset) {
  std::uint8_t digest[quarv::kMd5DigestSize];
  if (offset == 0) {
    std::memcpy(digest, body.digest, sizeof digest);
  } else {
    body.DigestFrom(offset, digest);
  }
  for (std::uint64_t at = offset; at < body.size;) {
    const std::size_t in = static_cast<std::size_t>(at % body.pattern.size());
    const std::size_t part = static_cast<std::size_t>(
        std::min<std::uint64_t>({body.pattern.size() - in, body.size - at, kBlock}));
    if (!stream.Send(body.pattern.data() + in, part)) return false;
    at += part;
  }
  return stream.Send(reinterpret_cast<const char*>(digest), sizeof digest);
}

void Session(Stream& stream, const std::string& password, const std::string& name,
             const Body& body) {
  bool loggedIn = false;
  const std::string times = quarv::FormatWords(kFileTime);
  while (const std::optional<std::string> line = stream.Line()) {
    const std::size_t space = line->find(' ');
    const std::string word = line->substr(0, space);
    const std::string argument = space == std::string::npos ? "" : line->substr(space + 1);
    if (word == "QUIT") {
      stream.Send("200 GoodBye.\r\n");
      return;
    } else if (!loggedIn && word == "HELO") {
      stream.Send(std::string("200 ") + kChallenge + "\r\n");
    } else if (!loggedIn && word == "ENTER") {
      const std::string text = std::string(kChallenge) + ":" + password;
      loggedIn = argument == quarv::Md5HexOf(text.data(), static_cast<std::uint32_t>(text.size()));
      stream.Send(loggedIn ? "200 Welcome.\r\n" : "401 Unauthorized.\r\n");
    } else if (loggedIn && word == "LIST") {
      std::string list = "200 List of files.\r\nFileName: ";
      list += name;
      list += "\r\nFileSize: " + quarv::FormatWords(body.size);
      list += "\r\nLastWrite: " + times + "\r\n.\r\n";
      stream.Send(list);
    } else if (loggedIn && word == "GET") {
      if (argument != name) {
        stream.Send("404 File Not Found\r\n");
        continue;
      }
      stream.Send("200 File Transfer.\r\nFileSize: " + quarv::FormatWords(body.size) +
                  "\r\nLastWrite: " + times + "\r\n\r\n");
      const std::optional<std::string> offsetLine = stream.Line();
      if (!offsetLine) return;
      const std::uint64_t offset = WordsValue(*offsetLine, "Offset: ");
      if (offset >= body.size) {
        stream.Send("0000000000000000");
      } else if (!SendBody(stream, body, offset)) {
        return;
      }
    } else if (loggedIn && word == "DELE") {
      stream.Send("200 File Deleted.\r\n");
    } else {
      stream.Send("400 Unknown Message.\r\n");
    }
  }
}

// With TLS: a certificate of its own, its fingerprint printed for the agent; one session at a
// time through a Connection.
int ServeTls(const std::string& password, const std::string& name, const Body& body) {
  std::string certificate, key, fingerprint, error;
  std::unique_ptr<quarv::platform::TlsContext> context;
  if (quarv::platform::MakeSelfSignedIdentity(kCommonName, &certificate, &key, &error) &&
      quarv::platform::CheckIdentity(certificate, key, &fingerprint, &error)) {
    context = quarv::platform::TlsContext::ForServer(certificate, key, &error);
  }
  quarv::Connection listener;
  if (!context || !listener.Listen(0, "127.0.0.1")) {
    std::fprintf(stderr, "cannot serve TLS: %s\n", error.empty() ? "listen failed" : error.c_str());
    return 2;
  }
  std::printf("fingerprint %s\nlistening %d\n", fingerprint.c_str(), listener.LocalPort());
  std::fflush(stdout);
  for (;;) {
    quarv::Connection client;
    if (!listener.Accept(client)) continue;
    client.SetReceiveTimeout(kTlsTimeoutMs);
    if (!client.StartTls(*context, &error)) {
      std::fprintf(stderr, "TLS handshake failed: %s\n", error.c_str());
      continue;
    }
    Stream stream(&client);
    Session(stream, password, name, body);
  }
}

int Serve(const std::string& password, const std::string& name, std::uint64_t size, bool tls) {
  Body body;
  body.size = size;
  body.pattern.resize(kPatternBytes);
  std::mt19937_64 random(size);
  for (std::size_t i = 0; i + 8 <= body.pattern.size(); i += 8) {
    const std::uint64_t value = random();
    std::memcpy(body.pattern.data() + i, &value, 8);
  }
  body.DigestFrom(0, body.digest);
  if (tls) return ServeTls(password, name, body);

  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener < 0 ||
      ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 8) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::perror("listen");
    return 2;
  }
  std::printf("listening %d\n", ntohs(address.sin_port));
  std::fflush(stdout);
  for (;;) {
    const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    Stream stream(client);
    Session(stream, password, name, body);
    ::close(client);
  }
}

[[noreturn]] void Usage(const char* program) {
  std::fprintf(stderr,
               "usage: %s receive --port P --password X --name NAME --digest-of FILE\n"
               "                  [--tls-fingerprint FP]\n"
               "       %s serve --password X --name NAME --size N [--tls] [--time-limit S]\n",
               program, program);
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) Usage(argv[0]);
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (::getppid() == 1) return 1;
  int port = 0;
  int timeLimit = kDefaultTimeLimit;
  std::uint64_t size = 0;
  std::string password, name, fingerprint;
  const char* digestOf = nullptr;
  bool tls = false;
  for (int i = 2; i < argc; ++i) {
    const std::string key = argv[i];
    if (key == "--tls") {
      tls = true;
      continue;
    }
    if (i + 1 >= argc) Usage(argv[0]);
    const char* value = argv[++i];
    if (key == "--port") {
      port = std::atoi(value);
    } else if (key == "--password") {
      password = value;
    } else if (key == "--name") {
      name = value;
    } else if (key == "--digest-of") {
      digestOf = value;
    } else if (key == "--size") {
      size = std::strtoull(value, nullptr, 10);
    } else if (key == "--tls-fingerprint") {
      fingerprint = value;
    } else if (key == "--time-limit") {
      timeLimit = std::atoi(value);
    } else {
      Usage(argv[0]);
    }
  }
  if (name.empty() || timeLimit <= 0) Usage(argv[0]);
  ::alarm(static_cast<unsigned>(timeLimit));
  const std::string mode = argv[1];
  if (mode == "receive" && port > 0 && port <= 65535 && digestOf != nullptr) {
    return Receive(port, password, name, digestOf, fingerprint);
  }
  if (mode == "serve" && size > 0) return Serve(password, name, size, tls);
  Usage(argv[0]);
}
