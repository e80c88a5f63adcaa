// The rate limit on the bodies a pass receives (RATE=, in KiB per second): a token bucket on a
// monotonic clock. The agent simply reads no faster than the limit; TCP flow control passes that
// on to the service, so nothing on the wire changes.
//
// Contract. Before each receive of a body the caller asks Take for the bytes it wants and then
// receives exactly the bytes Take gave (fewer only when the connection breaks). Take gives at
// most an eighth of a second's worth of bytes (whole blocks when one block fits in that, so that
// a fast body still comes in whole blocks), and first sleeps until the budget holds them. The
// budget fills at the rate and holds at most a quarter of a second's worth: after idle time
// that much passes at once, so a small file is never slowed by more than the limit demands.
// The budget is the pass's, not a file's: one RateLimit paces every body of a pass in turn.
// Over any W seconds at most rate * W bytes plus three eighths of a second's worth are given;
// a sleep that overshoots is made up by the next takes, so a long body keeps the rate itself.
//
// Without a limit (a rate of 0) Take gives what is asked at once and never reads the clock.
//
// Threads: one caller (the agent's one thread); the clock must outlive the RateLimit.
#pragma once

#include <chrono>
#include <cstdint>

namespace quarv::agent {

// The budget holds at most this much time's worth of bytes: the burst after idle time.
inline constexpr std::chrono::milliseconds kRateBurst{250};
// One take gives at most this much time's worth of bytes, so that one receive never runs far
// ahead of the budget and the progress bar moves several times a second even at a low rate.
inline constexpr std::chrono::milliseconds kRatePiece{125};

// The time the pacing reads and sleeps by: steady_clock in the agent, a fake one in the tests.
class PacingClock {
 public:
  // A monotonic time since some fixed start.
  virtual std::chrono::nanoseconds Now() = 0;
  virtual void Sleep(std::chrono::nanoseconds duration) = 0;

 protected:
  ~PacingClock() = default;
};

// std::chrono::steady_clock and std::this_thread::sleep_for.
PacingClock& SteadyPacingClock();

class RateLimit {
 public:
  // No limit.
  RateLimit() = default;
  // At most `bytesPerSecond` (0: no limit), in takes of whole `blockSize` blocks when one fits
  // in a piece.
  RateLimit(std::uint64_t bytesPerSecond, std::uint32_t blockSize,
            PacingClock& clock = SteadyPacingClock());

  bool Limited() const { return bytesPerSecond_ != 0; }
  // The bytes the next receive may take, 1 to `wanted` (which is at least 1), once the budget
  // holds them.
  std::uint32_t Take(std::uint32_t wanted);

 private:
  // The time `bytes` take at the rate.
  std::chrono::nanoseconds Cost(std::uint64_t bytes) const;

  std::uint64_t bytesPerSecond_ = 0;
  std::uint32_t piece_ = 0;  // the most one take gives
  PacingClock* clock_ = nullptr;
  // When the budget has paid for every byte given so far; never earlier than the burst before
  // now (a fuller budget is cut to the burst).
  std::chrono::nanoseconds paidUntil_ = std::chrono::nanoseconds::min();
};

}  // namespace quarv::agent
