// MD5 message digest (RFC 1321).
//
// Whole 64-byte blocks are transformed straight from the caller's bytes; only a block that is
// split across calls is gathered in the context's buffer. The block transform is fully unrolled
// with the constants inline and the round functions arranged so that as little as possible sits
// on the dependency chain through A, B, C, D.

#include "common/md5.h"

#include <bit>
#include <cstddef>
#include <cstring>

namespace quarv {
namespace {

constexpr std::size_t kBlockSize = 64;
constexpr std::size_t kLengthOffset = 56;  // where the bit count goes in the last block

// The padding fed by Md5Final: 0x80 and then zeros.
constexpr std::uint8_t kPadding[kBlockSize] = {0x80};

constexpr bool kLittleEndian = std::endian::native == std::endian::little;
static_assert(kLittleEndian || std::endian::native == std::endian::big,
              "mixed-endian hosts are not supported");

// Word i of a block held in native byte order (see TransformBlocks).
inline std::uint32_t Word(const std::uint8_t* block, std::size_t i) {
  std::uint32_t w;
  std::memcpy(&w, block + 4 * i, sizeof w);
  return w;
}

// Only big-endian hosts call it (clang warns about it elsewhere).
[[maybe_unused]] inline std::uint32_t DecodeLe32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

inline void EncodeLe32(std::uint32_t v, std::uint8_t* p) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

// One step each of the four rounds: a = b + ((a + f(b, c, d) + x + k) <<< s). The message word
// and constant are added first, and the parts of f that do not need b (the newest value) are
// formed before those that do.

// F(b, c, d) = (b & c) | (~b & d), written d ^ (b & (c ^ d)).
template <int S>
inline std::uint32_t StepF(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                           std::uint32_t x, std::uint32_t k) {
  a += x + k;
  a += d ^ (b & (c ^ d));
  return std::rotl(a, S) + b;
}

// G(b, c, d) = (b & d) | (c & ~d); the two parts have no bit in common, so they can be added
// one at a time, c & ~d before b is known.
template <int S>
inline std::uint32_t StepG(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                           std::uint32_t x, std::uint32_t k) {
  a += x + k;
  a += c & ~d;
  a += b & d;
  return std::rotl(a, S) + b;
}

// H(b, c, d) = b ^ c ^ d; `cd` is c ^ d, which the caller forms (and shares with the next step,
// whose c ^ d is this step's b ^ c).
template <int S>
inline std::uint32_t StepH(std::uint32_t a, std::uint32_t b, std::uint32_t cd, std::uint32_t x,
                           std::uint32_t k) {
  a += x + k;
  a += b ^ cd;
  return std::rotl(a, S) + b;
}

// I(b, c, d) = c ^ (b | ~d).
template <int S>
inline std::uint32_t StepI(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                           std::uint32_t x, std::uint32_t k) {
  a += x + k;
  a += c ^ (b | ~d);
  return std::rotl(a, S) + b;
}

// Applies the block transform to `state` for `blocks` consecutive 64-byte blocks at `data`.
void TransformBlocks(std::uint32_t* state, const std::uint8_t* data, std::size_t blocks) {
  std::uint32_t a = state[0];
  std::uint32_t b = state[1];
  std::uint32_t c = state[2];
  std::uint32_t d = state[3];
  std::uint32_t decoded[16];

  for (; blocks != 0; --blocks, data += kBlockSize) {
    // On a little-endian host the words are read straight from the data; otherwise they are
    // decoded into native order first.
    const std::uint8_t* x = data;
    if constexpr (!kLittleEndian) {
      for (std::size_t i = 0; i < 16; ++i) decoded[i] = DecodeLe32(data + 4 * i);
      x = reinterpret_cast<const std::uint8_t*>(decoded);
    }

    const std::uint32_t aa = a;
    const std::uint32_t bb = b;
    const std::uint32_t cc = c;
    const std::uint32_t dd = d;

    // Round 1.
    a = StepF<7>(a, b, c, d, Word(x, 0), 0xd76aa478);
    d = StepF<12>(d, a, b, c, Word(x, 1), 0xe8c7b756);
    c = StepF<17>(c, d, a, b, Word(x, 2), 0x242070db);
    b = StepF<22>(b, c, d, a, Word(x, 3), 0xc1bdceee);
    a = StepF<7>(a, b, c, d, Word(x, 4), 0xf57c0faf);
    d = StepF<12>(d, a, b, c, Word(x, 5), 0x4787c62a);
    c = StepF<17>(c, d, a, b, Word(x, 6), 0xa8304613);
    b = StepF<22>(b, c, d, a, Word(x, 7), 0xfd469501);
    a = StepF<7>(a, b, c, d, Word(x, 8), 0x698098d8);
    d = StepF<12>(d, a, b, c, Word(x, 9), 0x8b44f7af);
    c = StepF<17>(c, d, a, b, Word(x, 10), 0xffff5bb1);
    b = StepF<22>(b, c, d, a, Word(x, 11), 0x895cd7be);
    a = StepF<7>(a, b, c, d, Word(x, 12), 0x6b901122);
    d = StepF<12>(d, a, b, c, Word(x, 13), 0xfd987193);
    c = StepF<17>(c, d, a, b, Word(x, 14), 0xa679438e);
    b = StepF<22>(b, c, d, a, Word(x, 15), 0x49b40821);

    // Round 2.
    a = StepG<5>(a, b, c, d, Word(x, 1), 0xf61e2562);
    d = StepG<9>(d, a, b, c, Word(x, 6), 0xc040b340);
    c = StepG<14>(c, d, a, b, Word(x, 11), 0x265e5a51);
    b = StepG<20>(b, c, d, a, Word(x, 0), 0xe9b6c7aa);
    a = StepG<5>(a, b, c, d, Word(x, 5), 0xd62f105d);
    d = StepG<9>(d, a, b, c, Word(x, 10), 0x02441453);
    c = StepG<14>(c, d, a, b, Word(x, 15), 0xd8a1e681);
    b = StepG<20>(b, c, d, a, Word(x, 4), 0xe7d3fbc8);
    a = StepG<5>(a, b, c, d, Word(x, 9), 0x21e1cde6);
    d = StepG<9>(d, a, b, c, Word(x, 14), 0xc33707d6);
    c = StepG<14>(c, d, a, b, Word(x, 3), 0xf4d50d87);
    b = StepG<20>(b, c, d, a, Word(x, 8), 0x455a14ed);
    a = StepG<5>(a, b, c, d, Word(x, 13), 0xa9e3e905);
    d = StepG<9>(d, a, b, c, Word(x, 2), 0xfcefa3f8);
    c = StepG<14>(c, d, a, b, Word(x, 7), 0x676f02d9);
    b = StepG<20>(b, c, d, a, Word(x, 12), 0x8d2a4c8a);

    // Round 3. Each step's b ^ c is the next step's c ^ d.
    std::uint32_t t = c ^ d;
    a = StepH<4>(a, b, t, Word(x, 5), 0xfffa3942);
    t = b ^ c;
    d = StepH<11>(d, a, t, Word(x, 8), 0x8771f681);
    t = a ^ b;
    c = StepH<16>(c, d, t, Word(x, 11), 0x6d9d6122);
    t = d ^ a;
    b = StepH<23>(b, c, t, Word(x, 14), 0xfde5380c);
    t = c ^ d;
    a = StepH<4>(a, b, t, Word(x, 1), 0xa4beea44);
    t = b ^ c;
    d = StepH<11>(d, a, t, Word(x, 4), 0x4bdecfa9);
    t = a ^ b;
    c = StepH<16>(c, d, t, Word(x, 7), 0xf6bb4b60);
    t = d ^ a;
    b = StepH<23>(b, c, t, Word(x, 10), 0xbebfbc70);
    t = c ^ d;
    a = StepH<4>(a, b, t, Word(x, 13), 0x289b7ec6);
    t = b ^ c;
    d = StepH<11>(d, a, t, Word(x, 0), 0xeaa127fa);
    t = a ^ b;
    c = StepH<16>(c, d, t, Word(x, 3), 0xd4ef3085);
    t = d ^ a;
    b = StepH<23>(b, c, t, Word(x, 6), 0x04881d05);
    t = c ^ d;
    a = StepH<4>(a, b, t, Word(x, 9), 0xd9d4d039);
    t = b ^ c;
    d = StepH<11>(d, a, t, Word(x, 12), 0xe6db99e5);
    t = a ^ b;
    c = StepH<16>(c, d, t, Word(x, 15), 0x1fa27cf8);
    t = d ^ a;
    b = StepH<23>(b, c, t, Word(x, 2), 0xc4ac5665);

    // Round 4.
    a = StepI<6>(a, b, c, d, Word(x, 0), 0xf4292244);
    d = StepI<10>(d, a, b, c, Word(x, 7), 0x432aff97);
    c = StepI<15>(c, d, a, b, Word(x, 14), 0xab9423a7);
    b = StepI<21>(b, c, d, a, Word(x, 5), 0xfc93a039);
    a = StepI<6>(a, b, c, d, Word(x, 12), 0x655b59c3);
    d = StepI<10>(d, a, b, c, Word(x, 3), 0x8f0ccc92);
    c = StepI<15>(c, d, a, b, Word(x, 10), 0xffeff47d);
    b = StepI<21>(b, c, d, a, Word(x, 1), 0x85845dd1);
    a = StepI<6>(a, b, c, d, Word(x, 8), 0x6fa87e4f);
    d = StepI<10>(d, a, b, c, Word(x, 15), 0xfe2ce6e0);
    c = StepI<15>(c, d, a, b, Word(x, 6), 0xa3014314);
    b = StepI<21>(b, c, d, a, Word(x, 13), 0x4e0811a1);
    a = StepI<6>(a, b, c, d, Word(x, 4), 0xf7537e82);
    d = StepI<10>(d, a, b, c, Word(x, 11), 0xbd3af235);
    c = StepI<15>(c, d, a, b, Word(x, 2), 0x2ad7d2bb);
    b = StepI<21>(b, c, d, a, Word(x, 9), 0xeb86d391);

    a += aa;
    b += bb;
    c += cc;
    d += dd;
  }

  state[0] = a;
  state[1] = b;
  state[2] = c;
  state[3] = d;
}

// Number of bytes waiting in the buffer, from the bit count.
inline std::size_t BufferedBytes(const Md5Context* context) {
  return (context->count[0] >> 3) & 0x3F;
}

}  // namespace

void Md5Init(Md5Context* context) {
  context->count[0] = 0;
  context->count[1] = 0;
  context->state[0] = 0x67452301;
  context->state[1] = 0xefcdab89;
  context->state[2] = 0x98badcfe;
  context->state[3] = 0x10325476;
}

void Md5Update(Md5Context* context, const void* data, std::uint32_t length) {
  const auto* in = static_cast<const std::uint8_t*>(data);
  std::size_t index = BufferedBytes(context);

  // The bit count, modulo 2^64: length * 8 into the low word with its carry, the bits of
  // length * 8 above 32 into the high word.
  const std::uint32_t bits = length << 3;
  context->count[0] += bits;
  if (context->count[0] < bits) ++context->count[1];
  context->count[1] += length >> 29;

  std::size_t left = length;
  if (index != 0) {
    const std::size_t room = kBlockSize - index;
    if (left < room) {
      if (left != 0) std::memcpy(context->buffer + index, in, left);
      return;
    }
    std::memcpy(context->buffer + index, in, room);
    TransformBlocks(context->state, context->buffer, 1);
    in += room;
    left -= room;
  }

  const std::size_t blocks = left / kBlockSize;
  if (blocks != 0) {
    TransformBlocks(context->state, in, blocks);
    in += blocks * kBlockSize;
    left -= blocks * kBlockSize;
  }
  if (left != 0) std::memcpy(context->buffer, in, left);
}

void Md5Final(Md5Context* context) {
  const std::uint32_t low = context->count[0];
  const std::uint32_t high = context->count[1];

  const std::size_t index = BufferedBytes(context);
  const std::size_t padLength =
      index < kLengthOffset ? kLengthOffset - index : kLengthOffset + kBlockSize - index;
  Md5Update(context, kPadding, static_cast<std::uint32_t>(padLength));

  // The buffer now holds 56 bytes; the kept bit count completes the last block.
  EncodeLe32(low, context->buffer + kLengthOffset);
  EncodeLe32(high, context->buffer + kLengthOffset + 4);
  TransformBlocks(context->state, context->buffer, 1);

  for (std::size_t i = 0; i < 4; ++i) EncodeLe32(context->state[i], context->digest + 4 * i);
}

void Md5ToHex(const std::uint8_t* digest, char* out) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (std::size_t i = 0; i < kMd5DigestSize; ++i) {
    out[2 * i] = kDigits[digest[i] >> 4];
    out[2 * i + 1] = kDigits[digest[i] & 0x0F];
  }
  out[kMd5HexSize] = '\0';
}

std::string Md5ToHex(const std::uint8_t* digest) {
  char text[kMd5HexSize + 1];
  Md5ToHex(digest, text);
  return std::string(text, kMd5HexSize);
}

std::string Md5HexOf(const void* data, std::uint32_t length) {
  Md5Context context;
  Md5Init(&context);
  Md5Update(&context, data, length);
  Md5Final(&context);
  return Md5ToHex(context.digest);
}

}  // namespace quarv
