#include "common/md5.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

// ThreadSanitizer shadows every byte that is read: the 512 MiB message below would take gigabytes
// and minutes there, for a test that runs on one thread.
#if defined(__SANITIZE_THREAD__)
#define QUARV_MD5_TEST_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QUARV_MD5_TEST_UNDER_TSAN 1
#endif
#endif

namespace quarv {
namespace {

#ifdef QUARV_MD5_TEST_UNDER_TSAN
constexpr bool kUnderThreadSanitizer = true;
#else
constexpr bool kUnderThreadSanitizer = false;
#endif

// Pseudo-random bytes from a linear congruential generator (the expected digests below were
// computed for exactly these bytes).
std::vector<std::uint8_t> LcgBytes(std::size_t size, std::uint32_t seed) {
  std::vector<std::uint8_t> bytes(size);
  std::uint32_t x = seed;
  for (auto& b : bytes) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>(x >> 24);
  }
  return bytes;
}

std::string HexOf(const std::vector<std::uint8_t>& bytes, std::size_t size) {
  return Md5HexOf(bytes.data(), static_cast<std::uint32_t>(size));
}

std::string HexOf(const std::string& text) {
  return Md5HexOf(text.data(), static_cast<std::uint32_t>(text.size()));
}

// Feeds `data` in the given piece sizes, which add up to its size.
std::string HexInPieces(const std::vector<std::uint8_t>& data,
                        const std::vector<std::size_t>& pieces) {
  Md5Context context;
  Md5Init(&context);
  std::size_t at = 0;
  for (std::size_t piece : pieces) {
    Md5Update(&context, data.data() + at, static_cast<std::uint32_t>(piece));
    at += piece;
  }
  EXPECT_EQ(at, data.size());
  Md5Final(&context);
  return Md5ToHex(context.digest);
}

TEST(Md5Test, Rfc1321SuiteInUpperCase) {
  const struct {
    const char* message;
    const char* digest;
  } cases[] = {
      {"", "D41D8CD98F00B204E9800998ECF8427E"},
      {"a", "0CC175B9C0F1B6A831C399E269772661"},
      {"abc", "900150983CD24FB0D6963F7D28E17F72"},
      {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
      {"abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "D174AB98D277D9F5A5611C2C9F419D9F"},
      {"1234567890123456789012345678901234567890"
       "1234567890123456789012345678901234567890",
       "57EDF4A22BE3C955AC49DA2E2107B67A"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(HexOf(c.message), c.digest);

    // The same through the three operations and the character-buffer text form.
    Md5Context context;
    Md5Init(&context);
    Md5Update(&context, c.message, static_cast<std::uint32_t>(std::strlen(c.message)));
    Md5Final(&context);
    char text[kMd5HexSize + 1];
    Md5ToHex(context.digest, text);
    EXPECT_STREQ(text, c.digest);
  }
}

TEST(Md5Test, EmptyMessageWithoutAnyUpdate) {
  Md5Context context;
  Md5Init(&context);
  Md5Final(&context);
  EXPECT_EQ(Md5ToHex(context.digest), "D41D8CD98F00B204E9800998ECF8427E");
}

// 55 bytes finish in one block, 56 need a second one, 64 get a full block of padding and
// length (the lengths around them are in EveryLengthUpToFiveBlocks).
TEST(Md5Test, PaddingAroundBlockBoundaries) {
  EXPECT_EQ(HexOf(std::string(55, 'a')), "EF1772B6DFF9A122358552954AD0DF65");
  EXPECT_EQ(HexOf(std::string(56, 'a')), "3B0C8AC703F828B04C6C197006D17218");
  EXPECT_EQ(HexOf(std::string(64, 'a')), "014842D480B571495A4A0363793F7367");
}

// Every length from 0 to 300 bytes: the digest of the joined text forms of all 301 digests is
// known, so a single wrong digest at any length shows.
TEST(Md5Test, EveryLengthUpToFiveBlocks) {
  const auto data = LcgBytes(300, 1);
  std::string joined;
  for (std::size_t size = 0; size <= data.size(); ++size) {
    Md5Context context;
    Md5Init(&context);
    Md5Update(&context, data.data(), static_cast<std::uint32_t>(size));
    EXPECT_EQ(context.count[0], size * 8);
    EXPECT_EQ(context.count[1], 0u);
    Md5Final(&context);
    joined += Md5ToHex(context.digest);
  }
  EXPECT_EQ(HexOf(joined), "22F3B110023336FE2FB833666802C5E7");
}

TEST(Md5Test, AnySplitInTwoGivesTheSameDigest) {
  const auto data = LcgBytes(300, 1);
  for (std::size_t size : {128u, 200u}) {
    const std::string whole = HexOf(data, size);
    std::vector<std::uint8_t> message(data.begin(), data.begin() + size);
    for (std::size_t cut = 0; cut <= size; ++cut) {
      SCOPED_TRACE(cut);
      EXPECT_EQ(HexInPieces(message, {cut, size - cut}), whole);
    }
  }
  EXPECT_EQ(HexOf(data, 128), "462D3E9B14A24137895647DDA6665A1B");
}

TEST(Md5Test, RandomPiecesGiveTheSameDigest) {
  const auto data = LcgBytes(5000, 3);
  const std::string whole = HexOf(data, data.size());
  std::mt19937 random(12345);
  for (int round = 0; round < 200; ++round) {
    std::vector<std::size_t> pieces;
    std::size_t at = 0;
    while (at < data.size()) {
      std::size_t piece = 0;
      switch (random() % 5) {
        case 0:  // nothing at all
          break;
        case 1:  // up to the next block boundary, or one block further
          piece = 64 - at % 64 + (random() % 2) * 64;
          break;
        case 2:  // several whole blocks and a rest
          piece = random() % 700;
          break;
        default:
          piece = random() % 80;
          break;
      }
      piece = std::min(piece, data.size() - at);
      pieces.push_back(piece);
      at += piece;
    }
    SCOPED_TRACE(round);
    ASSERT_EQ(HexInPieces(data, pieces), whole);
  }
}

TEST(Md5Test, EmptyUpdatesChangeNothing) {
  const std::string text = "message digest";
  Md5Context context;
  Md5Init(&context);
  Md5Update(&context, nullptr, 0);
  Md5Update(&context, text.data(), 7);
  Md5Update(&context, text.data() + 7, 0);
  Md5Update(&context, text.data() + 7, static_cast<std::uint32_t>(text.size() - 7));
  Md5Update(&context, nullptr, 0);
  EXPECT_EQ(context.count[0], text.size() * 8);
  Md5Final(&context);
  EXPECT_EQ(Md5ToHex(context.digest), "F96B697D7CB7938D525A2F31AAF161D0");
}

TEST(Md5Test, TextFormIsTwoUpperCaseDigitsPerByte) {
  for (int first = 0; first < 256; first += 16) {
    std::uint8_t digest[kMd5DigestSize];
    std::string expected;
    for (std::uint32_t i = 0; i < kMd5DigestSize; ++i) {
      digest[i] = static_cast<std::uint8_t>(first + i);
      char piece[3];
      (void)std::snprintf(piece, sizeof piece, "%02X", digest[i]);
      expected += piece;
    }
    char text[kMd5HexSize + 2];
    std::memset(text, '#', sizeof text);
    Md5ToHex(digest, text);
    EXPECT_EQ(std::string(text), expected);
    EXPECT_EQ(text[kMd5HexSize + 1], '#');  // nothing written past the terminator
    EXPECT_EQ(Md5ToHex(digest), expected);
  }
}

// The bit count is a 64-bit number in two words: a carry out of the low word goes into the
// high word, and the whole count wraps modulo 2^64.
TEST(Md5Test, BitCountCarriesIntoTheHighWord) {
  const auto data = LcgBytes(100, 5);
  Md5Context context;
  Md5Init(&context);
  context.count[0] = 0xFFFFFE00u;  // a whole number of blocks, 2^29 - 64 bytes
  Md5Update(&context, data.data(), 100);
  EXPECT_EQ(context.count[0], 0x120u);  // 0xFFFFFE00 + 800, wrapped
  EXPECT_EQ(context.count[1], 1u);

  Md5Init(&context);
  context.count[0] = 0xFFFFFE00u;
  context.count[1] = 0xFFFFFFFFu;
  Md5Update(&context, data.data(), 100);
  EXPECT_EQ(context.count[0], 0x120u);
  EXPECT_EQ(context.count[1], 0u);
}

// A message of more than 2^32 bits, fed once in a single call of more than 2^29 bytes (the
// length's top bits go straight into the high word) and once in the 10240-byte chunks of a
// transfer (the low word wraps with a carry many times).
TEST(Md5Test, MessageOfMoreThanTwoToThe32Bits) {
  if (kUnderThreadSanitizer) GTEST_SKIP() << "too large for ThreadSanitizer's shadow memory";
  constexpr std::size_t kSize = (std::size_t{1} << 29) + 4099;
  constexpr std::size_t kHead = 13;
  const char* const kDigest = "1799910D0598170AF99C238A5DA9A233";

  // The message repeats a block of 4093 pseudo-random bytes.
  const auto block = LcgBytes(4093, 7);
  auto data = std::make_unique_for_overwrite<std::uint8_t[]>(kSize);
  for (std::size_t at = 0; at < kSize; at += block.size()) {
    std::memcpy(data.get() + at, block.data(), std::min(block.size(), kSize - at));
  }
  const std::uint32_t lowWord = static_cast<std::uint32_t>(kSize * 8);  // modulo 2^32

  Md5Context context;
  Md5Init(&context);
  Md5Update(&context, data.get(), kHead);
  Md5Update(&context, data.get() + kHead, static_cast<std::uint32_t>(kSize - kHead));
  EXPECT_EQ(context.count[0], lowWord);
  EXPECT_EQ(context.count[1], 1u);
  Md5Final(&context);
  EXPECT_EQ(Md5ToHex(context.digest), kDigest);

  constexpr std::size_t kChunk = 10240;
  Md5Init(&context);
  for (std::size_t at = 0; at < kSize; at += kChunk) {
    Md5Update(&context, data.get() + at, static_cast<std::uint32_t>(std::min(kChunk, kSize - at)));
  }
  EXPECT_EQ(context.count[0], lowWord);
  EXPECT_EQ(context.count[1], 1u);
  Md5Final(&context);
  EXPECT_EQ(Md5ToHex(context.digest), kDigest);
}

}  // namespace
}  // namespace quarv
