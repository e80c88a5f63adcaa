#include "agent/rate_limit.h"

#include <algorithm>
#include <thread>

namespace quarv::agent {
namespace {

using std::chrono::nanoseconds;

class SteadyClock final : public PacingClock {
 public:
  nanoseconds Now() override {
    return std::chrono::duration_cast<nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
  }
  void Sleep(nanoseconds duration) override { std::this_thread::sleep_for(duration); }
};

}  // namespace

PacingClock& SteadyPacingClock() {
  static SteadyClock clock;
  return clock;
}

RateLimit::RateLimit(std::uint64_t bytesPerSecond, std::uint32_t blockSize, PacingClock& clock)
    : bytesPerSecond_(bytesPerSecond), clock_(&clock) {
  if (bytesPerSecond_ == 0) return;
  // A piece's worth: whole blocks when a block fits in it, else less than a block (the progress
  // bar still counts whole blocks), never nothing.
  const std::uint64_t worth = bytesPerSecond_ * kRatePiece.count() / 1000;
  const std::uint64_t piece = worth >= blockSize ? worth / blockSize * blockSize : worth;
  piece_ = static_cast<std::uint32_t>(std::clamp<std::uint64_t>(piece, 1, UINT32_MAX));
}

nanoseconds RateLimit::Cost(std::uint64_t bytes) const {
  // At most a piece (below 2^32 bytes) times 10^9: no overflow.
  return nanoseconds(static_cast<std::int64_t>(bytes * 1000000000u / bytesPerSecond_));
}

std::uint32_t RateLimit::Take(std::uint32_t wanted) {
  if (bytesPerSecond_ == 0) return wanted;
  const std::uint32_t piece = std::clamp<std::uint32_t>(wanted, 1, piece_);
  const nanoseconds now = clock_->Now();
  // The budget is the time since paidUntil_, cut to the burst; this piece is paid for once the
  // clock reaches the new paidUntil_.
  paidUntil_ = std::max(paidUntil_, now - kRateBurst) + Cost(piece);
  if (paidUntil_ > now) clock_->Sleep(paidUntil_ - now);
  return piece;
}

}  // namespace quarv::agent
