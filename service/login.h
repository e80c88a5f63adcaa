// The login: the session's challenge and the token that answers it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <string>

#include "common/thread_annotations.h"

namespace quarv {

inline constexpr std::size_t kChallengeLength = 16;
inline constexpr std::size_t kChallengeBufferSize = kChallengeLength + 1;
// "challenge:password" and its NUL: 16 + 1 + kPasswordLimit + 1 bytes.
inline constexpr std::size_t kLoginTextSize = 100;

// The token a client must send for `challenge`: the MD5 digest of "challenge:password" as 32
// upper-case hexadecimal digits.
std::string LoginToken(const char* challenge, const char* password);

// Compares an ENTER argument with the expected token, exactly, in a time that does not depend
// on where they differ.
bool TokenMatches(const char* argument, const std::string& expected);

// Wrong login tokens are answered no faster than one per this interval, service-wide: about 50
// guesses a second however many sessions guess.
inline constexpr auto kFailedLoginInterval = std::chrono::milliseconds(20);

// Paces the answers to wrong tokens for the whole service. Each wrong token takes the next free
// turn, one interval after the one before; a session waits for its turn before it answers. A
// session holds at most one turn, so a wait never exceeds the number of sessions times the
// interval. The right token never waits, and nothing is locked while a session waits.
//
// Threads: every session thread calls AwaitTurn; the service frame's threads call Stop and
// Resume (through FileServer). The turns and the stop are shared under mutex_.
class FailedLoginPacer {
 public:
  explicit FailedLoginPacer(std::chrono::milliseconds interval = kFailedLoginInterval)
      : interval_(interval) {}
  FailedLoginPacer(const FailedLoginPacer&) = delete;
  FailedLoginPacer& operator=(const FailedLoginPacer&) = delete;

  // Waits for the next turn; false at once (without waiting further) when the pacer is stopped.
  bool AwaitTurn() EXCLUDES(mutex_);
  // Ends every wait at once and makes later ones fail, until Resume.
  void Stop() EXCLUDES(mutex_);
  void Resume() EXCLUDES(mutex_);

 private:
  using Clock = std::chrono::steady_clock;

  const std::chrono::milliseconds interval_;
  Mutex mutex_;
  std::condition_variable stopped_;
  Clock::time_point nextTurn_ GUARDED_BY(mutex_){};
  bool stopping_ GUARDED_BY(mutex_) = false;
};

}  // namespace quarv
