// Limits of the wire protocol that both programs must agree on.
#pragma once

#include <cstdint>

namespace quarv {

// Protocol lines from clients are read with this limit: at most kLineLimit - 2 bytes fit before
// the line end. A longer line ends the session.
inline constexpr std::int32_t kLineLimit = 200;
// The bytes of a request line before its CR LF that the service still takes.
inline constexpr std::int32_t kLongestRequestLine = kLineLimit - 2;
// The highest TCP port; a PORT setting above it is refused, never cut to 16 bits.
inline constexpr std::int32_t kHighestPort = 65535;

}  // namespace quarv
