// Times as the wire carries them: Windows FILETIME, 100 ns units since 1601-01-01 UTC.
#pragma once

#include <cstdint>

namespace quarv::platform {

using FileTime = std::uint64_t;

inline constexpr std::uint32_t LowWord(std::uint64_t value) {
  return static_cast<std::uint32_t>(value);
}
inline constexpr std::uint32_t HighWord(std::uint64_t value) {
  return static_cast<std::uint32_t>(value >> 32);
}
inline constexpr std::uint64_t MakeWide(std::uint32_t low, std::uint32_t high) {
  return (static_cast<std::uint64_t>(high) << 32) | low;
}

// Seconds between 1601-01-01 and 1970-01-01.
inline constexpr std::int64_t kFileTimeEpochOffsetSeconds = 11644473600;
inline constexpr std::int64_t kFileTimeUnitsPerSecond = 10000000;

}  // namespace quarv::platform
