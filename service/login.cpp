#include "service/login.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/md5.h"
#include "platform/random.h"
#include "service/file_server.h"

namespace quarv {

namespace {

constexpr unsigned kLetterCount = 25;  // 'a' to 'y'
// Bytes at or above this value are drawn again, so that every letter is equally likely.
constexpr unsigned kUnbiasedLimit = 250;
constexpr std::size_t kRandomChunk = 32;
constexpr int kMaxDraws = 16;

}  // namespace

bool FileServer::MakeChallenge(char* challenge) {
  std::size_t filled = 0;
  unsigned char pool[kRandomChunk];
  for (int draw = 0; draw < kMaxDraws && filled < kChallengeLength; ++draw) {
    if (!platform::SecureRandom(pool, sizeof pool)) return false;
    for (const unsigned char byte : pool) {
      if (filled == kChallengeLength) break;
      if (byte < kUnbiasedLimit) challenge[filled++] = static_cast<char>('a' + byte % kLetterCount);
    }
  }
  challenge[filled] = '\0';
  return filled == kChallengeLength;
}

std::string LoginToken(const char* challenge, const char* password) {
  char loginText[kLoginTextSize];
  const int length = std::snprintf(loginText, sizeof loginText, "%s:%s", challenge, password);
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof loginText) return {};
  return Md5HexOf(loginText, static_cast<std::uint32_t>(length));
}

bool TokenMatches(const char* argument, const std::string& expected) {
  if (expected.empty()) return false;
  const std::size_t argumentLength = std::strlen(argument);
  unsigned difference = argumentLength == expected.size() ? 0 : 1;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const char given = i < argumentLength ? argument[i] : '\0';
    difference |= static_cast<unsigned char>(given ^ expected[i]);
  }
  return difference == 0;
}

bool FailedLoginPacer::AwaitTurn() {
  MutexLock lock(mutex_);
  if (stopping_) return false;
  const Clock::time_point now = Clock::now();
  const Clock::time_point turn = nextTurn_ > now ? nextTurn_ : now;
  nextTurn_ = turn + interval_;
  // The mutex is released while waiting; only Stop ends the wait early.
  return !lock.WaitUntil(stopped_, turn, [this]() REQUIRES(mutex_) { return stopping_; });
}

void FailedLoginPacer::Stop() {
  MutexLock lock(mutex_);
  stopping_ = true;
  stopped_.notify_all();
}

void FailedLoginPacer::Resume() {
  MutexLock lock(mutex_);
  stopping_ = false;
}

}  // namespace quarv
