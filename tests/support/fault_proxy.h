// A TCP proxy between the agent and the service that knows where it is in the protocol and
// injects one fault at a chosen place: it cuts the connection, stalls, corrupts one byte, or
// reports the moment (a trigger) so that the test can kill a process there.
//
// Places are given as a region of the stream and a byte offset into it. The service's replies
// are followed with the agent's requests: the LIST block (from its status line to the "."), a
// GET header (status line to the empty line), a body (from the requested offset to the end of
// the file) and the trailer (the 16 digest bytes, or the zero sentinel); Request is the
// agent's own byte stream. A fault fires at the first byte of its region whose offset within
// that region's current stretch is the given one, in the plan's stretch of that region or a later
// one (counted on each connection from 0: the first GET header, body or trailer is stretch 0),
// on whichever connection comes first.
//
// What it owns: a listening socket on 127.0.0.1 at a free port (port()), an accepting thread
// started by the constructor, and for each accepted connection a relay thread with both of its
// sockets (the agent's and a new one to the upstream port). A relay ends when either side closes
// or a fault cuts it; a frozen one stays open until ReleaseFrozen or the destructor.
//
// Threads: Arm, Disarm, Fired, WaitFired, ReleaseFrozen and Connections may be called from any
// thread; the plan is kept under one mutex, and a fault fires at most once per Arm, on whichever
// relay reaches its place first. A Stall sleeps on that relay's thread, holding back only its
// connection.
//
// What must stay alive: nothing outside it. The upstream port needs a listener only while
// connections come in: a connection the upstream refuses is closed at once. The destructor
// stops the accepting thread and every relay (each sees it within a 50 ms poll slice, or when its
// stall ends) and joins them all.
//
// POSIX only (BSD sockets and poll).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace quarv::test {

enum class Region { Other, List, GetHeader, Body, Trailer, Request };
enum class Action {
  Cut,      // close both sides before the byte
  Stall,    // hold the byte back for `stall`, then go on
  Corrupt,  // flip bits of the byte
  Trigger,  // pass the byte on and report the moment (WaitFired)
  Freeze,   // forward nothing from here on, and keep both connections open
};

// The region's name, for test messages.
const char* RegionName(Region region);

struct FaultPlan {
  Region region = Region::Body;
  std::uint64_t offset = 0;
  Action action = Action::Cut;
  std::chrono::milliseconds stall{0};
  std::uint8_t flip = 0x5A;   // Corrupt: the byte is XORed with this (never 0)
  std::uint32_t stretch = 0;  // the first stretch of the region where the fault may fire
};

// Follows the service's side of one connection, given the agent's requests in order. Used by
// one relay thread only.
class ReplyTracker {
 public:
  void Request(const std::string& line) { requests_.push_back(line); }

  // The region of the next reply byte, which stretch of that region it is in (0 for the first on
  // this connection) and its offset within it; `run` is how many bytes from here on belong to the
  // same stretch (at least 1).
  Region Next(std::uint64_t* offset, std::uint64_t* run, std::uint32_t* stretch);

  // Takes `count` reply bytes (within the run Next gave).
  void Consume(const char* bytes, std::uint64_t count);

 private:
  static constexpr std::uint64_t kTrailerSize = 16;
  enum class State { Idle, StatusLine, ListLines, HeaderLines, AwaitBody, Body, Trailer };

  std::string PopRequest();
  void StartReply();
  void StartBody();
  void EndLine();

  // The stretches of `region` begun so far.
  std::uint32_t& Started(Region region) { return started_[static_cast<std::size_t>(region)]; }

  std::deque<std::string> requests_;
  std::array<std::uint32_t, static_cast<std::size_t>(Region::Request) + 1> started_{};
  State state_ = State::Idle;
  Region region_ = Region::Other;
  std::string command_;
  std::string line_;
  std::uint64_t position_ = 0;
  std::uint64_t remaining_ = 0;
  std::uint64_t size_ = 0;
};

class FaultProxy {
 public:
  // Listens on 127.0.0.1 at a free port and forwards every connection to `upstreamPort`.
  explicit FaultProxy(std::uint16_t upstreamPort);
  ~FaultProxy();
  FaultProxy(const FaultProxy&) = delete;
  FaultProxy& operator=(const FaultProxy&) = delete;

  std::uint16_t port() const { return port_; }

  // Arms one fault (replacing any armed one) and clears Fired.
  void Arm(const FaultPlan& plan);
  void Disarm();
  bool Fired();
  // Waits until the armed fault has fired (true) or `timeout` has passed.
  bool WaitFired(std::chrono::milliseconds timeout);
  // Ends every connection frozen so far (both sides closed).
  void ReleaseFrozen() { ++releases_; }
  int Connections() const { return connections_.load(); }

 private:
  // Decides whether the armed fault fires at this byte; one fault per Arm.
  bool Fires(Region region, std::uint32_t stretch, std::uint64_t offset, FaultPlan* plan);
  // Whether the armed fault lies in `region` within the next `run` bytes from `offset`: then
  // the bytes before it are forwarded first, and the byte itself alone.
  std::uint64_t UntilFault(Region region, std::uint32_t stretch, std::uint64_t offset,
                           std::uint64_t run);

  void AcceptLoop();
  // One proxied connection, until either side closes or a fault cuts it.
  void Relay(int client);
  // Passes one received chunk on, following the protocol and applying the armed fault. False
  // when the connection is to be cut.
  bool Forward(bool fromAgent, char* buffer, std::size_t length, int to, ReplyTracker* tracker,
               std::string* requestLine, std::uint64_t* requestOffset, bool* frozen);
  // Carries out a fault at the byte `byte`; true when the connection is to be cut.
  static bool Apply(const FaultPlan& plan, char* byte, bool* frozen);

  std::uint16_t upstreamPort_;
  std::uint16_t port_ = 0;
  int listener_ = -1;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint64_t> releases_{0};
  std::atomic<int> connections_{0};
  std::mutex mutex_;
  std::condition_variable changed_;
  FaultPlan plan_;
  bool armed_ = false;
  bool fired_ = false;
};

}  // namespace quarv::test
