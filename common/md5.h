// MD5 message digest (RFC 1321), computed incrementally.
#pragma once

#include <cstdint>
#include <string>

namespace quarv {

inline constexpr std::uint32_t kMd5DigestSize = 16;
inline constexpr std::uint32_t kMd5HexSize = 32;

struct Md5Context {
  std::uint32_t count[2];   // bits fed so far, low word first, modulo 2^64
  std::uint32_t state[4];   // A, B, C, D
  std::uint8_t buffer[64];  // the block being gathered
  std::uint8_t digest[kMd5DigestSize];
};

void Md5Init(Md5Context* context);
void Md5Update(Md5Context* context, const void* data, std::uint32_t length);
void Md5Final(Md5Context* context);

// The text form: each digest byte as "%02X", 32 upper-case hexadecimal characters. `out` must
// hold kMd5HexSize + 1 bytes.
void Md5ToHex(const std::uint8_t* digest, char* out);
std::string Md5ToHex(const std::uint8_t* digest);

// The digest of one text, in the text form (the login token is Md5HexOf(challenge:password)).
std::string Md5HexOf(const void* data, std::uint32_t length);

}  // namespace quarv
