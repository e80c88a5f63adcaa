// The login: the session's challenge and the token that answers it.
#pragma once

#include <cstddef>
#include <string>

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

}  // namespace quarv
