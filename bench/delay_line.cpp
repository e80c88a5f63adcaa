// A delay line for TCP on 127.0.0.1: a relay that holds each direction's bytes for a fixed
// one-way delay before passing them on, so that a transfer between two programs on one machine
// pays the round trips of a real network. There is no netem here; this does the same for one
// connection at a time, in user space.
//
// Each accepted connection is joined to a new connection to the target. Each direction has a
// reader, which takes whatever the socket holds (up to one large block, no per-byte work) and
// queues it with the time it arrived, and a writer, which sends each block once its delay has
// passed (and, with a rate limit, no faster than the rate). An end of stream travels through the
// queue like the bytes, so that a half close arrives late too. A full queue stops the reader,
// which stops the sender in its turn. Without a delay and a rate limit the reader sends what it
// read itself (the 0 ms row of a table: only the relay's own hop).
//
// The relay acknowledges bytes as soon as it reads them, so it adds latency to every exchange
// but does not limit a sender's window as a long path would: bulk transfers are limited by the
// rate, if one is given, not by the bandwidth-delay product.
//
// Usage:
//   quarv_delay_line relay --target PORT --delay-ms MS [--listen PORT] [--rate-mbps R]
//                          [--time-limit S]
//       Prints "listening PORT" on a line of its own once it accepts connections, then relays
//       until the time limit (default 3600 s) or until its parent ends.
//   quarv_delay_line check [--delay-ms MS] [--bytes N]
//       Measures itself: a ping-pong of small messages through a relay of MS ms (the round trip
//       must be twice the delay), and N bytes (default 1 GiB) pushed through a relay without
//       delay. Prints "delay_line_check ..." lines; exit status 1 when the round trip is off by
//       more than a fifth, or a millisecond, whichever is larger.
//   quarv_delay_line sink [--time-limit S]
//       A peer that discards: prints "listening PORT", then for each connection in turn reads
//       to the end of the stream and answers one byte.
//   quarv_delay_line send --port PORT --bytes N
//       Sends N bytes from memory to PORT (a relay in front of a sink), half closes and waits
//       for the sink's answer: what the line itself carries, with no protocol and no digest.
//       Prints "delay_line_carry bytes=N seconds=S mbps=M ok=0|1" (the time from the connect to
//       the answer: the bytes, and one round trip for the end of the stream and the answer).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/socket_io.h"

namespace {

using quarv::bench::RecvAll;
using quarv::bench::SendAll;

using Clock = std::chrono::steady_clock;

constexpr std::size_t kBlock = 1u << 20;         // the most one read takes
constexpr std::size_t kCopyBelow = 64u << 10;    // smaller reads are copied to a block of their own
constexpr std::size_t kQueueLimit = 256u << 20;  // bytes held per direction
constexpr int kDefaultTimeLimit = 3600;
constexpr int kPingCount = 20;
constexpr std::uint64_t kDefaultCheckBytes = 1ull << 30;
constexpr double kTolerance = 0.2;
constexpr double kToleranceFloorMs = 1.0;

struct Options {
  int targetPort = 0;
  int listenPort = 0;
  double delayMs = 0;
  double rateMbps = 0;  // 0: no limit
};

struct Chunk {
  std::vector<char> bytes;  // empty: the end of the stream
  std::size_t length = 0;
  Clock::time_point due;
};

// One direction: the bytes read from `from`, released to `to` after the delay.
class Direction {
 public:
  Direction(int from, int to, const Options& options) : from_(from), to_(to), options_(options) {}

  void Read() {
    std::vector<char> block = TakeBlock();
    for (;;) {
      const ssize_t got = ::recv(from_, block.data(), block.size(), 0);
      const auto now = Clock::now();
      Chunk chunk;
      chunk.due = now + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double, std::milli>(options_.delayMs));
      if (got > 0) {
        chunk.length = static_cast<std::size_t>(got);
        if (chunk.length < kCopyBelow) {
          chunk.bytes.assign(block.data(), block.data() + chunk.length);
        } else {
          chunk.bytes = std::exchange(block, TakeBlock());
        }
      }
      {
        std::unique_lock<std::mutex> lock(mutex_);
        room_.wait(lock, [&] { return queued_ < kQueueLimit || stopped_; });
        if (stopped_) return;
        queued_ += chunk.length;
        queue_.push_back(std::move(chunk));
      }
      ready_.notify_one();
      if (got <= 0) return;
    }
  }

  void Write() {
    auto nextFree = Clock::now();  // with a rate limit: when the link is free again
    for (;;) {
      Chunk chunk;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [&] { return !queue_.empty() || stopped_; });
        if (stopped_) return;
        chunk = std::move(queue_.front());
        queue_.pop_front();
      }
      auto due = chunk.due;
      if (options_.rateMbps > 0) {
        due = std::max(due, nextFree);
        nextFree = due + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                             static_cast<double>(chunk.length) / (options_.rateMbps * 1e6)));
      }
      std::this_thread::sleep_until(due);
      if (chunk.length == 0) {
        ::shutdown(to_, SHUT_WR);
        return;
      }
      if (!SendAll(to_, chunk.bytes.data(), chunk.length)) {
        Stop();
        ::shutdown(from_, SHUT_RDWR);
        return;
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        queued_ -= chunk.length;
        if (chunk.bytes.size() == kBlock) spare_.push_back(std::move(chunk.bytes));
      }
      room_.notify_one();
    }
  }

  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopped_ = true;
    }
    ready_.notify_all();
    room_.notify_all();
  }

 private:
  // A block of kBlock bytes, used again once written: no allocation nor page faults per read.
  std::vector<char> TakeBlock() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!spare_.empty()) {
        std::vector<char> block = std::move(spare_.back());
        spare_.pop_back();
        return block;
      }
    }
    return std::vector<char>(kBlock);
  }

  const int from_;
  const int to_;
  const Options& options_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::condition_variable room_;
  std::deque<Chunk> queue_;
  std::vector<std::vector<char>> spare_;
  std::size_t queued_ = 0;
  bool stopped_ = false;
};

void TuneSocket(int fd) {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int ConnectLoopback(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  TuneSocket(fd);
  return fd;
}

// A listening socket on 127.0.0.1; *port is the port asked for (0: any) and is set to the one
// taken.
int ListenLoopback(int* port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(*port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 64) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::perror("listen");
    std::exit(2);
  }
  *port = ntohs(address.sin_port);
  return fd;
}

// Passes the bytes of `from` on to `to` as they come, then the end of the stream.
void Pass(int from, int to) {
  std::vector<char> block(kBlock);
  for (;;) {
    const ssize_t got = ::recv(from, block.data(), block.size(), 0);
    if (got <= 0) break;
    if (!SendAll(to, block.data(), static_cast<std::size_t>(got))) {
      ::shutdown(from, SHUT_RDWR);
      ::shutdown(to, SHUT_RDWR);
      return;
    }
  }
  ::shutdown(to, SHUT_WR);
}

// Relays one accepted connection until both directions have ended.
void Relay(int client, const Options& options) {
  TuneSocket(client);
  const int target = ConnectLoopback(options.targetPort);
  if (target < 0) {
    ::close(client);
    return;
  }
  if (options.delayMs == 0 && options.rateMbps == 0) {
    // Nothing to hold back: each direction's reader passes its bytes on itself, without a
    // queue and a second thread.
    std::thread upward([&] { Pass(client, target); });
    Pass(target, client);
    upward.join();
    ::close(client);
    ::close(target);
    return;
  }
  Direction up(client, target, options);
  Direction down(target, client, options);
  std::thread threads[] = {std::thread([&] { up.Read(); }), std::thread([&] { up.Write(); }),
                           std::thread([&] { down.Read(); }), std::thread([&] { down.Write(); })};
  // A writer that ends (end of stream sent, or the peer gone) leaves its reader done too; once
  // both writers are done, the readers are woken and the sockets closed.
  threads[1].join();
  threads[3].join();
  up.Stop();
  down.Stop();
  ::shutdown(client, SHUT_RDWR);
  ::shutdown(target, SHUT_RDWR);
  threads[0].join();
  threads[2].join();
  ::close(client);
  ::close(target);
}

[[noreturn]] void Serve(int listener, const Options& options) {
  for (;;) {
    const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    std::thread([client, &options] { Relay(client, options); }).detach();
  }
}

// --- The self-check ---------------------------------------------------------------------------

// A relay on a port of its own, in this process, in front of `targetPort`.
int StartRelay(const Options& options) {
  int port = 0;
  const int listener = ListenLoopback(&port);
  std::thread([listener, &options] { Serve(listener, options); }).detach();
  return port;
}

// Echo peer: answers every message of `size` bytes with the same bytes.
void Echo(int listener, std::size_t size) {
  const int peer = ::accept(listener, nullptr, nullptr);
  TuneSocket(peer);
  std::vector<char> message(size);
  while (RecvAll(peer, message.data(), size) && SendAll(peer, message.data(), size)) {
  }
  ::close(peer);
}

// Sink peer: reads until the end of the stream, then answers one byte.
void Sink(int listener) {
  const int peer = ::accept(listener, nullptr, nullptr);
  if (peer < 0) return;
  std::vector<char> block(kBlock);
  while (::recv(peer, block.data(), block.size(), 0) > 0) {
  }
  SendAll(peer, "k", 1);
  ::close(peer);
}

int Check(double delayMs, std::uint64_t bytes) {
  constexpr std::size_t kPing = 64;
  static Options pingOptions;
  int echoPort = 0;
  const int echoListener = ListenLoopback(&echoPort);
  pingOptions.targetPort = echoPort;
  pingOptions.delayMs = delayMs;
  std::thread echo([&] { Echo(echoListener, kPing); });
  const int ping = ConnectLoopback(StartRelay(pingOptions));
  std::vector<double> rtts;
  char message[kPing] = {};
  for (int i = 0; i < kPingCount; ++i) {
    const auto start = Clock::now();
    if (!SendAll(ping, message, kPing) || !RecvAll(ping, message, kPing)) {
      std::fprintf(stderr, "ping-pong through the delay line failed\n");
      return 1;
    }
    rtts.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  ::shutdown(ping, SHUT_RDWR);
  ::close(ping);
  echo.join();
  std::sort(rtts.begin(), rtts.end());
  const double median = rtts[rtts.size() / 2];
  const double expected = 2 * delayMs;
  const double ratio = expected > 0 ? median / expected : 0;
  const bool rttOk =
      std::abs(median - expected) <= std::max(kTolerance * expected, kToleranceFloorMs);
  std::printf(
      "delay_line_check figure=rtt delay_ms=%.1f expected_rtt_ms=%.2f rtt_min_ms=%.2f "
      "rtt_median_ms=%.2f rtt_max_ms=%.2f ratio=%.3f ok=%d\n",
      delayMs, expected, rtts.front(), median, rtts.back(), ratio, rttOk ? 1 : 0);

  static Options bulkOptions;
  int sinkPort = 0;
  const int sinkListener = ListenLoopback(&sinkPort);
  bulkOptions.targetPort = sinkPort;
  std::thread sink([&] { Sink(sinkListener); });
  const int bulk = ConnectLoopback(StartRelay(bulkOptions));
  std::vector<char> block(kBlock, 'x');
  const auto start = Clock::now();
  std::uint64_t sent = 0;
  while (sent < bytes) {
    const std::size_t part =
        static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, bytes - sent));
    if (!SendAll(bulk, block.data(), part)) break;
    sent += part;
  }
  ::shutdown(bulk, SHUT_WR);
  char answer = 0;
  const bool bulkOk = sent == bytes && RecvAll(bulk, &answer, 1);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  sink.join();
  ::close(bulk);
  std::printf("delay_line_check figure=throughput bytes=%llu seconds=%.3f mbps=%.1f ok=%d\n",
              static_cast<unsigned long long>(bytes), seconds,
              static_cast<double>(bytes) / 1e6 / seconds, bulkOk ? 1 : 0);
  return rttOk && bulkOk ? 0 : 1;
}

// --- What the line carries ------------------------------------------------------------------

// The sink of the carry figure: each connection in turn read to its end, then answered.
[[noreturn]] void SinkForever() {
  int port = 0;
  const int listener = ListenLoopback(&port);
  std::printf("listening %d\n", port);
  std::fflush(stdout);
  for (;;) Sink(listener);
}

int Send(int port, std::uint64_t bytes) {
  std::vector<char> block(kBlock, 'x');
  const auto start = Clock::now();
  const int fd = ConnectLoopback(port);
  if (fd < 0) {
    std::perror("connect");
    return 2;
  }
  std::uint64_t sent = 0;
  while (sent < bytes) {
    const std::size_t part =
        static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, bytes - sent));
    if (!SendAll(fd, block.data(), part)) break;
    sent += part;
  }
  ::shutdown(fd, SHUT_WR);
  char answer = 0;
  const bool ok = sent == bytes && RecvAll(fd, &answer, 1);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  ::close(fd);
  std::printf("delay_line_carry bytes=%llu seconds=%.4f mbps=%.1f ok=%d\n",
              static_cast<unsigned long long>(bytes), seconds,
              static_cast<double>(bytes) / 1e6 / seconds, ok ? 1 : 0);
  return ok ? 0 : 1;
}

[[noreturn]] void Usage(const char* program) {
  std::fprintf(stderr,
               "usage: %s relay --target PORT --delay-ms MS [--listen PORT] [--rate-mbps R] "
               "[--time-limit S]\n       %s check [--delay-ms MS] [--bytes N]\n"
               "       %s sink [--time-limit S]\n       %s send --port PORT --bytes N\n",
               program, program, program, program);
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) Usage(argv[0]);
  // It never outlives the process that started it, nor its time limit.
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (::getppid() == 1) return 1;
  static Options options;
  int timeLimit = kDefaultTimeLimit;
  int port = 0;
  std::uint64_t checkBytes = kDefaultCheckBytes;
  for (int i = 2; i < argc; ++i) {
    const std::string key = argv[i];
    if (i + 1 >= argc) Usage(argv[0]);
    const char* value = argv[++i];
    if (key == "--target") {
      options.targetPort = std::atoi(value);
    } else if (key == "--port") {
      port = std::atoi(value);
    } else if (key == "--listen") {
      options.listenPort = std::atoi(value);
    } else if (key == "--delay-ms") {
      options.delayMs = std::strtod(value, nullptr);
    } else if (key == "--rate-mbps") {
      options.rateMbps = std::strtod(value, nullptr);
    } else if (key == "--time-limit") {
      timeLimit = std::atoi(value);
    } else if (key == "--bytes") {
      checkBytes = std::strtoull(value, nullptr, 10);
    } else {
      Usage(argv[0]);
    }
  }
  if (timeLimit <= 0 || options.delayMs < 0 || options.rateMbps < 0) Usage(argv[0]);
  ::alarm(static_cast<unsigned>(timeLimit));
  const std::string mode = argv[1];
  if (mode == "check") return Check(options.delayMs, checkBytes);
  if (mode == "sink") SinkForever();
  if (mode == "send" && port > 0 && port <= 65535) return Send(port, checkBytes);
  if (mode != "relay" || options.targetPort <= 0 || options.targetPort > 65535) Usage(argv[0]);
  port = options.listenPort;
  const int listener = ListenLoopback(&port);
  std::printf("listening %d\n", port);
  std::fflush(stdout);
  Serve(listener, options);
}
